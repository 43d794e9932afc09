// veskar-transcribe as a process, over the helper with the scripted engine.
// With "echo" that engine makes one utterance per source whose words count
// the inputs it heard (word1 ... wordN), final at the end of input: a
// transcript that shows whether every chunk arrived.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <signal.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <numbers>
#include <vector>

#include "child_process.h"
#include "support/process_runner.h"
#include "support/temp_folder.h"

namespace veskar::tools {
namespace {

using TempDir = veskar::testing::TempFolder;

using veskar::testing::ProcessOptions;
using veskar::testing::ProcessResult;
using veskar::testing::runProcess;
using namespace std::chrono_literals;


// `seconds` of a quiet tone in every channel.
std::string writeTone(const TempDir& dir, const std::string& name, int rate, int channels, double seconds) {
  const std::string path = dir.file(name);
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) throw std::runtime_error(sf_strerror(nullptr));
  const auto frames = static_cast<std::size_t>(std::lround(rate * seconds));
  std::vector<float> samples(frames * static_cast<std::size_t>(channels));
  for (std::size_t f = 0; f < frames; ++f) {
    for (int c = 0; c < channels; ++c) {
      samples[f * channels + c] = 0.1f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * f / rate));
    }
  }
  sf_writef_float(file, samples.data(), static_cast<sf_count_t>(frames));
  sf_close(file);
  return path;
}

std::string words(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += (i > 1 ? " word" : "word") + std::to_string(i);
  return text;
}

ProcessResult transcribe(const std::string& script, std::vector<std::string> args) {
  std::vector<std::string> argv{VESKAR_TRANSCRIBE_BINARY, "--helper", VESKAR_SCRIPTED_HELPER_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.environment["VESKAR_ENGINE_SCRIPT"] = script;
  return runProcess(argv, "", options);
}

TEST(TranscribeProcess, AMonoFileBecomesOneFinalLinePerUtterance) {
  TempDir dir;
  // 2.35 s: 23 chunks of 100 ms and one of 50 ms.
  const std::string path = writeTone(dir, "tone.wav", 16000, 1, 2.35);
  const ProcessResult result = transcribe("echo", {"--speed", "50", path});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.outLines(), (std::vector<std::string>{"[00:00.00] You: " + words(24)}));
  EXPECT_NE(result.err.find("audio:        2.4 s (1 source)"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("utterances:   1"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("dropped audio: none"), std::string::npos) << result.err;
}

TEST(TranscribeProcess, ChunkSizeAndSourceAreTheCallers) {
  TempDir dir;
  const std::string path = writeTone(dir, "tone.wav", 16000, 1, 1.0);
  const ProcessResult result = transcribe("echo", {"--speed", "50", "--chunk-ms", "250", "--source", "1", path});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.outLines(), (std::vector<std::string>{"[00:00.00] Meeting: " + words(4)}));
}

TEST(TranscribeProcess, OtherRatesAreResampledToSixteenKilohertz) {
  TempDir dir;
  // 44.1 kHz for 1.95 s: 31200 samples at 16 kHz, 20 chunks.
  const std::string path = writeTone(dir, "tone44.wav", 44100, 1, 1.95);
  const ProcessResult result = transcribe("echo", {"--speed", "50", path});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.outLines(), (std::vector<std::string>{"[00:00.00] You: " + words(20)}));
}

TEST(TranscribeProcess, StereoSourcesFeedBothSources) {
  TempDir dir;
  const std::string path = writeTone(dir, "stereo.wav", 48000, 2, 1.0);
  const ProcessResult result = transcribe("echo", {"--speed", "50", "--stereo-sources", path});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  std::vector<std::string> lines = result.outLines();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"[00:00.00] Meeting: " + words(10), "[00:00.00] You: " + words(10)}));
  EXPECT_NE(result.err.find("(2 sources)"), std::string::npos) << result.err;
}

