// The helper as a process: command line, stdin lines, stdout lines, stderr
// and exit status, over the scripted engine (and the real binary where no
// speech model is needed).
#include <gtest/gtest.h>

#include "support/scripted_helper.h"
#include "support/wire.h"

namespace veskar {
namespace {

using testing::audioLine;
using testing::ProcessOptions;
using testing::ProcessResult;
using testing::runProcess;
using testing::tone;

ProcessResult runScripted(const std::string& script, const std::vector<std::string>& args, const std::string& input) {
  return testing::runScriptedHelper(script, args, input);
}

const std::vector<std::string> kArgs{"--locale", "en_US", "--sources", "0"};

std::string fatalLine(const std::string& message) {
  return R"({"type":"stream.error","code":"native_unavailable","message":")" + message + R"(","fatal":true})";
}

TEST(HelperProcess, StartUpFailuresAreOneFatalEventTheSameTextOnStderrAndStatus1) {
  const struct {
    const char* name;
    std::string script;
    std::vector<std::string> args;
    std::vector<std::string> stdoutLines;
    std::string message;
  } cases[] = {
      {"no speech engine, bad command line too", "noengine", {"--bogus"}, {}, "SpeechAnalyzer requires macOS 26 or later"},
      {"bad command line", "", {"--locale", "en_US"}, {}, "Invalid helper arguments"},
      {"sources all out of range", "", {"--locale", "en_US", "--sources", "2,3"}, {}, "Invalid helper arguments"},
      {"echo cancellation neither on nor off", "",
       {"--locale", "en_US", "--sources", "0,1", "--echo-cancellation", "yes"}, {}, "Invalid helper arguments"},
      {"transcription unavailable", "unavailable", kArgs, {}, "SpeechTranscriber is unavailable on this Mac"},
      {"no equivalent locale", "locale=", {"--locale", "xx_YY", "--sources", "0"}, {},
       "On-device transcription does not support locale xx_YY"},
      {"asset status unsupported names the resolved locale", "locale=en_US;status=unsupported",
       {"--locale", "en-us", "--sources", "0"}, {}, "On-device transcription does not support locale en_US"},
      {"no installation request", "locale=en_US;status=supported;installation=none",
       {"--locale", "en", "--sources", "0"},
       {R"({"type":"stream.status","locale":"en_US","code":"model_downloading","message":"Installing the on-device speech model"})"},
       "The speech model could not be installed"},
      {"download fails", "status=downloading;installation=downloadThrows", kArgs,
       {R"({"type":"stream.status","locale":"en_US","code":"model_downloading","message":"Installing the on-device speech model"})"},
       "scripted download failure"},
      {"no proposed format", "format=none", kArgs, {}, "The 16 kHz PCM format is unavailable"},
      {"prepare fails", "prepare", kArgs, {}, "scripted prepare failure"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult result =
        runScripted(c.script, c.args, "{\"type\":\"finish\"}\n");
    std::vector<std::string> expected = c.stdoutLines;
    expected.push_back(fatalLine(c.message));
    EXPECT_EQ(result.outLines(), expected);
    EXPECT_EQ(result.out.back(), '\n');
    EXPECT_EQ(result.err, c.message + "\n");
    EXPECT_EQ(result.exitStatus, 1);
  }
}

TEST(HelperProcess, RealBinaryRejectsABadCommandLineTheSameWay) {
  const ProcessResult result = runProcess({VESKAR_HELPER_BINARY, "--locale=en_US", "--sources", "0"}, "");
  if (result.err == "SpeechAnalyzer requires macOS 26 or later\n") GTEST_SKIP() << "no speech engine here";
  EXPECT_EQ(result.outLines(), std::vector<std::string>{fatalLine("Invalid helper arguments")});
  EXPECT_EQ(result.err, "Invalid helper arguments\n");
  EXPECT_EQ(result.exitStatus, 1);
}

TEST(HelperProcess, ReadyThenFinishedAndStatus0) {
  const struct {
    const char* name;
    std::string script;
    std::vector<std::string> args;
    std::vector<std::string> lines;
  } cases[] = {
      {"installed model", "locale=en_US", {"--locale", "EN_us", "--sources", "1,0"},
       {R"({"type":"stream.ready","locale":"en_US"})", R"({"type":"stream.finished"})"}},
      {"model installed first", "status=supported", kArgs,
       {R"({"type":"stream.status","locale":"en_US","code":"model_downloading","message":"Installing the on-device speech model"})",
        R"({"type":"stream.ready","locale":"en_US"})", R"({"type":"stream.finished"})"}},
      {"reservation refused", "reserve=false", kArgs,
       {R"({"type":"stream.ready","locale":"en_US"})", R"({"type":"stream.finished"})"}},
      {"reservation throws", "reserve=throws", kArgs,
       {R"({"type":"stream.ready","locale":"en_US"})", R"({"type":"stream.finished"})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult result = runScripted(c.script, c.args, "{\"type\":\"finish\"}\n{\"type\":\"finish\"}\n");
    EXPECT_EQ(result.outLines(), c.lines);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
  }
}

TEST(HelperProcess, EndOfInputWithoutFinishExitsAtOnceWithStatus0) {
  const ProcessResult result = runScripted("echo", kArgs, audioLine(0, tone(320)));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  const auto lines = result.outLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], R"({"type":"stream.ready","locale":"en_US"})");
  for (const auto& line : lines) EXPECT_EQ(line.find("stream.finished"), std::string::npos);
}

TEST(HelperProcess, TranscriptsErrorsAndTheEndInWireForm) {
  const std::string input = std::string("\n") +                                   // empty line
                            "{\"type\":\"audio\",\"source_id\":0,\"pcm_base64\":\"AAA\"}\n" +  // bad Base64
                            "{\"type\":\"audio\",\"source_id\":1,\"pcm_base64\":\"AAAA\"}\n" +  // no such source
                            "{\"type\":\"audio\",\"source_id\":0,\"pcm_base64\":\"AA==\"}\n" +  // odd: 1 byte
                            audioLine(0, tone(320)) +                                       //
                            "{\"type\":\"Finish\"}\n" +                                      // wrong case
                            audioLine(0, tone(320)) +                                       //
                            "{\"type\":\"finish\",\"source_id\":7,\"pcm_base64\":\"!\"}\n" + //
                            audioLine(0, tone(320));                                        // never read
  const ProcessResult result = runScripted("echo", kArgs, input);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  const auto lines = result.outLines();
  auto count = [&](const std::string& line) { return std::count(lines.begin(), lines.end(), line); };
  EXPECT_EQ(lines.front(), R"({"type":"stream.ready","locale":"en_US"})");
  EXPECT_EQ(lines.back(), R"({"type":"stream.finished"})");
  EXPECT_EQ(count(R"({"type":"stream.error","code":"invalid_input","message":"Invalid helper protocol event","fatal":false})"), 3);
  EXPECT_EQ(count(R"({"type":"stream.error","code":"invalid_input","message":"Invalid PCM audio","fatal":false})"), 1);
  EXPECT_EQ(count(R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-0","revision":1,"text":"word1","is_final":false,"start_ms":0,"end_ms":20})"), 1);
  EXPECT_EQ(count(R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-0","revision":2,"text":"word1 word2","is_final":false,"start_ms":0,"end_ms":40})"), 1);
  // The final revision comes before the end of the stream.
  EXPECT_EQ(lines[lines.size() - 2], R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-0","revision":3,"text":"word1 word2","is_final":true,"start_ms":0,"end_ms":40})");
  EXPECT_EQ(lines.size(), 1u + 5u + 3u + 1u);
}

std::vector<std::string> linesWith(const ProcessResult& result, const std::string& part) {
  std::vector<std::string> lines;
  for (const std::string& line : result.outLines()) {
    if (line.find(part) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

TEST(HelperProcess, EchoCancellationOffOrWithNothingToCancelChangesNoLine) {
  // A tone on the microphone, a silent meeting: nothing to cancel, so even
  // with the canceller on every frame passes at once, untouched.
  std::string input;
  for (int i = 0; i < 60; ++i) input += audioLine(0, tone(1600)) + audioLine(1, std::string(3200, '\0'));
  input += "{\"type\":\"finish\"}\n";
  const std::vector<std::string> both{"--locale", "en_US", "--sources", "0,1"};
  const ProcessResult without = runScripted("echo", both, input);
  ASSERT_EQ(without.exitStatus, 0);
  ASSERT_GT(linesWith(without, R"("source_id":0,)").size(), 10u);
  ASSERT_GT(linesWith(without, R"("source_id":1,)").size(), 10u);
  const struct {
    const char* name;
    std::vector<std::string> extra;
  } cases[] = {
      {"off", {"--echo-cancellation", "off"}},
      {"on", {"--echo-cancellation", "on"}},
      {"on, given first", {"--echo-cancellation", "on"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = both;
    if (std::string(c.name) == "on, given first") {
      args.insert(args.begin(), c.extra.begin(), c.extra.end());
    } else {
      args.insert(args.end(), c.extra.begin(), c.extra.end());
    }
    const ProcessResult result = runScripted("echo", args, input);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    // The two sources' lines interleave as their threads run; each source's
    // own lines are the same, byte for byte and in order.
    for (const char* source : {R"("source_id":0,)", R"("source_id":1,)", R"("type":"stream.)"}) {
      SCOPED_TRACE(source);
      EXPECT_EQ(linesWith(result, source), linesWith(without, source));
    }
  }
}

TEST(HelperProcess, EngineFailuresAreFatalEventsForTheirSourceAndTheStreamGoesOn) {
  std::string input;
  for (int i = 0; i < 4; ++i) input += audioLine(0, tone(320)) + audioLine(1, tone(320));
  input += "{\"type\":\"finish\"}\n";
  const struct {
    const char* name;
    std::string script;
    std::string errorLine0;
    std::string errorLine1;
  } cases[] = {
      {"analysis fails", "echo;analysisFailsAfter=2",
       R"({"type":"stream.error","source_id":0,"code":"analysis_failed","message":"scripted analysis failure","fatal":true})",
       R"({"type":"stream.error","source_id":1,"code":"analysis_failed","message":"scripted analysis failure","fatal":true})"},
      {"results fail", "echo;resultsFailAfter=1",
       R"({"type":"stream.error","source_id":0,"code":"results_failed","message":"scripted results failure","fatal":true})",
       R"({"type":"stream.error","source_id":1,"code":"results_failed","message":"scripted results failure","fatal":true})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult result = runScripted(c.script, {"--locale", "en_US", "--sources", "0,1"}, input);
    EXPECT_EQ(result.exitStatus, 0);
    const auto lines = result.outLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), c.errorLine0), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), c.errorLine1), 1);
    for (const auto& line : lines) EXPECT_EQ(line.find("invalid_input"), std::string::npos) << "audio still accepted";
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), R"({"type":"stream.finished"})");
  }
}

}  // namespace
}  // namespace veskar
