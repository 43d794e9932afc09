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
#include "support/process_runner.h"
#include "support/temp_folder.h"
#include "support/word_error_rate.h"
#include "support/wire.h"
#include "engines/pocketsphinx/model_files.h"
#include "engines/pocketsphinx/pocketsphinx_engine.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;

const fs::path kClips = "/usr/share/pocketsphinx/test/data/librivox";

bool speechInstalled() {
  return PocketSphinxLibrary::load() != nullptr &&
         !findMissingModelFile(PocketSphinxEngine::defaultModelDirectory()).has_value() &&
         fs::exists(kClips / "transcription");
}

// The samples of a 16 kHz mono 16-bit WAV file (its data chunk).
std::string wavSamples(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t at = 12;
  while (at + 8 <= bytes.size()) {
    const std::string id = bytes.substr(at, 4);
    uint32_t size;
    std::memcpy(&size, bytes.data() + at + 4, 4);
    if (id == "data") return bytes.substr(at + 8, size);
    at += 8 + size + (size & 1);
  }
  return {};
}

std::vector<std::string> referenceWords(const std::string& id) {
  std::ifstream in(kClips / "transcription");
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("(sense_and_sensibility_01_austen_64kb-" + id + ")") == std::string::npos) continue;
    std::istringstream words(line.substr(0, line.rfind('(')));
    std::vector<std::string> out;
    std::string word;
    while (words >> word) {
      if (word != "<s>" && word != "</s>") out.push_back(word);
    }
    return out;
  }
  return {};
}


// The members of one output line that the checks need.
struct Upsert {
  int64_t source;
  std::string speaker, id, text;
  int64_t revision, startMs, endMs;
  bool isFinal;
};

std::optional<Upsert> parseUpsert(const std::string& line) {
  auto string = [&](const std::string& key) {
    const std::size_t at = line.find("\"" + key + "\":\"");
    if (at == std::string::npos) return std::string();
    const std::size_t start = at + key.size() + 4;
    return line.substr(start, line.find('"', start) - start);
  };
  auto number = [&](const std::string& key) {
    const std::size_t at = line.find("\"" + key + "\":");
    return at == std::string::npos ? INT64_MIN : std::stoll(line.substr(at + key.size() + 3));
  };
  if (line.rfind(R"({"type":"transcript.upsert")", 0) != 0) return std::nullopt;
  return Upsert{number("source_id"), string("speaker"),  string("utterance_id"), string("text"),
                number("revision"),  number("start_ms"), number("end_ms"),       line.find("\"is_final\":true") != std::string::npos};
}

struct Transcript {
  std::map<int64_t, std::vector<std::string>> finalWords;  // per source, lower case, no full stops
  std::map<int64_t, int64_t> firstStart;                   // per source
};

// Checks every upsert between "stream.ready" and "stream.finished": ids,
// rising revisions, readable non-empty text, and that every utterance shown
// ends with a final and nothing after it.
Transcript checkedTranscript(const std::vector<std::string>& lines) {
  Transcript transcript;
  std::map<std::string, std::vector<Upsert>> byId;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    const std::optional<Upsert> upsert = parseUpsert(lines[i]);
    EXPECT_TRUE(upsert.has_value()) << "only upserts between ready and finished";
    if (!upsert) continue;
    EXPECT_EQ(upsert->speaker, upsert->source == 0 ? "user" : "meeting");
    EXPECT_EQ(upsert->id, "native-" + std::to_string(upsert->source) + "-" + std::to_string(upsert->startMs));
    EXPECT_GE(upsert->endMs, upsert->startMs);
    EXPECT_FALSE(upsert->text.empty());
    if (!upsert->text.empty() && std::isalpha(static_cast<unsigned char>(upsert->text.front()))) {
      EXPECT_TRUE(std::isupper(static_cast<unsigned char>(upsert->text.front()))) << "starts with a capital";
    }
    EXPECT_EQ(upsert->isFinal, !upsert->text.empty() && upsert->text.back() == '.') << "finals, only they, end with a full stop";
    std::vector<Upsert>& revisions = byId[upsert->id];
    EXPECT_EQ(upsert->revision, revisions.empty() ? 1 : revisions.back().revision + 1) << "revisions rise by one";
    if (!revisions.empty()) {
      EXPECT_FALSE(revisions.back().isFinal) << "nothing after the final";
    }
    revisions.push_back(*upsert);
    if (!transcript.firstStart.count(upsert->source)) transcript.firstStart[upsert->source] = upsert->startMs;
    if (upsert->isFinal) {
      std::string text = upsert->text;
      for (char& c : text) c = (c == '.') ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::istringstream words(text);
      std::string word;
      while (words >> word) transcript.finalWords[upsert->source].push_back(word);
    }
  }
  for (const auto& [id, revisions] : byId) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(revisions.back().isFinal) << "every utterance shown ends final before stream.finished";
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
    pcm[source] = std::string(32000, '\0') + wavSamples(kClips / ("sense_and_sensibility_01_austen_64kb-" + id + ".wav")) +
                  std::string(32000, '\0');
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
    EXPECT_LT(testing::wordErrorRate(referenceWords(id), finalWords.at(source)), 0.6);
  }
}

// Noise under speech, and music and clicks with no speech at all: what the
// decoder guesses there comes and goes, and every utterance shown must
// still end final, with words, before the stream ends.
TEST(HelperOnSpeech, EveryUtteranceShownOnNoisyAudioEndsFinal) {
  if (!speechInstalled()) GTEST_SKIP() << "PocketSphinx, its en-us model or the LibriVox clips are not installed";
  // Source 0: a clip in white noise about 10 dB under it. Source 1: 12 s of
  // chords that change every half second, with clicks.
  std::string speech = std::string(32000, '\0') +
                       wavSamples(kClips / "sense_and_sensibility_01_austen_64kb-0880.wav") + std::string(32000, '\0');
  uint32_t random = 12345;
  auto noise = [&] {
    random = random * 1664525u + 1013904223u;
    return static_cast<int>(random >> 16) % 2001 - 1000;
  };
  for (std::size_t at = 0; at + 1 < speech.size(); at += 2) {
    int16_t sample;
    std::memcpy(&sample, speech.data() + at, 2);
    sample = static_cast<int16_t>(std::clamp(sample + noise(), -32768, 32767));
    std::memcpy(speech.data() + at, &sample, 2);
  }
  std::string music(2 * 16000 * 12, '\0');
  const double chords[4][3] = {{220, 277, 330}, {196, 247, 294}, {175, 220, 262}, {165, 208, 247}};
  for (std::size_t i = 0; i < music.size() / 2; ++i) {
    const double t = static_cast<double>(i) / 16000;
    const auto& chord = chords[(i / 8000) % 4];
    double value = 0;
    for (double f : chord) value += 2500 * std::sin(2 * M_PI * f * t) * std::exp(-3 * std::fmod(t, 0.5));
    if (i % 2800 < 40) value += noise() * 8;
    const auto sample = static_cast<int16_t>(std::clamp(value, -32768.0, 32767.0));
    std::memcpy(music.data() + 2 * i, &sample, 2);
  }
  std::string input;
  for (std::size_t at = 0; at < std::max(speech.size(), music.size()); at += 3200) {
    if (at < speech.size()) input += testing::audioLine(0, speech.substr(at, 3200));
    if (at < music.size()) input += testing::audioLine(1, music.substr(at, 3200));
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
