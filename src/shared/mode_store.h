#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "platform/result.h"
#include "shared/mode.h"
#include "shared/store_locations.h"

namespace varn {

// The interface of a store of modes that can also write them, as the main application has.
// Nothing in the helper adopts it or calls through it: the helper only reads modes, through
// ModeStore, which does not adopt it.
class ModeStoreProtocol {
 public:
  virtual ~ModeStoreProtocol() = default;
  virtual std::optional<std::vector<Mode>> loadModes() const = 0;
  virtual Status saveModes(const std::vector<Mode>& modes) const = 0;
};

// Reads the user's focus modes from "modes.json" in the app group container, which the main
// application writes. Keeps nothing between calls and logs its own failures (subsystem
// "com.varn.macos", category "mode-store", the error description public). Any thread may call
// it; the read takes no lock, so a file caught mid-rewrite fails this call and the next call
// reads it again.
class ModeStore {
 public:
  // `locations` must outlive the store.
  explicit ModeStore(const StoreLocations& locations) : locations_(locations) {}

  // "modes.json" in the container, or nothing when there is no container.
  std::optional<std::filesystem::path> modesFileURL() const;

  // Every mode in the file, in file order; an empty list for a file holding "[]". Nothing
  // without a container or a file, unlogged; nothing, with one error entry "Failed to load
  // modes: ...", when the file cannot be read (a folder, a FIFO, more than 32 MiB, no
  // permission) or decoded.
  std::optional<std::vector<Mode>> loadModes() const;
  // The same, with the reason instead of the log entry when the file cannot be read or decoded.
  Result<std::optional<std::vector<Mode>>> readModes() const;

 private:
  const StoreLocations& locations_;
};

}  // namespace varn
