// The helper over PocketSphinx as the host sees it: the real binary on read
// speech, and the Coordinator over a missing or damaged model, in wire form.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "coordination/coordinator.h"
#include "protocol/input_decoder.h"
#include "support/captured_pipe.h"
#include "support/output_lines.h"
#include "support/process_runner.h"
#include "support/speech_corpus.h"
#include "support/temp_folder.h"
#include "support/word_error_rate.h"
#include "support/wire.h"
#include "engines/pocketsphinx/model_files.h"
#include "engines/pocketsphinx/pocketsphinx_engine.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;

bool speechInstalled() {
  return PocketSphinxLibrary::load() != nullptr &&
         !findMissingModelFile(PocketSphinxEngine::defaultModelDirectory()).has_value() && !testing::clips().empty();
}

struct Transcript {
  std::map<int64_t, std::vector<std::string>> finalWords;  // per source
  std::map<int64_t, int64_t> firstStart;                   // per source
};

// Checks every upsert between "stream.ready" and "stream.finished": ids,
// rising revisions, readable non-empty text, and that every utterance shown
// ends with a final and nothing after it.
Transcript checkedTranscript(const std::vector<std::string>& lines) {
  Transcript transcript;
  std::map<std::string, std::vector<OutputEvent>> byId;
  const std::vector<std::string> between(lines.begin() + 1, lines.end() - 1);
  const std::vector<OutputEvent> upserts = testing::upsertsOf(between);
  EXPECT_EQ(upserts.size(), between.size()) << "only upserts between ready and finished";
  for (const OutputEvent& upsert : upserts) {
    const int64_t source = upsert.source_id.value_or(-1);
    const int64_t startMs = upsert.start_ms.value_or(-1);
    const std::string text = upsert.text.value_or("");
    const bool isFinal = upsert.is_final.value_or(false);
    SCOPED_TRACE(upsert.utterance_id.value_or("") + " " + text);
    EXPECT_EQ(upsert.speaker, source == 0 ? "user" : "meeting");
    EXPECT_EQ(upsert.utterance_id, "native-" + std::to_string(source) + "-" + std::to_string(startMs));
    EXPECT_GE(upsert.end_ms.value_or(-1), startMs);
    EXPECT_FALSE(text.empty());
    if (text.empty()) continue;
    if (std::isalpha(static_cast<unsigned char>(text.front()))) {
      EXPECT_TRUE(std::isupper(static_cast<unsigned char>(text.front()))) << "starts with a capital";
    }
    EXPECT_EQ(isFinal, text.back() == '.') << "finals, and only they, end with a full stop";
    std::vector<OutputEvent>& revisions = byId[upsert.utterance_id.value_or("")];
    EXPECT_EQ(upsert.revision, revisions.empty() ? 1 : *revisions.back().revision + 1) << "revisions rise by one";
    if (!revisions.empty()) {
      EXPECT_FALSE(*revisions.back().is_final) << "nothing after the final";
    }
    revisions.push_back(upsert);
    if (!transcript.firstStart.count(source)) transcript.firstStart[source] = startMs;
    if (isFinal) {
      for (const std::string& word : testing::wordsOf(text)) transcript.finalWords[source].push_back(word);
    }
  }
  for (const auto& [id, revisions] : byId) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(revisions.back().is_final.value_or(false)) << "every utterance shown ends final before stream.finished";
  }
  return transcript;
}

TEST(HelperOnSpeech, TwoSourcesOfReadSpeechBecomeRevisedThenFinalUtterances) {
  if (!speechInstalled()) GTEST_SKIP() << "PocketSphinx, its en-us model or the LibriVox clips are not installed";
  const std::map<int64_t, std::string> clipOf = {{0, "0870"}, {1, "0890"}};
  // One second of silence before and after each clip; 100 ms lines, the two
  // sources interleaved, well within what the queue holds.
  std::map<int64_t, std::string> pcm;
  for (const auto& [source, id] : clipOf) {
    pcm[source] = std::string(32000, '\0') + testing::pcmBytes(testing::clip(id).samples) + std::string(32000, '\0');
    ASSERT_GT(pcm[source].size(), 64000u);
  }
  std::string input;
  for (std::size_t at = 0; at < std::max(pcm[0].size(), pcm[1].size()); at += 3200) {
    for (int64_t source : {0, 1}) {
      if (at < pcm[source].size()) input += testing::audioLine(source, pcm[source].substr(at, 3200));
    }
  }
  input += "{\"type\":\"finish\"}\n";

  const testing::ProcessResult result =
      testing::runProcess({VESKAR_HELPER_BINARY, "--locale", "en_US", "--sources", "0,1"}, input);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> lines = result.outLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(), R"({"type":"stream.ready","locale":"en_US"})");
  EXPECT_EQ(lines.back(), R"({"type":"stream.finished"})");

  const Transcript transcript = checkedTranscript(lines);
  const auto& finalWords = transcript.finalWords;
  const auto& firstStart = transcript.firstStart;
  for (const auto& [source, id] : clipOf) {
    SCOPED_TRACE(source);
    ASSERT_TRUE(firstStart.count(source)) << "no transcript for the source";
    const int64_t clipEndMs = 1000 + static_cast<int64_t>(pcm[source].size() / 32) - 2000;
    EXPECT_GE(firstStart.at(source), 700) << "starts in the leading silence";
    EXPECT_LT(firstStart.at(source), clipEndMs);
    EXPECT_LT(testing::wordErrorRate(testing::clip(id).words, finalWords.at(source)), 0.6);
  }
}

