#include "schedule/mode_rule_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <latch>
#include <set>
#include <thread>

#include "platform/unicode.h"

namespace varn {
namespace {

using Strings = std::vector<std::string>;

Mode modeOf(ModeType type, Strings sites, Strings apps) {
  Mode mode;
  mode.name = "Focus";
  mode.type = type;
  mode.sites = std::move(sites);
  mode.apps = std::move(apps);
  return mode;
}

Strings concat(Strings first, const Strings& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

const Strings& companionsOf(const std::string& app) {
  return ModeRuleBuilder::companionHostsByApp().at(app);
}

constexpr const char* kSlack = "com.tinyspeck.slackmacgap";
constexpr const char* kDiscord = "com.hnc.Discord";

TEST(ModeRuleBuilderNormalizedHost, GivesTheComparisonFormOfEachKindOfEntry) {
  const std::string h = "mail.example-1.com";
  const std::optional<std::string> nothing;
  const struct {
    std::string entry;
    std::optional<std::string> form;
  } cases[] = {
      {" \t\n" + h + " \r\n", h},
      {"MAIL.Example-1.COM", h},
      {"https://" + h + ":443/p?q", h},
      {"Git+SSH://" + h + ":443/p?q", h},
      {h + "/p", h},
      {h + "?q", h},
      {h + "#f", h},
      {h + "/p?q#f", h},
      {"/p", nothing},
      {"?q", nothing},
      {"#f", nothing},
      {h + ".", h},
      {h + "..", h + "."},
      {h + ":443", h},
      {h + ":+443", h},
      {h + ":-1", h},
      {h + ".:443", h + "."},  // the dot is tested before the port goes
      {h + ":443.", h},
      {h + "::443", h},
      {h + ":p", h + ":p"},
      {h + ":", h + ":"},
      {":443", ":443"},
      {h + ":1:2", h + ":1:2"},
      {"[::1]:443", "::1"},
      {"[::1]", "::1"},
      {"[::1]:p", "[::1]:p"},
      {"[]", "[]"},
      {"::1", "::1"},
      {"1::2", "1"},
      {"", nothing},
      {" \t\r\n", nothing},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ModeRuleBuilder::normalizedHost(c.entry), c.form) << '"' << c.entry << '"';
  }
}

TEST(ModeRuleBuilderNormalizedHost, TakesPortsOnlyWhenTheyAreSigned64BitIntegers) {
  const struct {
    const char* entry;
    const char* form;
  } cases[] = {
      {"h:9223372036854775807", "h"},
      {"h:-9223372036854775808", "h"},
      {"h:+0", "h"},
      {"h:9223372036854775808", "h:9223372036854775808"},
      {"h:99999999999999999999", "h:99999999999999999999"},
      {"h:443 /p", "h:443 "},  // the space stays after the path is cut
      {"h:+", "h:+"},
      {"h:-", "h:-"},
      {"h:+-1", "h:+-1"},
      {"h:--1", "h:--1"},
      {"h:0x1bb", "h:0x1bb"},
      {"h:\xd9\xa4\xd9\xa4\xd9\xa3", "h:\xd9\xa4\xd9\xa4\xd9\xa3"},  // Arabic-Indic digits
      {"[::1]:+443", "::1"},
      {"[::1]:", "[::1]:"},
      {"[::1]:443x", "[::1]:443x"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ModeRuleBuilder::normalizedHost(c.entry), c.form) << c.entry;
}

TEST(ModeRuleBuilderNormalizedHost, ReadsUrlsThroughTheUriParserAndKeepsWhatItRejects) {
  const struct {
    const char* entry;
    const char* form;
  } cases[] = {
      {"http://user:pw@Example.com:8080/x", "example.com"},
      {"https://[2001:DB8::1]:443/", "2001:db8::1"},
      {"http://ex%41mple.com/", "ex%41mple.com"},  // percent-encoding as written (lower-cased)
      {"http://exa mple.com/p", "http://exa mple.com/p"},  // rejected: nothing is cut off
      {"http://", "http://"},                              // no host
      {"file:///etc/hosts", "file:///etc/hosts"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ModeRuleBuilder::normalizedHost(c.entry), c.form) << c.entry;
}

TEST(ModeRuleBuilderNormalizedHost, TestsWholeCharactersAndUnicodeWhiteSpaceAndCase) {
  const struct {
    const char* why;
    const char* entry;
    std::optional<std::string> form;
  } cases[] = {
      {"slash with a combining mark", "example.com/\xcc\x81", "example.com/\xcc\x81"},
      {"dot with a combining mark", "example.com.\xcc\x81", "example.com.\xcc\x81"},
      {"colon with a combining mark",
       "example.com:\xcc\x81"
       "443",
       "example.com:\xcc\x81"
       "443"},
      {"bracket with a combining mark", "[\xcc\x81::1]", "[\xcc\x81::1]"},
      {"three characters, four code points", "[\xc3\xa9\xcc\x81]", "\xc3\xa9\xcc\x81"},
      {"no-break space and NEL",
       "\xc2\xa0"
       "example.com"
       "\xc2\x85",
       "example.com"},
      {"ideographic space, line separator",
       "\xe3\x80\x80"
       "example.com"
       "\xe2\x80\xa8",
       "example.com"},
      {"Kelvin sign",
       "\xe2\x84\xaa"
       "IWI.EXAMPLE",
       "kiwi.example"},
      {"capital I is never dotless", "INFO.EXAMPLE", "info.example"},
      {"invalid UTF-8", "example.com\xff", std::nullopt},
      {"only a no-break space", "\xc2\xa0", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ModeRuleBuilder::normalizedHost(c.entry), c.form) << c.why;
}

TEST(ModeRuleBuilderNormalizedHost, KeepsCanonicallyEquivalentSpellingsEquivalent) {
  // Precomposed capital E acute against e + combining acute, in upper and lower case.
  const auto a = ModeRuleBuilder::normalizedHost("CAF\xc3\x89.example/menu");
  const auto b = ModeRuleBuilder::normalizedHost("cafe\xcc\x81.EXAMPLE:443");
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  EXPECT_TRUE(platform::canonicallyEqual(*a, *b));
}

TEST(ModeRuleBuilderTables, HoldPlainDistinctHostsAndNoBrowser) {
  const auto& table = ModeRuleBuilder::companionHostsByApp();
  EXPECT_EQ(table.size(), 10u);
  std::set<std::string> all;
  std::size_t count = 0;
  for (const auto& [app, hosts] : table) {
    EXPECT_FALSE(ModeRuleBuilder::browserBundleIds().contains(app)) << app;
    for (const std::string& host : hosts) {
      ++count;
      EXPECT_TRUE(all.insert(host).second) << host << " listed twice";
      EXPECT_EQ(ModeRuleBuilder::normalizedHost(host), host);
      EXPECT_TRUE(std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::islower(c) || std::isdigit(c) || c == '.' || c == '-';
      })) << host;
    }
  }
  EXPECT_EQ(count, 26u);
  EXPECT_EQ(ModeRuleBuilder::browserBundleIds().size(), 14u);
}

TEST(ModeRuleBuilder, BlockModeGivesTheSitesAsStoredAndNoApps) {
  const Mode mode = modeOf(ModeType::block, {"example.com", "example.com", "  "}, {kSlack});
  EXPECT_EQ(ModeRuleBuilder::hostsForMode(mode), Strings({"example.com", "example.com", "  "}));
  EXPECT_TRUE(ModeRuleBuilder::allowedSigningIdsForMode(mode).empty());
}

TEST(ModeRuleBuilder, MissionModeAddsCompanionHostsAndDropsBrowsers) {
  const Mode mode = modeOf(ModeType::mission, {"Example.org/x", "  ", "example.org"},
                           {kSlack, "com.apple.Safari", "org.example.unknown"});
  ASSERT_EQ(companionsOf(kSlack).size(), 6u);
  EXPECT_EQ(ModeRuleBuilder::hostsForMode(mode), concat(mode.sites, companionsOf(kSlack)));
  EXPECT_EQ(ModeRuleBuilder::allowedSigningIdsForMode(mode),
            Strings({kSlack, "org.example.unknown"}));
}

TEST(ModeRuleBuilder, SitesCoverCompanionHostsWrittenInOtherForms) {
  const Strings& slack = companionsOf(kSlack);
  std::string upper = slack[1];
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const Strings sites = {"HTTPS://" + slack[0] + ":443/messages", upper, slack[2] + "/path",
                         slack[3] + ":8443", slack[4] + "."};
  const Mode mode = modeOf(ModeType::mission, sites, {kSlack});
  EXPECT_EQ(ModeRuleBuilder::hostsForMode(mode), concat(sites, {slack[5]}));
}

TEST(ModeRuleBuilder, SitesCoverOnlyWhatTheirWholeCharactersName) {
  const Strings& slack = companionsOf(kSlack);
  Strings sites = {slack[0] + "/\xcc\x81", slack[1] + "\xff", slack[2] + " "};
  // A Kelvin sign in place of the last "k" lower-cases to a plain k.
  const std::size_t k = slack[3].rfind('k');
  ASSERT_NE(k, std::string::npos);
  sites.push_back(slack[3].substr(0, k) + "\xe2\x84\xaa" + slack[3].substr(k + 1));
  const Mode mode = modeOf(ModeType::mission, sites, {kSlack});
  EXPECT_EQ(ModeRuleBuilder::hostsForMode(mode),
            concat(sites, {slack[0], slack[1], slack[4], slack[5]}));
}

TEST(ModeRuleBuilder, ApplicationListedTwiceAddsItsHostsOnce) {
  const Mode mode = modeOf(ModeType::mission, {}, {kDiscord, kSlack, kDiscord});
  EXPECT_EQ(ModeRuleBuilder::hostsForMode(mode),
            concat(companionsOf(kDiscord), companionsOf(kSlack)));
  EXPECT_EQ(ModeRuleBuilder::allowedSigningIdsForMode(mode), Strings({kDiscord, kSlack, kDiscord}));
}

TEST(ModeRuleBuilder, BrowserIdentifiersAreCaseSensitive) {
  const Mode mode =
      modeOf(ModeType::mission, {"example.com"}, {"com.apple.safari", "com.apple.Safari"});
  EXPECT_EQ(ModeRuleBuilder::allowedSigningIdsForMode(mode), Strings({"com.apple.safari"}));
  EXPECT_EQ(ModeRuleBuilder::hostsForMode(mode), Strings({"example.com"}));
}

TEST(ModeRuleBuilder, MissionModeWithoutAppsGivesTheSitesOnly) {
  const Mode mode = modeOf(ModeType::mission, {"b.example", "", "b.example"}, {});
  EXPECT_EQ(ModeRuleBuilder::hostsForMode(mode), mode.sites);
  EXPECT_TRUE(ModeRuleBuilder::allowedSigningIdsForMode(mode).empty());
  EXPECT_TRUE(ModeRuleBuilder::hostsForMode(modeOf(ModeType::mission, {}, {})).empty());
}

// Run on its own (as ctest does), this test is the first to touch the tables: they are built while
// all threads race to use them.
TEST(ModeRuleBuilder, BuildsItsTablesOnceWhileThreadsRace) {
  constexpr int kThreads = 8;
  const Strings apps = {kSlack,
                        "com.microsoft.teams2",
                        "us.zoom.xos",
                        "notion.id",
                        "com.linear",
                        "com.figma.Desktop",
                        "com.loom.desktop",
                        kDiscord,
                        "com.spotify.client",
                        "com.github.GitHubClient"};
  const Mode mode =
      modeOf(ModeType::mission, {"slack.example"}, concat({"com.google.Chrome"}, apps));
  std::vector<Strings> hosts(kThreads), ids(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      hosts[i] = ModeRuleBuilder::hostsForMode(mode);
      ids[i] = ModeRuleBuilder::allowedSigningIdsForMode(mode);
    });
  }
  for (std::thread& thread : threads) thread.join();
  Strings expected = mode.sites;
  for (const std::string& app : apps) expected = concat(expected, companionsOf(app));
  ASSERT_EQ(expected.size(), 27u);
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(hosts[i], expected) << "thread " << i;
    EXPECT_EQ(ids[i], apps) << "thread " << i;
  }
}

}  // namespace
}  // namespace varn
