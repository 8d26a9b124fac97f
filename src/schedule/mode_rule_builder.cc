#include "schedule/mode_rule_builder.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <unordered_set>
#include <utility>

#include "platform/unicode.h"
#include "platform/uri.h"

namespace varn {
namespace {

using platform::GraphemeString;

// Comparison forms under canonical equivalence: each is held by its NFC form.
class ComparisonForms {
 public:
  // Adds `form`; true when no canonically equivalent form was there before.
  bool insert(const std::string& form) {
    std::optional<std::string> key = platform::nfc(form);
    // normalizedHost() only gives valid UTF-8, so the raw bytes serve only should ICU fail.
    return (key ? forms_.insert(std::move(*key)) : forms_.insert(form)).second;
  }

 private:
  std::unordered_set<std::string> forms_;
};

// What signed 64-bit parsing in base 10 accepts: one optional "+" or "-", then one or more ASCII
// digits and nothing else, inside the int64 range. from_chars takes "-" but not "+".
bool isDecimalInteger(std::string_view text) {
  if (text.starts_with('+')) {
    text.remove_prefix(1);
    if (text.starts_with('-')) return false;
  }
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end;
}

// s contains "://": the host of s read as an absolute URL, or s unchanged (path, query and
// fragment included). Otherwise: the part of s before its first "/", "?" or "#".
std::optional<GraphemeString> hostPart(const GraphemeString& s) {
  if (s.contains("://")) {
    std::optional<std::string> host = platform::absoluteUriHost(s.str());
    if (!host) return s;
    return GraphemeString::of(std::move(*host));
  }
  std::size_t cut = s.str().size();
  for (std::string_view delimiter : {"/", "?", "#"}) {
    if (std::optional<std::size_t> at = s.find(delimiter)) cut = std::min(cut, *at);
  }
  if (cut == s.str().size()) return s;
  return GraphemeString::of(s.str().substr(0, cut));
}

// One trailing dot only: "h.." keeps one.
std::optional<GraphemeString> withoutTrailingDot(const GraphemeString& s) {
  if (!s.endsWith(".")) return s;
  return GraphemeString::of(s.str().substr(0, s.str().size() - 1));
}

// "[addr]:port" keeps "[addr]"; "host:port" with exactly two non-empty pieces around colons
// keeps "host". Anything else, a non-numeric port included, stays whole.
std::optional<GraphemeString> withoutPort(const GraphemeString& s) {
  std::vector<std::string_view> pieces = s.split(":");
  std::erase_if(pieces, [](std::string_view piece) { return piece.empty(); });
  if (s.startsWith("[")) {
    if (std::optional<std::size_t> at = s.find("]:")) {
      const std::string_view port = std::string_view(s.str()).substr(*at + 2);
      if (!port.empty() && isDecimalInteger(port)) {
        return GraphemeString::of(s.str().substr(0, *at + 1));
      }
    }
  }
  if (s.contains(":") && !s.contains("]") && pieces.size() == 2 && isDecimalInteger(pieces[1])) {
    return GraphemeString::of(std::string(pieces[0]));
  }
  return s;
}

// "[x]" becomes "x"; "[]" stays, having fewer than three characters.
std::optional<GraphemeString> withoutBrackets(const GraphemeString& s) {
  if (!s.startsWith("[") || !s.endsWith("]") || s.characterCount() < 3) return s;
  return GraphemeString::of(s.str().substr(1, s.str().size() - 2));
}

}  // namespace

std::optional<std::string> ModeRuleBuilder::normalizedHost(std::string_view entry) {
  const std::optional<std::string> trimmed = platform::trimmedWhiteSpace(entry);
  if (!trimmed) return std::nullopt;
  std::optional<std::string> lower = platform::lowerCased(*trimmed);
  if (!lower || lower->empty()) return std::nullopt;
  // Each step re-reads its result as characters: what counts as a whole "." or ":" depends on the
  // text around it. A step gives nothing only when ICU fails.
  std::optional<GraphemeString> s = GraphemeString::of(std::move(*lower));
  if (s) s = hostPart(*s);
  if (s) s = withoutTrailingDot(*s);
  if (s) s = withoutPort(*s);
  if (s) s = withoutBrackets(*s);
  if (!s || s->empty()) return std::nullopt;
  return s->str();
}

std::vector<std::string> ModeRuleBuilder::companionHosts(const std::vector<std::string>& apps) {
  std::vector<std::string> result;
  ComparisonForms seen;
  for (const std::string& app : apps) {
    const CompanionTable& table = companionHostsByApp();
    const auto entry = table.find(app);
    if (entry == table.end()) continue;
    for (const std::string& host : entry->second) {
      const std::optional<std::string> form = normalizedHost(host);
      if (form && seen.insert(*form)) result.push_back(host);
    }
  }
  return result;
}

std::vector<std::string> ModeRuleBuilder::hostsForMode(const Mode& mode) {
  if (mode.type == ModeType::block) return mode.sites;
  const std::vector<std::string> companions = companionHosts(mode.apps);
  ComparisonForms covered;
  for (const std::string& site : mode.sites) {
    if (const std::optional<std::string> form = normalizedHost(site)) covered.insert(*form);
  }
  std::vector<std::string> result = mode.sites;
  for (const std::string& host : companions) {
    const std::optional<std::string> form = normalizedHost(host);
    if (form && covered.insert(*form)) result.push_back(host);
  }
  return result;
}

std::vector<std::string> ModeRuleBuilder::allowedSigningIdsForMode(const Mode& mode) {
  if (mode.type == ModeType::block) return {};
  std::vector<std::string> result;
  for (const std::string& app : mode.apps) {
    if (!browserBundleIds().contains(app)) result.push_back(app);
  }
  return result;
}

// No key holds a "K", the one ASCII letter with a canonically equivalent spelling (the Kelvin
// sign), so exact byte comparison of keys is also canonical equality.
const ModeRuleBuilder::CompanionTable& ModeRuleBuilder::companionHostsByApp() {
  static const CompanionTable table = {
      // Main domain, static-asset edge, messaging, link redirects, second short domain (client
      // beacons), content delivery of shared files.
      {"com.tinyspeck.slackmacgap",
       {"slack.com", "slack-edge.com", "slack-msgs.com", "slack-redir.net", "slackb.com",
        "slack-files.com"}},
      // Web app on the maker's domain, consumer web app, Skype, Skype assets, Teams CDN.
      {"com.microsoft.teams2",
       {"teams.microsoft.com", "teams.live.com", "skype.com", "secure.skypeassets.com",
        "statics.teams.cdn.office.net"}},
      {"us.zoom.xos", {"zoom.us", "zoomgov.com"}},  // main, government cloud
      {"notion.id", {"notion.so", "notion.site"}},  // main, published user pages
      {"com.linear", {"linear.app"}},
      {"com.figma.Desktop", {"figma.com", "figmausercontent.com"}},
      {"com.loom.desktop", {"loom.com", "cdn.loom.com"}},
      // Main, invitation short links, the older application domain.
      {"com.hnc.Discord", {"discord.com", "discord.gg", "discordapp.com"}},
      {"com.spotify.client", {"spotify.com"}},
      {"com.github.GitHubClient", {"github.com", "github.githubassets.com"}},
  };
  return table;
}

const std::set<std::string, std::less<>>& ModeRuleBuilder::browserBundleIds() {
  static const std::set<std::string, std::less<>> browsers = {
      "com.apple.Safari",
      "com.google.Chrome",
      "com.google.Chrome.beta",
      "com.google.Chrome.dev",
      "com.google.Chrome.canary",
      "com.microsoft.edgemac",
      "com.brave.Browser",
      "com.brave.Browser.beta",
      "com.brave.Browser.nightly",
      "company.thebrowser.Browser",
      "company.thebrowser.Arc",
      "org.mozilla.firefox",
      "org.mozilla.firefoxdeveloperedition",
      "org.mozilla.nightly",
  };
  return browsers;
}

}  // namespace varn
