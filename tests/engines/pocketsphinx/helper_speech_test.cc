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
#include <set>
#include <sstream>
#include <chrono>
#include <algorithm>

#include "coordination/coordinator.h"
#include "protocol/input_decoder.h"
#include "support/captured_pipe.h"
#include "support/output_lines.h"
#include "support/process_runner.h"
#include "support/speech_corpus.h"
#include "support/synthetic_audio.h"
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

// Runs the real helper on both sources over `input`; checks that it ends
// well and that its lines open with "stream.ready" and close with
// "stream.finished", and returns them.
std::vector<std::string> runTwoSources(const std::string& input) {
  const testing::ProcessResult result =
      testing::runProcess({VESKAR_HELPER_BINARY, "--locale", "en_US", "--sources", "0,1"}, input);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> lines = result.outLines();
  if (lines.size() >= 2) {
    EXPECT_EQ(lines.front(), R"({"type":"stream.ready","locale":"en_US"})");
    EXPECT_EQ(lines.back(), R"({"type":"stream.finished"})");
  }
  return lines;
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
  const std::vector<std::string> lines = runTwoSources(testing::interleavedSession(pcm));
  ASSERT_GE(lines.size(), 3u);

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

// The samples of a LibriVox clip as floats.
std::vector<float> clipSamples(const std::string& id) {
  const std::vector<int16_t>& samples = testing::clip(id).samples;
  return std::vector<float>(samples.begin(), samples.end());
}

void place(std::vector<float>& track, const std::vector<float>& clip, double atSeconds) {
  const auto at = static_cast<std::size_t>(atSeconds * 16000);
  if (track.size() < at + clip.size()) track.resize(at + clip.size(), 0.0f);
  for (std::size_t i = 0; i < clip.size(); ++i) track[at + i] += clip[i];
}

struct HelperRun {
  std::vector<std::string> sourceLines[2];
  std::vector<std::string> finalWords[2];  // of finals from checkedFromMs on
};

HelperRun runOnTwoSources(const std::vector<int16_t>& microphone, const std::vector<int16_t>& meeting,
                          const std::vector<std::string>& extraArguments, int64_t checkedFromMs) {
  std::string input;
  for (std::size_t at = 0; at < std::max(microphone.size(), meeting.size()); at += 1600) {
    for (const auto* track : {&microphone, &meeting}) {
      if (at >= track->size()) continue;
      const std::vector<int16_t> part(track->begin() + static_cast<std::ptrdiff_t>(at),
                                      track->begin() + static_cast<std::ptrdiff_t>(std::min(at + 1600, track->size())));
      input += testing::audioLine(track == &microphone ? 0 : 1, testing::pcmBytes(part));
    }
  }
  input += "{\"type\":\"finish\"}\n";
  std::vector<std::string> argv{VESKAR_HELPER_BINARY, "--locale", "en_US", "--sources", "0,1"};
  argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
  testing::ProcessOptions options;
  options.timeout = std::chrono::minutes(5);
  const testing::ProcessResult result = testing::runProcess(argv, input, options);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  HelperRun run;
  for (const std::string& line : result.outLines()) {
    const std::optional<OutputEvent> upsert = testing::parseOutputLine(line);
    if (!upsert || upsert->type != "transcript.upsert") continue;
    const int64_t source = upsert->source_id.value_or(-1);
    if (source != 0 && source != 1) continue;
    run.sourceLines[source].push_back(line);
    if (!upsert->is_final.value_or(false) || upsert->start_ms.value_or(-1) < checkedFromMs) continue;
    std::istringstream words(upsert->text.value_or(""));
    std::string word;
    while (words >> word) run.finalWords[source].push_back(testing::comparableWord(word));
  }
  return run;
}

TEST(HelperOnSpeech, EchoCancellationKeepsTheMeetingOutOfTheMicrophone) {
  if (!speechInstalled()) GTEST_SKIP() << "PocketSphinx, its en-us model or the LibriVox clips are not installed";
  // The meeting reads three passages; the user answers in the pauses, and
  // the microphone also hears the meeting from the loudspeakers: a 150 ms
  // room, 100 ms late, 10 dB below the user. The canceller needs the first
  // second or two of the meeting's speech to find the echo, so only what
  // comes after the first passage is checked.
  std::vector<float> meeting;
  place(meeting, clipSamples("0890"), 1.0);  // while the canceller finds the echo
  place(meeting, clipSamples("0870"), 8.0);
  place(meeting, clipSamples("0920"), 21.0);
  meeting.resize(meeting.size() + 80000, 0.0f);
  std::vector<float> user(meeting.size(), 0.0f);
  place(user, clipSamples("0880"), 16.0);
  place(user, clipSamples("0930"), 28.0);
  user.resize(meeting.size());
  const auto noise = testing::noiseFloor(meeting.size(), 6, 20);  // about -64 dBFS
  const auto headphones = testing::toPcm(testing::mix(user, noise));
  const auto microphone = testing::toPcm(testing::mix(
      testing::mix(user, testing::echoOf(meeting, meeting.size(), 1600, 0.32, testing::roomResponse(2400, 5))), noise));
  const auto meetingPcm = testing::toPcm(meeting);

  std::vector<std::string> userWords = testing::clip("0880").words;
  for (const std::string& word : testing::clip("0930").words) userWords.push_back(word);
  std::multiset<std::string> meetingOnly;
  for (const char* id : {"0870", "0920"}) {  // 0890 overlaps "he was not" with the user
    for (const std::string& word : testing::clip(id).words) {
      // Short words ("a", "he") come up in any misheard speech.
      if (word.size() >= 4 && std::ranges::find(userWords, word) == userWords.end()) meetingOnly.insert(word);
    }
  }
  auto meetingWordsIn = [&](const std::vector<std::string>& words) {
    return std::ranges::count_if(words, [&](const std::string& word) { return meetingOnly.count(word) > 0; });
  };

  const HelperRun alone = runOnTwoSources(headphones, meetingPcm, {}, 7000);
  const HelperRun off = runOnTwoSources(microphone, meetingPcm, {}, 7000);
  const HelperRun on = runOnTwoSources(microphone, meetingPcm, {"--echo-cancellation", "on"}, 7000);
  const std::string heard = ::testing::PrintToString(on.finalWords[0]);
  // Without the canceller the meeting is transcribed again as the user's.
  EXPECT_GE(meetingWordsIn(off.finalWords[0]), 8);
  EXPECT_GT(testing::wordErrorRate(userWords, off.finalWords[0]), 1.5);
  // With it, hardly a word of the meeting's is left (the user's own speech,
  // misheard, may yield one), and the user's words come through (16 words:
  // one misheard phrase is 20 points).
  EXPECT_LE(meetingWordsIn(on.finalWords[0]), meetingWordsIn(alone.finalWords[0]) + 2) << heard;
  EXPECT_LE(testing::wordErrorRate(userWords, on.finalWords[0]),
            testing::wordErrorRate(userWords, alone.finalWords[0]) + 0.45)
      << heard;
  // The meeting's own transcript does not change.
  EXPECT_EQ(on.sourceLines[1], off.sourceLines[1]);
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
  const std::vector<std::string> lines =
      runTwoSources(testing::interleavedSession({{0, testing::pcmBytes(speech)}, {1, testing::pcmBytes(music)}}));
  ASSERT_GE(lines.size(), 2u);
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
