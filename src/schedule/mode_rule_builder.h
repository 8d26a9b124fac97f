#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "shared/mode.h"

namespace varn {

// Turns a focus mode into the two mode-dependent lists of a blocking session: the hosts to block
// or allow, and the applications that stay allowed. Stateless: every operation is a pure function
// of its arguments and of two fixed tables, which are built once on first use (thread-safe) and
// read-only afterwards, so any thread may call anything at any time. Nothing fails.
//
// The builder never rewrites an entry: each output host is a site exactly as stored in the mode or
// a host exactly as written in the companion table. normalizedHost() only decides whether two
// entries name the same host.
class ModeRuleBuilder {
 public:
  ModeRuleBuilder() = delete;

  // block: the mode's sites unchanged (duplicates, blanks and malformed entries included).
  // mission: the sites unchanged and complete, then the companion hosts of the mode's apps whose
  // comparison form no site and no earlier added host already has.
  static std::vector<std::string> hostsForMode(const Mode& mode);

  // block: empty. mission: the mode's apps in stored order without the web browsers of
  // browserBundleIds() (case-sensitive); duplicates and unknown identifiers stay.
  static std::vector<std::string> allowedSigningIdsForMode(const Mode& mode);

  // The companion hosts of `apps` in order, each comparison form once; an identifier that is not
  // in companionHostsByApp() contributes nothing.
  static std::vector<std::string> companionHosts(const std::vector<std::string>& apps);

  // The comparison form of a site entry or host: trimmed, lower-cased, reduced to the host of a
  // URL, without one trailing dot, a numeric port or the brackets of an address literal. Nothing
  // when the entry names no host at all, and for text that is not valid UTF-8 (so that it never
  // matches a valid host). Comparison forms are equal when canonically equivalent.
  static std::optional<std::string> normalizedHost(std::string_view entry);

  // Bundle identifier -> the web hosts that application uses, in order (keys compared exactly).
  using CompanionTable = std::map<std::string, std::vector<std::string>, std::less<>>;
  static const CompanionTable& companionHostsByApp();
  // Bundle identifiers of web browsers (compared exactly, case-sensitive).
  static const std::set<std::string, std::less<>>& browserBundleIds();
};

}  // namespace varn
