#include "command_line.h"

#include <gtest/gtest.h>

namespace veskar::tools {
namespace {

TEST(CommandLine, AFileAloneTakesTheDefaults) {
  const Options options = parseCommandLine({"talk.wav"});
  EXPECT_EQ(options.file, "talk.wav");
  EXPECT_EQ(options.helper, "");
  EXPECT_EQ(options.locale, "en_US");
  EXPECT_DOUBLE_EQ(options.speed, kDefaultSpeed);
  EXPECT_FALSE(options.stereoSources);
  EXPECT_EQ(options.source, 0);
  EXPECT_EQ(options.chunkMs, 100);
  EXPECT_TRUE(options.progress);
}

TEST(CommandLine, ReadsEveryOption) {
  const Options options =
      parseCommandLine({"--helper", "/opt/h", "--locale=en", "--speed", "2.5", "--stereo-sources", "--window", "3",
                        "--chunk-ms=200", "--no-progress", "--", "-odd name.flac"});
  EXPECT_EQ(options.helper, "/opt/h");
  EXPECT_EQ(options.locale, "en");
  EXPECT_DOUBLE_EQ(options.speed, 2.5);
  EXPECT_TRUE(options.stereoSources);
  EXPECT_DOUBLE_EQ(options.windowSeconds, 3);
  EXPECT_EQ(options.chunkMs, 200);
  EXPECT_FALSE(options.progress);
  EXPECT_EQ(options.file, "-odd name.flac");
}

TEST(CommandLine, RealtimeIsSpeedOne) {
  EXPECT_DOUBLE_EQ(parseCommandLine({"--realtime", "a.wav"}).speed, 1.0);
  EXPECT_DOUBLE_EQ(parseCommandLine({"--realtime", "--stereo-sources", "a.wav"}).speed, 1.0);
  EXPECT_EQ(parseCommandLine({"--source", "1", "a.wav"}).source, 1);
}

TEST(CommandLine, RefusesWhatMakesNoSense) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"a.wav", "b.wav"},
      {"--speed", "0", "a.wav"},
      {"--speed", "fast", "a.wav"},
      {"--speed", "", "a.wav"},
      {"--speed"},
      {"--realtime", "--speed", "2", "a.wav"},
      {"--source", "2", "a.wav"},
      {"--stereo-sources", "--source", "1", "a.wav"},
      {"--chunk-ms", "5", "a.wav"},
      {"--window", "100", "a.wav"},
      {"--realtime=yes", "a.wav"},
      {"--bogus", "a.wav"},
      {"-"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_THROW(parseCommandLine(args), UsageError) << joined;
  }
}

TEST(CommandLine, TwoSourcesGoSlowerByDefault) {
  EXPECT_DOUBLE_EQ(parseCommandLine({"--stereo-sources", "a.wav"}).speed, kDefaultStereoSpeed);
  EXPECT_LT(kDefaultStereoSpeed, kDefaultSpeed);
  EXPECT_DOUBLE_EQ(parseCommandLine({"--stereo-sources", "--speed", "3", "a.wav"}).speed, 3.0);
}

TEST(CommandLine, HelpNeedsNoFile) {
  EXPECT_TRUE(parseCommandLine({"--help"}).help);
  EXPECT_TRUE(parseCommandLine({"-h"}).help);
  EXPECT_NE(usageText("veskar-transcribe").find("--stereo-sources"), std::string::npos);
}

}  // namespace
}  // namespace veskar::tools
