#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace varn {

// What stopped an operation: a sentence for the log, and the errno behind it when there is one.
struct Error {
  std::string message;  // "open /x: Permission denied"
  int systemError = 0;  // errno, or 0 when the failure did not come from the OS
};

// The C library's sentence for `errnum` ("Permission denied"). Unlike strerror, safe to call
// while another thread formats an error too: the watch thread and the main thread both do.
std::string errnoMessage(int errnum);

// Builds the Error for a failed system call: "<what> <path>: <errnoMessage(errnum)>".
Error systemError(std::string_view what, std::string_view path, int errnum);

// A value, or the Error that prevented it.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  const Error& error() const {
    assert(!ok());
    return std::get<1>(state_);
  }

 private:
  std::variant<T, Error> state_;
};

// Success, or the Error that prevented it.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)) {}
  static Status success() { return Status(); }

  bool ok() const { return !error_.has_value(); }
  const Error& error() const {
    assert(!ok());
    return *error_;
  }

 private:
  std::optional<Error> error_;
};

}  // namespace varn
