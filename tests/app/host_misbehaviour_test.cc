// A host that misbehaves: closes pipes early, sends huge or broken lines in
// bulk, or kills the helper. The helper must neither crash nor hang, and
// every line it writes stays whole.
#include <signal.h>

#include <gtest/gtest.h>

#include <map>

#include "support/scripted_helper.h"
#include "support/wire.h"

namespace veskar {
namespace {

using testing::audioLine;
using testing::ProcessOptions;
using testing::ProcessResult;
using testing::tone;

ProcessResult runEcho(const std::string& input, ProcessOptions options = {},
                      const std::string& sources = "0,1") {
  return testing::runScriptedHelper("echo", {"--locale", "en_US", "--sources", sources}, input, options);
}

// Every line is one compact JSON object from the catalogue.
void expectWholeLines(const ProcessResult& result) {
  ASSERT_TRUE(result.out.empty() || result.out.back() == '\n') << "a torn last line";
  for (const auto& line : result.outLines()) {
    EXPECT_EQ(line.rfind("{\"type\":\"", 0), 0u) << line.substr(0, 200);
    EXPECT_EQ(line.back(), '}') << line.substr(0, 200);
  }
}

TEST(HostMisbehaviour, StdoutClosedEarlyEndsTheHelperPromptly) {
  ProcessOptions options;
  options.closeStdout = true;
  options.keepStdinOpen = true;  // the helper would otherwise wait for input
  options.timeout = std::chrono::milliseconds(20000);
  const ProcessResult result = runEcho(audioLine(0, tone(320)), options);
  EXPECT_FALSE(result.timedOut) << "the helper hung";
  EXPECT_EQ(result.termSignal, 0) << "killed by signal " << result.termSignal;
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
}

TEST(HostMisbehaviour, AFailedStartIsStillStatus1WhenStdoutIsClosed) {
  ProcessOptions options;
  options.closeStdout = true;
  const ProcessResult result =
      testing::runScriptedHelper("unavailable", {"--locale", "en_US", "--sources", "0"}, "", options);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, "SpeechTranscriber is unavailable on this Mac\n");
}

TEST(HostMisbehaviour, StdinClosedInTheMiddleOfALine) {
  {
    SCOPED_TRACE("the unterminated line is a finish");
    const ProcessResult result = runEcho(audioLine(0, tone(320)) + "{\"type\":\"finish\"}");
    EXPECT_EQ(result.exitStatus, 0);
    ASSERT_FALSE(result.outLines().empty());
    EXPECT_EQ(result.outLines().back(), R"({"type":"stream.finished"})");
  }
  {
    SCOPED_TRACE("the unterminated line is half an audio line");
    const std::string line = audioLine(0, tone(320));
    const ProcessResult result = runEcho(line + line.substr(0, line.size() / 2));
    EXPECT_EQ(result.exitStatus, 0);
    const auto lines = result.outLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("\"invalid_input\"") != std::string::npos; }),
              1);
    expectWholeLines(result);
  }
}

TEST(HostMisbehaviour, LinesOfTensOfMegabytes) {
  const std::string bigAudio = audioLine(0, tone(12000000));  // 12 M frames: 32 MB of Base64
  const std::string bigGarbage = "{\"type\":\"audio\",\"source_id\":0,\"pcm_base64\":\"" + std::string(30'000'000, 'A') +
                                 "!\"}\n";
  const ProcessResult result =
      runEcho(bigAudio + bigGarbage + audioLine(0, tone(320)) + "{\"type\":\"finish\"}\n", {}, "0");
  EXPECT_EQ(result.exitStatus, 0);
  expectWholeLines(result);
  const auto lines = result.outLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       R"({"type":"stream.error","code":"invalid_input","message":"Invalid helper protocol event","fatal":false})"),
            1);
  EXPECT_EQ(lines[lines.size() - 2],
            R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-0","revision":3,"text":"word1 word2","is_final":true,"start_ms":0,"end_ms":750020})");
  EXPECT_EQ(lines.back(), R"({"type":"stream.finished"})");
}

TEST(HostMisbehaviour, ABurstOfBrokenLinesBetweenGoodAudioOfTwoSources) {
  std::string input;
  int broken = 0;
  const std::string junk[] = {"", "{", "[]", "{\"type\":\"audio\",\"source_id\":0,\"pcm_base64\":\"A\"}",
                              "{\"type\":\"audio\",\"source_id\":5,\"pcm_base64\":\"AAAA\"}", "\xff\xfe garbage",
                              "{\"type\":\"audio\",\"source_id\":\"1\"}", "{\"type\":\"Finish\"}"};
  constexpr int kChunks = 40;
  for (int i = 0; i < kChunks; ++i) {
    input += audioLine(0, tone(320)) + audioLine(1, tone(320));
    for (int j = 0; j < 100; ++j, ++broken) input += junk[(i + j) % std::size(junk)] + "\n";
  }
  input += "{\"type\":\"finish\"}\n";
  const ProcessResult result = runEcho(input);
  EXPECT_EQ(result.exitStatus, 0);
  expectWholeLines(result);
  const auto lines = result.outLines();
  std::map<std::string, int> finals;
  int errors = 0;
  for (const auto& line : lines) {
    if (line.find("\"code\":\"invalid_input\"") != std::string::npos) ++errors;
    if (line.find("\"is_final\":true") != std::string::npos) ++finals[line.substr(0, line.find("\"revision\""))];
  }
  EXPECT_EQ(errors, broken);
  // Each source heard all its chunks: its final names all of them.
  std::string allWords;
  for (int i = 0; i < kChunks; ++i) allWords += (i ? " word" : "word") + std::to_string(i + 1);
  for (const char* source : {"\"source_id\":0,", "\"source_id\":1,"}) {
    SCOPED_TRACE(source);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& l) {
                              return l.find(source) != std::string::npos &&
                                     l.find("\"text\":\"" + allWords + "\",\"is_final\":true") != std::string::npos;
                            }),
              1);
  }
  EXPECT_EQ(lines.back(), R"({"type":"stream.finished"})");
}

TEST(HostMisbehaviour, SigtermEndsTheHelperAtOnceWithoutAPartialLine) {
  std::string input;
  for (int i = 0; i < 200; ++i) input += audioLine(0, tone(320)) + "{\n";
  ProcessOptions options;
  options.keepStdinOpen = true;
  options.signalAfterFirstLine = SIGTERM;
  options.timeout = std::chrono::milliseconds(20000);
  const ProcessResult result = runEcho(input, options);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.termSignal, SIGTERM);
  expectWholeLines(result);
  EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace veskar