// Noise under speech, and music and clicks with no speech at all: what the
// decoder guesses there comes and goes, and every utterance shown must
// still end final, with words, before the stream ends.
TEST(HelperOnSpeech, EveryUtteranceShownOnNoisyAudioEndsFinal) {
  if (!speechInstalled()) GTEST_SKIP() << "PocketSphinx, its en-us model or the LibriVox clips are not installed";
  // Source 0: a clip in white noise about 10 dB under it. Source 1: 12 s of
  // chords that change every half second, with clicks.
  std::vector<int16_t> speech(16000, 0);
  const std::vector<int16_t>& clip = testing::clip("0880").samples;
  speech.insert(speech.end(), clip.begin(), clip.end());
  speech.resize(speech.size() + 16000, 0);
  uint32_t random = 12345;
  auto noise = [&] {
    random = random * 1664525u + 1013904223u;
    return static_cast<int>(random >> 16) % 2001 - 1000;
  };
  for (int16_t& sample : speech) sample = static_cast<int16_t>(std::clamp(sample + noise(), -32768, 32767));
  std::vector<int16_t> music(16000 * 12);
  const double chords[4][3] = {{220, 277, 330}, {196, 247, 294}, {175, 220, 262}, {165, 208, 247}};
  for (std::size_t i = 0; i < music.size(); ++i) {
    const double t = static_cast<double>(i) / 16000;
    double value = 0;
    for (double f : chords[(i / 8000) % 4]) value += 2500 * std::sin(2 * M_PI * f * t) * std::exp(-3 * std::fmod(t, 0.5));
    if (i % 2800 < 40) value += noise() * 8;
    music[i] = static_cast<int16_t>(std::clamp(value, -32768.0, 32767.0));
  }
  const std::string speechBytes = testing::pcmBytes(speech);
  const std::string musicBytes = testing::pcmBytes(music);
  std::string input;
  for (std::size_t at = 0; at < std::max(speechBytes.size(), musicBytes.size()); at += 3200) {
    if (at < speechBytes.size()) input += testing::audioLine(0, speechBytes.substr(at, 3200));
    if (at < musicBytes.size()) input += testing::audioLine(1, musicBytes.substr(at, 3200));
  }
  input += "{\"type\":\"finish\"}\n";

  const testing::ProcessResult result =
      testing::runProcess({VESKAR_HELPER_BINARY, "--locale", "en_US", "--sources", "0,1"}, input);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> lines = result.outLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), R"({"type":"stream.ready","locale":"en_US"})");
  EXPECT_EQ(lines.back(), R"({"type":"stream.finished"})");
  const Transcript transcript = checkedTranscript(lines);
  EXPECT_TRUE(transcript.finalWords.count(0)) << "the speech in noise is transcribed";
}

// A Coordinator over the real engine with its model folder replaced.
std::vector<std::string> startOverModel(const fs::path& folder, std::string& failure) {
  testing::CapturedPipe pipe;
  {
    OutputSink sink(pipe.writeFd(), OutputSink::OnClosed::discard);
    PocketSphinxEngine engine(PocketSphinxLibrary::load(), folder.string());
    Coordinator coordinator(engine, sink);
    try {
      coordinator.start(Locale{"en-US"}, {0});
      coordinator.consume(InputEvent{"finish", {}, {}, {}, {}});
    } catch (const std::exception& error) {
      failure = error.what();
    }
  }
  return testing::splitLines(pipe.finish());
}

TEST(HelperOnSpeech, AMissingModelIsAnnouncedThenCannotBeInstalled) {
  if (PocketSphinxLibrary::load() == nullptr) GTEST_SKIP() << "PocketSphinx is not installed";
  const testing::TempFolder folder;
  std::string failure;
  const auto lines = startOverModel(folder.path(), failure);
  EXPECT_EQ(lines, std::vector<std::string>{
                       R"({"type":"stream.status","locale":"en_US","code":"model_downloading","message":"Installing the on-device speech model"})"});
  EXPECT_EQ(failure, "The speech model could not be installed");
}

TEST(HelperOnSpeech, ADamagedModelFailsTheStartWithTheEnginesReason) {
  if (!speechInstalled()) GTEST_SKIP() << "PocketSphinx or its en-us model is not installed";
  const testing::TempFolder temp;
  const fs::path folder = temp.path() / "model";
  fs::copy(PocketSphinxEngine::defaultModelDirectory(), folder, fs::copy_options::recursive);
  std::ofstream(folder / "en-us" / "mdef", std::ios::trunc) << "this is not a model definition\n";
  std::string failure;
  const auto lines = startOverModel(folder, failure);
  EXPECT_EQ(lines, std::vector<std::string>{}) << "no stream.ready";
  EXPECT_NE(failure.find("could not load the speech model"), std::string::npos) << failure;
  EXPECT_NE(failure.find("mdef"), std::string::npos) << failure;
}

}  // namespace
}  // namespace veskar
