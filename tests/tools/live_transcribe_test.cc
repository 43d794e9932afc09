// veskar-transcribe --live against a real PulseAudio server started by the
// test (see pulse_server.h) and the real helper on read speech: LibriVox
// clips played into the speakers (the meeting) and into the microphone.
// Skipped where the server cannot start or the speech model is missing.
#include <gtest/gtest.h>
#include <signal.h>
#include <simdjson.h>
#include <sndfile.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "child_process.h"
#include "pulse_server.h"
#include "support/temp_folder.h"
#include "support/word_error_rate.h"
#include "transcript_files.h"

namespace veskar::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tools::srtTime;

const fs::path kClips = "/usr/share/pocketsphinx/test/data/librivox";
const fs::path kModel = "/usr/share/pocketsphinx/model/en-us";

bool speechInstalled() { return fs::exists(kModel / "en-us" / "mdef") && fs::exists(kClips / "transcription"); }

fs::path clipPath(const std::string& id) { return kClips / ("sense_and_sensibility_01_austen_64kb-" + id + ".wav"); }

std::vector<std::string> splitWords(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::vector<std::string> referenceWords(const std::string& id) {
  std::ifstream in(kClips / "transcription");
  for (std::string line; std::getline(in, line);) {
    if (line.find("-" + id + ")") == std::string::npos) continue;
    std::vector<std::string> words;
    for (const std::string& word : splitWords(line.substr(0, line.rfind('(')))) {
      if (word != "<s>" && word != "</s>") words.push_back(word);
    }
    return words;
  }
  return {};
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A clip with silence before and after it, as a 16 kHz mono WAV; its length
// in milliseconds goes to `speechMs`.
std::string paddedClip(const TempFolder& folder, const std::string& id, double leadSeconds, double tailSeconds,
                       int64_t* speechMs = nullptr) {
  SF_INFO info{};
  SNDFILE* in = sf_open(clipPath(id).c_str(), SFM_READ, &info);
  if (in == nullptr) throw std::runtime_error("cannot read clip " + id);
  std::vector<short> clip(static_cast<std::size_t>(info.frames));
  sf_readf_short(in, clip.data(), info.frames);
  sf_close(in);
  if (speechMs != nullptr) *speechMs = info.frames * 1000 / info.samplerate;
  std::vector<short> samples(static_cast<std::size_t>(leadSeconds * info.samplerate), 0);
  samples.insert(samples.end(), clip.begin(), clip.end());
  samples.resize(samples.size() + static_cast<std::size_t>(tailSeconds * info.samplerate), 0);
  const std::string path = folder.file("clip-" + id + ".wav");
  SF_INFO out{};
  out.samplerate = info.samplerate;
  out.channels = 1;
  out.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &out);
  if (file == nullptr) throw std::runtime_error("cannot write " + path);
  sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  return path;
}

struct Final {
  int64_t source = -1;
  std::string speaker, id, text;
  int64_t startMs = 0, endMs = 0;
};

// The .json transcript; fails the test when it is not the expected array.
std::vector<Final> readJson(const fs::path& path) {
  std::vector<Final> finals;
  simdjson::dom::parser parser;
  simdjson::dom::array array;
  const std::string text = readAll(path);
  EXPECT_EQ(parser.parse(text).get(array), simdjson::SUCCESS) << text;
  for (simdjson::dom::element entry : array) {
    Final final;
    std::string_view speaker, id, words;
    EXPECT_EQ(entry["source"].get(final.source), simdjson::SUCCESS);
    EXPECT_EQ(entry["speaker"].get(speaker), simdjson::SUCCESS);
    EXPECT_EQ(entry["id"].get(id), simdjson::SUCCESS);
    EXPECT_EQ(entry["start_ms"].get(final.startMs), simdjson::SUCCESS);
    EXPECT_EQ(entry["end_ms"].get(final.endMs), simdjson::SUCCESS);
    EXPECT_EQ(entry["text"].get(words), simdjson::SUCCESS);
    final.speaker = speaker;
    final.id = id;
    final.text = words;
    finals.push_back(final);
  }
  return finals;
}

std::vector<std::string> wordsOf(const std::vector<Final>& finals, int64_t source) {
  std::vector<std::string> words;
  for (const Final& final : finals) {
    if (final.source != source) continue;
    for (std::string& word : splitWords(final.text)) words.push_back(std::move(word));
  }
  return words;
}

std::size_t lineCount(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

std::vector<std::string> transcribeLive(std::vector<std::string> args) {
  std::vector<std::string> argv{VESKAR_TRANSCRIBE_BINARY, "--helper", VESKAR_HELPER_BINARY, "--live"};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

class LiveTranscription : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!speechInstalled()) GTEST_SKIP() << "the PocketSphinx en-us model or the LibriVox clips are not installed";
    server_ = std::make_unique<PulseServer>();
    if (!server_->running()) {
      const char* required = std::getenv("VESKAR_REQUIRE_SOUND_SERVER");
      if (required != nullptr && std::string(required) == "1") FAIL() << server_->why();
      GTEST_SKIP() << server_->why();
    }
  }

  std::unique_ptr<ChildProcess> start(const std::vector<std::string>& args) {
    return std::make_unique<ChildProcess>(transcribeLive(args), server_->clientEnvironment());
  }

  TempFolder folder_;
  std::unique_ptr<PulseServer> server_;
};

