#include "engine/locale_match.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "engines/pocketsphinx/pocketsphinx_engine.h"

namespace veskar {
namespace {

struct LocaleCase {
  const char* identifier;
  std::optional<std::string> maximized;
};

TEST(LocaleMatchTest, MaximizesWellFormedIdentifiersAndRefusesTheRest) {
  const LocaleCase cases[] = {
      {"en", "en_Latn_US"},
      {"en_US", "en_Latn_US"},
      {"en-US", "en_Latn_US"},
      {"EN-us", "en_Latn_US"},
      {"en-Latn-US", "en_Latn_US"},
      {"en_US.UTF-8", "en_Latn_US"},
      {"en_US@calendar=gregorian", "en_Latn_US"},
      {"en-US-u-ca-gregory", "en_Latn_US"},
      {"en-US-u-ca-gregorian", std::nullopt},  // a subtag of nine letters
      {"en_GB", "en_Latn_GB"},
      {"fr", "fr_Latn_FR"},
      {"fr_CA.ISO8859-1", "fr_Latn_CA"},
      {"zh-Hant", "zh_Hant_TW"},
      {"sr_Cyrl", "sr_Cyrl_RS"},
      {"en_US_POSIX", "en_Latn_US_POSIX"},
      // No language: ICU would make these the root locale, then en_Latn_US.
      {"", std::nullopt},
      {"und", std::nullopt},
      {"und_US", std::nullopt},
      {"_US", std::nullopt},
      {"--sources", std::nullopt},
      // Not locale identifiers at all.
      {"!!", std::nullopt},
      {"e", std::nullopt},
      {"en-", std::nullopt},
      {"en__US", std::nullopt},
      {"en US", std::nullopt},
      {"en_US.", std::nullopt},
      {"en_US@", std::nullopt},
      {"en-US-", std::nullopt},
      {"abcdefghij_US", std::nullopt},
  };
  for (const LocaleCase& c : cases) {
    SCOPED_TRACE(std::string("identifier \"") + c.identifier + "\"");
    EXPECT_EQ(maximizedLocaleName(c.identifier), c.maximized);
  }
}

TEST(LocaleMatchTest, EquivalenceIsBetweenWellFormedIdentifiersOfOneLocale) {
  struct Pair {
    const char* a;
    const char* b;
    bool equivalent;
  };
  const Pair cases[] = {
      {"en", "en_US", true},       {"en-GB", "en_gb.utf8", true}, {"pt", "pt_BR", true},
      {"pt", "pt_PT", false},      {"en_GB", "en_US", false},     {"", "", false},
      {"!!", "!!", false},         {"und", "en_US", false},       {"zh_TW", "zh-Hant", true},
      {"zh_CN", "zh-Hant", false},
  };
  for (const Pair& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " ~ " + c.b);
    EXPECT_EQ(localesAreEquivalent(c.a, c.b), c.equivalent);
    EXPECT_EQ(localesAreEquivalent(c.b, c.a), c.equivalent);
  }
}

TEST(LocaleMatchTest, TheEngineServesUsEnglishUnderEveryName) {
  // Locale matching needs neither the libraries nor the model.
  PocketSphinxEngine engine(nullptr);
  const char* accepted[] = {"en",
                            "en_US",
                            "en-US",
                            "en_us",
                            "EN_us",
                            "EN-US",
                            "en-Latn-US",
                            "en_Latn_US",
                            "en_US.UTF-8",
                            "en_US.utf8",
                            "en_US@calendar=gregorian"};
  for (const char* identifier : accepted) {
    SCOPED_TRACE(identifier);
    EXPECT_EQ(engine.supportedLocale(Locale{identifier}), Locale{"en_US"});
  }
  const char* refused[] = {"en_GB", "en-AU", "fr_FR",     "fr",  "es_US", "en_Shaw_US", "en_US_POSIX",
                           "",      "!!",    "--sources", "und", "C",     "POSIX",      "en_US."};
  for (const char* identifier : refused) {
    SCOPED_TRACE(identifier);
    EXPECT_EQ(engine.supportedLocale(Locale{identifier}), std::nullopt);
  }
}

}  // namespace
}  // namespace veskar
