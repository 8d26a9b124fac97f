#include "platform/uri.h"

#include <gtest/gtest.h>

namespace varn::platform {
namespace {

TEST(AbsoluteUriHost, GivesTheHostAsWrittenOfAnAbsoluteUriOnly) {
  const struct {
    const char* text;
    std::optional<std::string> host;
  } cases[] = {
      {"https://example.com:443/p?q#f", "example.com"},
      {"HTTP://User:pw@Example.COM:8080", "Example.COM"},
      {"ftp://[::1]:21/", "::1"},
      {"x://[v1.fe]/", "v1.fe"},
      {"http://ex%41mple.com/", "ex%41mple.com"},
      {"http://192.168.0.1", "192.168.0.1"},
      {"file:///etc/hosts", std::nullopt},  // empty host
      {"http://", std::nullopt},
      {"mailto:a@example.com", std::nullopt},  // no host component
      {"//example.com/p", std::nullopt},       // relative reference
      {"example.com", std::nullopt},
      {"http://exa mple.com", std::nullopt},        // rejected: space
      {"http://ex\xc3\xa4mple.com", std::nullopt},  // rejected: non-ASCII
      {"http://[::1/", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(absoluteUriHost(c.text), c.host) << c.text;
}

}  // namespace
}  // namespace varn::platform