TEST_F(LiveTranscription, BothSpeakersAreTranscribedIntoEveryFormat) {
  int64_t meetingMs = 0, micMs = 0;
  const std::string meeting = paddedClip(folder_, "0870", 1.0, 0.5, &meetingMs);
  const std::string mic = paddedClip(folder_, "0890", 1.0, 0.5, &micMs);
  const fs::path out = folder_.path();
  auto tool = start({"--seconds", "12", "--output", (out / "x.txt").string(), "--output", (out / "x.srt").string(),
                     "--output", (out / "x.json").string(), "--output", (out / "x.vtt").string()});
  ASSERT_TRUE(tool->waitForError("recording ", 30s)) << tool->err();
  auto playMeeting = server_->play("speakers", meeting);
  auto playMic = server_->play("mic_feed", mic);
  EXPECT_EQ(tool->finish(120s), 0) << tool->err();
  EXPECT_EQ(playMeeting->finish(30s), 0) << playMeeting->err();
  EXPECT_EQ(playMic->finish(30s), 0) << playMic->err();
  EXPECT_NE(tool->err().find("echo cancellation on"), std::string::npos) << tool->err();
  EXPECT_NE(tool->err().find("audio:        12.0 s (2 sources)\n"), std::string::npos) << tool->err();

  const std::vector<Final> finals = readJson(out / "x.json");
  ASSERT_FALSE(finals.empty());
  for (const auto& [source, clip, speechMs] :
       {std::tuple<int64_t, std::string, int64_t>{0, "0890", micMs}, {1, "0870", meetingMs}}) {
    SCOPED_TRACE(source);
    const std::vector<std::string> words = wordsOf(finals, source);
    EXPECT_LT(wordErrorRate(referenceWords(clip), words), 0.6) << ::testing::PrintToString(words);
    // The cues cover the speech: it began after a second of silence, and
    // they last about as long as the clip.
    int64_t first = INT64_MAX, last = 0;
    for (const Final& final : finals) {
      if (final.source != source) continue;
      EXPECT_EQ(final.speaker, source == 0 ? "You" : "Meeting");
      EXPECT_EQ(final.id, "native-" + std::to_string(source) + "-" + std::to_string(final.startMs));
      EXPECT_LE(final.startMs, final.endMs);
      first = std::min(first, final.startMs);
      last = std::max(last, final.endMs);
    }
    EXPECT_GE(first, 500);
    EXPECT_LE(last, 12000);
    EXPECT_NEAR(static_cast<double>(last - first), static_cast<double>(speechMs), 1500.0);
  }

  // The other formats hold the same utterances in the same order.
  std::string srt, vtt = "WEBVTT\n\n", txt;
  for (std::size_t i = 0; i < finals.size(); ++i) {
    const Final& f = finals[i];
    if (i > 0) {
      EXPECT_LE(finals[i - 1].startMs, f.startMs) << "in time order";
    }
    const std::string number = std::to_string(i + 1) + "\n";
    srt += number + srtTime(f.startMs) + " --> " + srtTime(f.endMs) + "\n" + f.speaker + ": " + f.text + "\n\n";
    vtt += number + tools::vttTime(f.startMs) + " --> " + tools::vttTime(f.endMs) + "\n<v " + f.speaker + ">" + f.text +
           "\n\n";
  }
  EXPECT_EQ(readAll(out / "x.srt"), srt);
  EXPECT_EQ(readAll(out / "x.vtt"), vtt);
  txt = readAll(out / "x.txt");
  EXPECT_EQ(lineCount(txt), finals.size()) << txt;
  EXPECT_EQ(lineCount(tool->out()), finals.size()) << tool->out();
  EXPECT_EQ(tool->out().find("(not final)"), std::string::npos) << tool->out();
}

