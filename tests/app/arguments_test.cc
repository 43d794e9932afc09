#include "app/arguments.h"

#include <gtest/gtest.h>

#include "support/helper_error_matchers.h"

namespace veskar {
namespace {

std::vector<std::string> argv(std::vector<std::string> args) {
  args.insert(args.begin(), "veskar-speech-helper");
  return args;
}

// "[--locale] [en_US] ...", for the trace of a failed case.
std::string bracketed(const std::vector<std::string>& args) {
  std::string joined;
  for (const auto& a : args) joined += "[" + a + "] ";
  return joined;
}

TEST(Arguments, AcceptedCommandLines) {
  const struct {
    std::vector<std::string> args;
    std::string locale;
    std::vector<SourceId> sources;
  } cases[] = {
      {{"--sources", "0", "--locale", "en_US"}, "en_US", {0}},
      {{"--locale", "en_US", "--sources", "0"}, "en_US", {0}},
      {{"stray", "--locale", "en_US", "--verbose", "--sources", "0", "tail"}, "en_US", {0}},
      {{"--locale", "en_US", "--sources", "1,0,1"}, "en_US", {0, 1}},
      {{"--locale", "en_US", "--sources", "0,2"}, "en_US", {0}},
      {{"--locale", "en_US", "--sources", "+1"}, "en_US", {1}},
      {{"--locale", "en_US", "--sources", "-0"}, "en_US", {0}},
      {{"--locale", "en_US", "--sources", "00"}, "en_US", {0}},
      {{"--locale", "en_US", "--sources", ",,1,"}, "en_US", {1}},
      {{"--locale", "en_US", "--sources", ",0,,1,"}, "en_US", {0, 1}},
      {{"--locale", "en_US", "--sources", "0, 1"}, "en_US", {0}},
      {{"--locale", "en_US", "--sources", "0,99999999999999999999,1"}, "en_US", {0, 1}},
      {{"--locale", "en_US", "--sources", "0000000000000000000000000001"}, "en_US", {1}},
      {{"--locale", "--sources", "0"}, "--sources", {0}},
      {{"--locale", "en_US", "--locale", "fr_FR", "--sources", "0"}, "en_US", {0}},
      {{"--locale", "en_US", "--sources", "1", "--sources", "0"}, "en_US", {1}},
      {{"--locale", "", "--sources", "0"}, "", {0}},
      {{"--locale", " weird locale ", "--sources", "0"}, " weird locale ", {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(bracketed(c.args));
    Arguments parsed;
    ASSERT_NO_THROW(parsed = arguments(argv(c.args)));
    EXPECT_EQ(parsed.locale.identifier, c.locale);
    EXPECT_EQ(parsed.sources, c.sources);
  }
}

TEST(Arguments, RejectedCommandLines) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--locale", "en_US", "--sources", "2,3"},
      {"--locale", "en_US", "--sources", ""},
      {"--locale", "en_US", "--sources", "x"},
      {"--locale", "en_US", "--sources", "-1"},
      {"--locale", "en_US", "--sources", "+"},
      {"--locale", "en_US", "--sources", "-"},
      {"--locale", "en_US", "--sources", "+-1"},
      {"--locale", "en_US", "--sources", " 0"},
      {"--locale", "en_US", "--sources", "0x0"},
      {"--locale", "en_US", "--sources", ",,,"},
      {"--locale", "en_US", "--sources", "9223372036854775808"},
      {"--sources", "0", "--locale"},
      {"--locale", "en_US"},
      {"--locale", "en_US", "--sources"},
      {"--locale=en_US", "--sources", "0"},
      {"--LOCALE", "en_US", "--sources", "0"},
      {"--sources", "0"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(bracketed(args));
    EXPECT_HELPER_ERROR(arguments(argv(args)), invalidArguments);
  }
  EXPECT_HELPER_ERROR(arguments({}), invalidArguments);
}

TEST(Arguments, EchoCancellationIsAnOptIn) {
  const struct {
    std::vector<std::string> args;
    EchoCancellation expected;
  } cases[] = {
      {{"--locale", "en_US", "--sources", "0,1"}, EchoCancellation::off},
      {{"--locale", "en_US", "--sources", "0,1", "--echo-cancellation", "on"}, EchoCancellation::on},
      {{"--echo-cancellation", "on", "--locale", "en_US", "--sources", "0"}, EchoCancellation::on},
      {{"--locale", "en_US", "--sources", "0,1", "--echo-cancellation", "off"}, EchoCancellation::off},
      {{"--locale", "en_US", "--echo-cancellation", "on", "--sources", "0,1", "--echo-cancellation", "bad"},
       EchoCancellation::on},
      {{"--locale", "en_US", "--sources", "0,1", "--echo-cancellation=on"}, EchoCancellation::off},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(bracketed(c.args));
    Arguments parsed;
    ASSERT_NO_THROW(parsed = arguments(argv(c.args)));
    EXPECT_EQ(parsed.options.echoCancellation, c.expected);
    EXPECT_EQ(parsed.locale.identifier, "en_US");
  }
  const std::vector<std::vector<std::string>> rejected = {
      {"--locale", "en_US", "--sources", "0,1", "--echo-cancellation"},
      {"--locale", "en_US", "--sources", "0,1", "--echo-cancellation", "ON"},
      {"--locale", "en_US", "--sources", "0,1", "--echo-cancellation", ""},
      {"--locale", "en_US", "--sources", "0,1", "--echo-cancellation", "yes"},
      {"--echo-cancellation", "--locale", "en_US", "--sources", "0,1"},
  };
  for (const auto& args : rejected) {
    SCOPED_TRACE(bracketed(args));
    EXPECT_HELPER_ERROR(arguments(argv(args)), invalidArguments);
  }
}

}  // namespace
}  // namespace veskar
