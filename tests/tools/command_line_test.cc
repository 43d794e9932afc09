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

TEST(CommandLine, LiveTakesTheSoundServerInsteadOfAFile) {
  const Options plain = parseCommandLine({"--live"});
  EXPECT_TRUE(plain.live);
  EXPECT_EQ(plain.file, "");
  EXPECT_EQ(plain.liveSources, (std::vector<int>{0, 1}));
  EXPECT_EQ(plain.chunkMs, kDefaultLiveChunkMs);
  EXPECT_TRUE(plain.echoCancellation);
  EXPECT_FALSE(plain.seconds.has_value());
  EXPECT_EQ(plain.mic, "");
  EXPECT_EQ(plain.meeting, "");

  const Options every = parseCommandLine({"--live", "--mic", "usb-mic", "--meeting=speakers", "--sources", "1",
                                          "--seconds", "90", "--no-echo-cancellation", "-o", "a.txt", "--output",
                                          "b.SRT", "--output=c.json", "--chunk-ms", "20"});
  EXPECT_EQ(every.mic, "usb-mic");
  EXPECT_EQ(every.meeting, "speakers");
  EXPECT_EQ(every.liveSources, (std::vector<int>{1}));
  EXPECT_EQ(every.seconds, 90.0);
  EXPECT_FALSE(every.echoCancellation);
  EXPECT_EQ(every.outputs, (std::vector<std::string>{"a.txt", "b.SRT", "c.json"}));
  EXPECT_EQ(every.chunkMs, 20);
  EXPECT_EQ(parseCommandLine({"--live", "--sources", "1,0"}).liveSources, (std::vector<int>{0, 1}));
  EXPECT_TRUE(parseCommandLine({"--list-devices"}).listDevices);
  EXPECT_EQ(parseCommandLine({"-o", "x.vtt", "talk.wav"}).outputs, (std::vector<std::string>{"x.vtt"}));
}

TEST(CommandLine, RefusesLiveOptionsThatMakeNoSense) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--live", "talk.wav"}, "--live records the sound server; it takes no audio file"},
      {{"--live", "--speed", "2"}, "--realtime, --speed, --stereo-sources, --source and --window are for files, not --live"},
      {{"--live", "--stereo-sources"}, "--realtime, --speed, --stereo-sources, --source and --window are for files, not --live"},
      {{"--mic", "x", "talk.wav"}, "--mic is for --live"},
      {{"--seconds", "5", "talk.wav"}, "--seconds is for --live"},
      {{"--no-echo-cancellation", "talk.wav"}, "--no-echo-cancellation is for --live"},
      {{"--live", "--sources", "2"}, "--sources is 0 (the microphone), 1 (the meeting) or 0,1, not '2'"},
      {{"--live", "--sources", "0,1,1"}, "--sources is 0 (the microphone), 1 (the meeting) or 0,1, not '0,1,1'"},
      {{"--live", "--seconds", "0"}, "--seconds takes a number from 0.1 to 10000000, not '0'"},
      {{"--live", "--mic", ""}, "--mic needs a device name"},
      {{"--live", "--chunk-ms", "200"}, "--chunk-ms with --live takes 20 to 100"},
      {{"--live", "--chunk-ms", "10"}, "--chunk-ms with --live takes 20 to 100"},
      {{"--live", "-o", "notes.doc"}, "-o takes a file ending in .txt, .srt, .vtt or .json, not 'notes.doc'"},
      {{"--live", "--output", "notes"}, "--output takes a file ending in .txt, .srt, .vtt or .json, not 'notes'"},
      {{}, "no audio file given (or --live to record the sound server)"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    try {
      parseCommandLine(c.args);
      ADD_FAILURE() << "accepted";
    } catch (const UsageError& error) {
      EXPECT_EQ(std::string(error.what()), c.message);
    }
  }
}

TEST(CommandLine, HelpNeedsNoFile) {
  EXPECT_TRUE(parseCommandLine({"--help"}).help);
  EXPECT_TRUE(parseCommandLine({"-h"}).help);
  const std::string help = usageText("veskar-transcribe");
  for (const char* option : {"--stereo-sources", "--live", "--mic", "--meeting", "--list-devices", "--sources",
                             "--seconds", "--no-echo-cancellation", "--output", "PULSE_SERVER"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace veskar::tools