TEST_F(LiveTranscription, CtrlCMidUtteranceFinishesTheLastWordsAndTheFiles) {
  // The meeting says a short sentence; the microphone a long one that is
  // still going when the meeting's final shows, and Ctrl-C comes.
  const std::string meeting = paddedClip(folder_, "0880", 1.0, 0.5);
  const std::string mic = paddedClip(folder_, "0870", 2.0, 0.5);
  const fs::path out = folder_.path();
  auto tool = start({"-o", (out / "x.json").string(), "-o", (out / "x.txt").string()});
  ASSERT_TRUE(tool->waitForError("recording ", 30s)) << tool->err();
  auto playMeeting = server_->play("speakers", meeting);
  auto playMic = server_->play("mic_feed", mic);
  ASSERT_TRUE(tool->waitFor([](const std::string& o, const std::string&) { return o.find("] Meeting: ") != std::string::npos; },
                            30s))
      << tool->err();
  tool->signalGroup(SIGINT);  // as a terminal does: the tool's whole group
  EXPECT_EQ(tool->finish(60s), 0) << tool->err();
  EXPECT_NE(tool->err().find("stopping"), std::string::npos) << tool->err();
  EXPECT_EQ(tool->err().find("incomplete"), std::string::npos) << tool->err();
  EXPECT_EQ(tool->out().find("(not final)"), std::string::npos) << tool->out();

  const std::vector<Final> finals = readJson(out / "x.json");
  const std::vector<std::string> spoken = wordsOf(finals, 0);
  const std::vector<std::string> reference = referenceWords("0870");
  // The microphone's words up to Ctrl-C came out final: some, not all.
  EXPECT_GE(spoken.size(), 2u) << tool->out();
  EXPECT_LT(spoken.size(), reference.size() - 4) << tool->out();
  EXPECT_EQ(lineCount(readAll(out / "x.txt")), finals.size());
  EXPECT_EQ(lineCount(tool->out()), finals.size()) << tool->out();
  EXPECT_FALSE(wordsOf(finals, 1).empty()) << "the meeting's sentence is kept";
}

TEST_F(LiveTranscription, AMicrophoneThatGoesAwayEndsTheRunKeepingWhatWasSaid) {
  const std::string meeting = paddedClip(folder_, "0880", 1.0, 0.5);
  const fs::path out = folder_.path();
  auto tool = start({"-o", (out / "x.json").string()});
  ASSERT_TRUE(tool->waitForError("recording ", 30s)) << tool->err();
  auto playMeeting = server_->play("speakers", meeting);
  ASSERT_TRUE(tool->waitFor([](const std::string& o, const std::string&) { return o.find("] Meeting: ") != std::string::npos; },
                            30s))
      << tool->err();
  std::string said;
  ASSERT_EQ(server_->run({"pactl", "unload-module", "module-remap-source"}, &said), 0) << said;
  EXPECT_EQ(tool->finish(60s), 2) << tool->err();
  EXPECT_NE(tool->err().find("the microphone 'mic' went away"), std::string::npos) << tool->err();
  EXPECT_FALSE(wordsOf(readJson(out / "x.json"), 1).empty()) << "the meeting's sentence is kept";
}

TEST_F(LiveTranscription, AMicrophoneThatStopsDeliveringEndsTheRun) {
  const fs::path out = folder_.path();
  auto tool = start({"-o", (out / "x.json").string()});
  ASSERT_TRUE(tool->waitForError("recording ", 30s)) << tool->err();
  std::string said;
  ASSERT_EQ(server_->run({"pactl", "suspend-source", "mic", "1"}, &said), 0) << said;
  EXPECT_EQ(tool->finish(60s), 2) << tool->err();
  // 3 s once it has delivered, 5 s when the suspension came before its first audio.
  EXPECT_NE(tool->err().find("the microphone 'mic' delivered no audio for "), std::string::npos) << tool->err();
  EXPECT_EQ(readAll(out / "x.json"), "[]\n");
}