TEST(TranscribeProcess, AHelperThatCannotStartFailsTheRunWithItsMessageOnce) {
  TempDir dir;
  const std::string path = writeTone(dir, "tone.wav", 16000, 1, 0.5);
  const ProcessResult result = transcribe("unavailable", {path});
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  EXPECT_EQ(result.out, "");
  const std::string message = "SpeechTranscriber is unavailable";
  const std::size_t first = result.err.find(message);
  ASSERT_NE(first, std::string::npos) << result.err;
  EXPECT_EQ(result.err.find(message, first + 1), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("native_unavailable"), std::string::npos) << result.err;
}

TEST(TranscribeProcess, AMissingHelperFailsTheRun) {
  TempDir dir;
  const std::string path = writeTone(dir, "tone.wav", 16000, 1, 0.5);
  const ProcessResult result =
      runProcess({VESKAR_TRANSCRIBE_BINARY, "--helper", dir.file("no-such-helper"), path}, "");
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  EXPECT_NE(result.err.find("no-such-helper"), std::string::npos) << result.err;
}

TEST(TranscribeProcess, ASourceThatFailsIsReportedAndFailsTheRun) {
  TempDir dir;
  const std::string path = writeTone(dir, "tone.wav", 16000, 1, 1.0);
  const ProcessResult result = transcribe("echo;analysisFailsAfter=3", {"--speed", "50", path});
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  EXPECT_NE(result.err.find("analysis_failed"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("on source 0"), std::string::npos) << result.err;
}

TEST(TranscribeProcess, AHelperThatDiesMidStreamFailsTheRun) {
  TempDir dir;
  const std::string path = writeTone(dir, "tone.wav", 16000, 1, 3.0);
  // A "helper" that gets ready, reads a little input and dies by a signal.
  const std::string fake = dir.file("dying-helper");
  FILE* script = std::fopen(fake.c_str(), "w");
  ASSERT_NE(script, nullptr);
  std::fputs("#!/bin/sh\necho '{\"type\":\"stream.ready\",\"locale\":\"en_US\"}'\nhead -n 3 >/dev/null\nkill -9 $$\n",
             script);
  std::fclose(script);
  std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
  const ProcessResult result = runProcess({VESKAR_TRANSCRIBE_BINARY, "--helper", fake, "--speed", "50", path}, "");
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  EXPECT_NE(result.err.find("ended before finishing"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("signal 9"), std::string::npos) << result.err;
}

// A helper (a shell script, which dies of SIGINT) that announces on
// standard error when it has read three lines, and answers "finish" with a
// last final, or, when `answers` is false, never.
std::string scriptHelper(const TempDir& dir, bool answers) {
  const std::string path = dir.file(answers ? "helper" : "stubborn-helper");
  std::ofstream(path) << "#!/bin/sh\n"
                         "echo '{\"type\":\"stream.ready\",\"locale\":\"en_US\"}'\n"
                         "n=0\n"
                         "while IFS= read -r line; do\n"
                         "  case \"$line\" in *'\"finish\"'*)\n"
                      << (answers ? "    echo '{\"type\":\"transcript.upsert\",\"source_id\":0,\"speaker\":\"user\","
                                    "\"utterance_id\":\"native-0-0\",\"revision\":1,\"text\":\"last words\","
                                    "\"is_final\":true,\"start_ms\":0,\"end_ms\":500}'\n"
                                    "    echo '{\"type\":\"stream.finished\"}'\n"
                                    "    exit 0;;\n"
                                  : "    ;;\n")
                      << "  esac\n"
                         "  n=$((n + 1))\n"
                         "  if [ $n -eq 3 ]; then echo 'three chunks in' >&2; fi\n"
                         "done\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(TranscribeProcess, CtrlCReachesOnlyTheToolWhichFinishesTheHelpersStream) {
  TempDir dir;
  const std::string path = writeTone(dir, "tone.wav", 16000, 1, 30.0);
  veskar::testing::ChildProcess tool(
      {VESKAR_TRANSCRIBE_BINARY, "--helper", scriptHelper(dir, true), "--realtime", "-o", dir.file("x.txt"), path}, {});
  ASSERT_TRUE(tool.waitForError("helper: three chunks in", 30s)) << tool.err();
  tool.signalGroup(SIGINT);  // as a terminal's Ctrl-C: the whole foreground group
  EXPECT_EQ(tool.finish(30s), 130) << tool.err();
  EXPECT_EQ(tool.out(), "[00:00.00] You: last words\n");
  EXPECT_EQ(readFile(dir.file("x.txt")), "[00:00:00] You: last words\n");
  EXPECT_NE(tool.err().find("interrupted: the audio after that point was not sent"), std::string::npos) << tool.err();
}

TEST(TranscribeProcess, ASecondCtrlCStopsAtOnceAndStillWritesTheFiles) {
  TempDir dir;
  const std::string path = writeTone(dir, "tone.wav", 16000, 1, 30.0);
  veskar::testing::ChildProcess tool(
      {VESKAR_TRANSCRIBE_BINARY, "--helper", scriptHelper(dir, false), "--realtime", "-o", dir.file("x.json"), path},
      {});
  ASSERT_TRUE(tool.waitForError("helper: three chunks in", 30s)) << tool.err();
  tool.signalGroup(SIGINT);
  ASSERT_TRUE(tool.waitForError("Ctrl-C again to stop at once", 30s)) << tool.err();
  tool.signalGroup(SIGINT);
  EXPECT_EQ(tool.finish(30s), 130) << tool.err();
  EXPECT_EQ(readFile(dir.file("x.json")), "[]\n");
}

TEST(TranscribeProcess, TranscriptFilesOfAFile) {
  TempDir dir;
  const std::string path = writeTone(dir, "stereo.wav", 16000, 2, 1.0);
  const ProcessResult result = transcribe(
      "echo", {"--speed", "50", "--stereo-sources", "-o", dir.file("t.srt"), "--output", dir.file("t.json"), path});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(readFile(dir.file("t.srt")),
            "1\n00:00:00,000 --> 00:00:01,000\nYou: " + words(10) + "\n\n2\n00:00:00,000 --> 00:00:01,000\nMeeting: " +
                words(10) + "\n\n");
  EXPECT_NE(readFile(dir.file("t.json")).find("\"speaker\": \"Meeting\""), std::string::npos);
  const ProcessResult unwritable =
      transcribe("echo", {"--speed", "50", "-o", dir.file("no-such-folder/t.txt"), path});
  EXPECT_EQ(unwritable.exitStatus, 1);
  EXPECT_NE(unwritable.err.find("cannot write " + dir.file("no-such-folder/t.txt")), std::string::npos)
      << unwritable.err;
}

TEST(TranscribeProcess, BadCommandLinesAndFilesExitOne) {
  TempDir dir;
  EXPECT_EQ(runProcess({VESKAR_TRANSCRIBE_BINARY}, "").exitStatus, 1);
  EXPECT_EQ(runProcess({VESKAR_TRANSCRIBE_BINARY, "--bogus", "x.wav"}, "").exitStatus, 1);
  const ProcessResult missing = runProcess({VESKAR_TRANSCRIBE_BINARY, dir.file("missing.wav")}, "");
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_NE(missing.err.find("missing.wav"), std::string::npos) << missing.err;
  const std::string mono = writeTone(dir, "mono.wav", 16000, 1, 0.2);
  EXPECT_EQ(runProcess({VESKAR_TRANSCRIBE_BINARY, "--stereo-sources", mono}, "").exitStatus, 1);
  const ProcessResult help = runProcess({VESKAR_TRANSCRIBE_BINARY, "--help"}, "");
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("usage:"), std::string::npos);
}

}  // namespace
}  // namespace veskar::tools