TEST_F(LiveTranscription, EchoCancellationIsAskedForWhenBothSourcesAreLive) {
  // A helper that says on standard error how it was started, then serves
  // the stream with no transcript.
  const std::string helper = folder_.file("helper");
  std::ofstream(helper) << "#!/bin/sh\n"
                           "echo \"started with: $*\" >&2\n"
                           "echo '{\"type\":\"stream.ready\",\"locale\":\"en_US\"}'\n"
                           "while IFS= read -r line; do\n"
                           "  case \"$line\" in *'\"finish\"'*) echo '{\"type\":\"stream.finished\"}'; exit 0;; esac\n"
                           "done\n";
  fs::permissions(helper, fs::perms::owner_all);
  struct Case {
    std::vector<std::string> args;
    std::string startedWith;
  };
  const std::vector<Case> cases = {
      {{}, "--locale en_US --sources 0,1 --echo-cancellation on\n"},
      {{"--no-echo-cancellation"}, "--locale en_US --sources 0,1 --echo-cancellation off\n"},
      {{"--sources", "1"}, "--locale en_US --sources 1\n"},
      {{"--sources", "0", "--locale", "en"}, "--locale en --sources 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.startedWith);
    std::vector<std::string> argv{VESKAR_TRANSCRIBE_BINARY, "--helper", helper, "--live", "--seconds", "0.5"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess tool(argv, server_->clientEnvironment());
    EXPECT_EQ(tool.finish(30s), 0) << tool.err();
    EXPECT_NE(tool.err().find("helper: started with: " + c.startedWith), std::string::npos) << tool.err();
    EXPECT_NE(tool.err().find("audio:        0.5 s"), std::string::npos) << tool.err();
  }
}

TEST_F(LiveTranscription, UnknownDevicesAreNamedAndTheKnownOnesListed) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--mic", "headset"}, "no microphone named 'headset'"},
      {{"--meeting", "hdmi"}, "no output or input named 'hdmi'"},
      {{"--mic", "speakers"}, "'speakers' is an output, not a microphone"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    auto tool = start(c.args);
    EXPECT_EQ(tool->finish(30s), 2) << tool->err();
    EXPECT_NE(tool->err().find(c.message), std::string::npos) << tool->err();
    EXPECT_NE(tool->err().find("--list-devices"), std::string::npos) << tool->err();
  }
  ChildProcess list({VESKAR_TRANSCRIBE_BINARY, "--list-devices"}, server_->clientEnvironment());
  EXPECT_EQ(list.finish(30s), 0) << list.err();
  for (const char* line : {"  * mic\n        Microphone\n", "  * speakers\n        Speakers\n", "    mic_feed\n",
                           "    speakers.monitor\n"}) {
    EXPECT_NE(list.out().find(line), std::string::npos) << line << "\n" << list.out();
  }
}

TEST(LiveTranscriptionWithoutServer, NoSoundServerIsAClearErrorAndNoFile) {
  TempFolder folder;
  const std::string server = "unix:" + folder.file("nothing-here");
  const std::map<std::string, std::string> environment{{"PULSE_SERVER", server}, {"HOME", folder.path().string()}};
  for (const std::vector<std::string>& args :
       {transcribeLive({"-o", folder.file("x.txt")}), std::vector<std::string>{VESKAR_TRANSCRIBE_BINARY, "--list-devices"}}) {
    SCOPED_TRACE(args.back());
    ChildProcess tool(args, environment);
    EXPECT_EQ(tool.finish(30s), 2);
    EXPECT_NE(tool.err().find("cannot connect to the sound server at " + server + ": Connection refused"),
              std::string::npos)
        << tool.err();
    EXPECT_EQ(tool.out(), "");
  }
  EXPECT_FALSE(fs::exists(folder.file("x.txt"))) << "nothing transcribed, no file";
}

}  // namespace
}  // namespace veskar::testing
