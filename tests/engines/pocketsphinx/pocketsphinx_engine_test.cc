// The PocketSphinx engine over the real libraries and the en-us model,
// decoding the LibriVox clips of pocketsphinx-testdata. Each fixture skips
// its tests when what it needs is not installed.
#include "engine/decoder_timeline.h"
#include "engines/pocketsphinx/hypothesis_text.h"
#include "engines/pocketsphinx/model_files.h"
#include "engines/pocketsphinx/pocketsphinx_engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <latch>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/engine_session.h"
#include "support/speech_corpus.h"
#include "support/temp_folder.h"
#include "support/word_error_rate.h"
#include "transcription/input_stream.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;
using testing::wordErrorRate;

using namespace testing;

std::shared_ptr<const PocketSphinxLibrary> sharedLibrary() {
  static const std::shared_ptr<const PocketSphinxLibrary> library = PocketSphinxLibrary::load();
  return library;
}


// The model files, relative to the model folder.
const std::vector<std::string>& modelFiles() {
  static const std::vector<std::string> files = {
      "en-us/mdef",      "en-us/means",   "en-us/variances", "en-us/transition_matrices", "en-us/feat.params",
      "en-us/noisedict", "en-us/sendump", "en-us.lm.bin",    "cmudict-en-us.dict"};
  return files;
}

const char kGarbage[] = "this is not a speech model file\n";

// The first `count` bytes of an installed model file.
std::string installedPrefix(const std::string& file, std::size_t count) {
  std::ifstream in(fs::path(PocketSphinxEngine::defaultModelDirectory()) / file, std::ios::binary);
  std::string bytes(count, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// A model folder of links to the installed model, with the files in
// `replaced` holding the text given instead and `missing` files left out.
void makeModelFolder(const fs::path& folder, const std::map<std::string, std::string>& replaced,
                     const std::vector<std::string>& missing = {}) {
  const fs::path installed = PocketSphinxEngine::defaultModelDirectory();
  fs::create_directories(folder / "en-us");
  for (const std::string& file : modelFiles()) {
    if (std::find(missing.begin(), missing.end(), file) != missing.end()) continue;
    if (auto replacement = replaced.find(file); replacement != replaced.end()) {
      std::ofstream(folder / file) << replacement->second;
    } else {
      fs::create_symlink(installed / file, folder / file);
    }
  }
}

// Redirects standard output and standard error to a file while alive.
class CapturedStandardStreams {
 public:
  explicit CapturedStandardStreams(const fs::path& file) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    savedOut_ = ::dup(STDOUT_FILENO);
    savedError_ = ::dup(STDERR_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~CapturedStandardStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut_, STDOUT_FILENO);
    ::dup2(savedError_, STDERR_FILENO);
    ::close(savedOut_);
    ::close(savedError_);
  }
  CapturedStandardStreams(const CapturedStandardStreams&) = delete;
  CapturedStandardStreams& operator=(const CapturedStandardStreams&) = delete;

 private:
  int savedOut_;
  int savedError_;
};

// ---- Fixtures

class PocketSphinxLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sharedLibrary()) GTEST_SKIP() << "the PocketSphinx libraries are not installed";
  }
  std::shared_ptr<SpeechTranscriber> newTranscriber(PocketSphinxEngine& engine) {
    return engine.makeTranscriber(PocketSphinxEngine::servedLocale(),
                                  TranscriptionPreset::timeIndexedProgressiveTranscription);
  }
};

class PocketSphinxModelTest : public PocketSphinxLibraryTest {
 protected:
  void SetUp() override {
    PocketSphinxLibraryTest::SetUp();
    if (IsSkipped()) return;
    if (findMissingModelFile(PocketSphinxEngine::defaultModelDirectory())) {
      GTEST_SKIP() << "the en-us speech model is not installed";
    }
  }
};

class PocketSphinxSpeechTest : public PocketSphinxModelTest {
 protected:
  void SetUp() override {
    PocketSphinxModelTest::SetUp();
    if (IsSkipped()) return;
    if (clips().empty()) GTEST_SKIP() << "the LibriVox clips of pocketsphinx-testdata are not installed";
  }
  PocketSphinxEngine engine_{sharedLibrary()};
};

class ForeignTranscriber final : public SpeechTranscriber {
 public:
  ResultSequence& results() override { return channel_; }

 private:
  ResultChannel channel_;
};

// ---- The engine's surface

TEST_F(PocketSphinxLibraryTest, OffersItsFormatAndNoInstaller) {
  PocketSphinxEngine engine(sharedLibrary());
  EXPECT_TRUE(engine.isAvailable());
  const Modules modules = {newTranscriber(engine)};
  EXPECT_EQ(engine.bestAvailableAudioFormat(modules), AudioFormat::make(SampleType::int16, 16000.0, 1, false));
  EXPECT_FALSE(engine.assetInstallationRequest(modules).has_value());
  EXPECT_TRUE(engine.reserve(PocketSphinxEngine::servedLocale()));
  // The results sequence is the transcriber's own channel.
  EXPECT_NE(dynamic_cast<ResultChannel*>(&modules.front()->results()), nullptr);
}

TEST_F(PocketSphinxLibraryTest, RefusesWhatItCannotServe) {
  PocketSphinxEngine engine(sharedLibrary());
  EXPECT_THROW(engine.makeTranscriber(Locale{"fr_FR"}, TranscriptionPreset::timeIndexedProgressiveTranscription),
               SpeechEngineError);
  EXPECT_NE(engine.makeTranscriber(Locale{"en-us"}, TranscriptionPreset::timeIndexedProgressiveTranscription), nullptr);

  const std::shared_ptr<SpeechTranscriber> foreign = std::make_shared<ForeignTranscriber>();
  EXPECT_THROW(engine.makeAnalyzer({foreign}, {}), SpeechEngineError);
  EXPECT_THROW(engine.makeAnalyzer({newTranscriber(engine), foreign}, {}), SpeechEngineError);
  EXPECT_EQ(engine.assetStatus({foreign}), AssetStatus::unsupported);
  EXPECT_THROW(engine.makeAnalyzer({}, {}), SpeechEngineError);

  // A transcriber serves one analyzer; one refused stays free.
  const auto transcriber = newTranscriber(engine);
  EXPECT_THROW(engine.makeAnalyzer({transcriber, foreign}, {}), SpeechEngineError);
  EXPECT_NE(engine.makeAnalyzer({transcriber}, {}), nullptr);
  EXPECT_THROW(engine.makeAnalyzer({transcriber}, {}), SpeechEngineError);
  const auto other = newTranscriber(engine);
  EXPECT_THROW(engine.makeAnalyzer({other, other}, {}), SpeechEngineError);

  PocketSphinxEngine withoutLibrary(nullptr);
  EXPECT_FALSE(withoutLibrary.isAvailable());
  EXPECT_THROW(withoutLibrary.makeAnalyzer({newTranscriber(withoutLibrary)}, {}), SpeechEngineError);
}

TEST_F(PocketSphinxLibraryTest, PrepareRejectsEveryFormatButItsOwn) {
  PocketSphinxEngine engine(sharedLibrary());
  struct FormatCase {
    const char* name;
    AudioFormat format;
    const char* named;  // in the description
  };
  const FormatCase cases[] = {
      {"float samples", *AudioFormat::make(SampleType::float32, 16000, 1, false), "float32"},
      {"44.1 kHz", *AudioFormat::make(SampleType::int16, 44100, 1, false), "44100"},
      {"8 kHz", *AudioFormat::make(SampleType::int16, 8000, 1, false), "8000"},
      {"stereo", *AudioFormat::make(SampleType::int16, 16000, 2, false), "2 channels"},
      {"interleaved", *AudioFormat::make(SampleType::int16, 16000, 1, true), ", interleaved"},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto analyzer = engine.makeAnalyzer({newTranscriber(engine)}, {});
    try {
      analyzer->prepareToAnalyze(c.format);
      ADD_FAILURE() << "the format was taken";
    } catch (const SpeechEngineError& error) {
      EXPECT_NE(std::string(error.what()).find(c.named), std::string::npos) << error.what();
    }
  }
}

// ---- The model's files

TEST_F(PocketSphinxModelTest, TheInstalledModelIsInstalled) {
  PocketSphinxEngine engine(sharedLibrary());
  auto transcriber = newTranscriber(engine);
  EXPECT_EQ(engine.assetStatus({transcriber}), AssetStatus::installed);
  EXPECT_EQ(engine.assetStatus({}), AssetStatus::installed);
  auto analyzer = engine.makeAnalyzer({transcriber}, {});
  EXPECT_NO_THROW(analyzer->prepareToAnalyze(*engine.bestAvailableAudioFormat({transcriber})));
}

TEST_F(PocketSphinxModelTest, AnIncompleteModelIsSupportedButNotInstalled) {
  struct MissingCase {
    const char* name;
    std::vector<std::string> missing;
    std::string named;  // in the description
  };
  std::vector<MissingCase> cases = {{"an empty folder", modelFiles(), "en-us"}};
  for (const std::string& file : modelFiles()) cases.push_back({file.c_str(), {file}, file});
  for (const MissingCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    // The empty folder has nothing at all, not even the acoustic model folder.
    if (c.missing.size() != modelFiles().size()) makeModelFolder(folder.path(), {}, c.missing);
    PocketSphinxEngine engine(sharedLibrary(), folder.path().string());
    auto transcriber = newTranscriber(engine);
    EXPECT_EQ(engine.assetStatus({transcriber}), AssetStatus::supported);
    const std::optional<std::string> missing = findMissingModelFile(folder.path().string());
    ASSERT_TRUE(missing.has_value());
    EXPECT_NE(missing->find((folder.path() / c.named).string()), std::string::npos) << *missing;

    auto analyzer = engine.makeAnalyzer({transcriber}, {});
    try {
      analyzer->prepareToAnalyze(*engine.bestAvailableAudioFormat({transcriber}));
      ADD_FAILURE() << "an incomplete model was loaded";
    } catch (const SpeechEngineError& error) {
      EXPECT_NE(std::string(error.what()).find(*missing), std::string::npos) << error.what();
    }
  }
}

TEST_F(PocketSphinxModelTest, ADamagedModelFailsToLoadWithTheReason) {
  std::map<std::string, std::string> everyFile;
  for (const std::string& file : modelFiles()) everyFile[file] = kGarbage;
  struct DamageCase {
    const char* name;
    std::map<std::string, std::string> replaced;
    std::string named;  // the file the description names, if any
  };
  const DamageCase cases[] = {
      // Files the library would answer by ending the process; the engine
      // finds them damaged first.
      {"mdef", {{"en-us/mdef", kGarbage}}, "en-us/mdef"},
      {"means", {{"en-us/means", kGarbage}}, "en-us/means"},
      {"variances", {{"en-us/variances", kGarbage}}, "en-us/variances"},
      {"transition_matrices", {{"en-us/transition_matrices", kGarbage}}, "en-us/transition_matrices"},
      {"sendump", {{"en-us/sendump", kGarbage}}, "en-us/sendump"},
      {"every file", everyFile, "en-us/mdef"},
      // Damage past the first bytes, which the library answers by ending
      // the process: its fatal error arrives as an exception instead.
      {"a text mdef of garbage", {{"en-us/mdef", std::string("0.3\n") + kGarbage}}, ""},
      {"truncated transition matrices",
       {{"en-us/transition_matrices", installedPrefix("en-us/transition_matrices", 100)}},
       ""},
      // Damage the library reports.
      {"means with a broken header", {{"en-us/means", std::string("s3\n") + kGarbage}}, ""},
      // The library refuses these itself.
      {"feat.params", {{"en-us/feat.params", kGarbage}}, ""},
      {"language model", {{"en-us.lm.bin", kGarbage}}, ""},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    makeModelFolder(folder.path(), c.replaced);
    PocketSphinxEngine engine(sharedLibrary(), folder.path().string());
    auto transcriber = newTranscriber(engine);
    // Every file is there: the damage shows only on loading.
    EXPECT_EQ(engine.assetStatus({transcriber}), AssetStatus::installed);
    auto analyzer = engine.makeAnalyzer({transcriber}, {});
    try {
      analyzer->prepareToAnalyze(*engine.bestAvailableAudioFormat({transcriber}));
      ADD_FAILURE() << "a damaged model was loaded";
    } catch (const SpeechEngineError& error) {
      const std::string what = error.what();
      EXPECT_NE(what.find("could not load the speech model from " + folder.path().string() + ": "), std::string::npos)
          << what;
      if (!c.named.empty()) {
        EXPECT_NE(what.find((folder.path() / c.named).string()), std::string::npos) << what;
      }
    }
  }
}

// ---- The analysis protocol

TEST_F(PocketSphinxModelTest, AFailedPrepareStillEndsTheResults) {
  TempFolder folder;
  PocketSphinxEngine engine(sharedLibrary(), folder.path().string());
  auto transcriber = newTranscriber(engine);
  auto analyzer = engine.makeAnalyzer({transcriber}, {});
  EXPECT_THROW(analyzer->prepareToAnalyze(*engine.bestAvailableAudioFormat({transcriber})), SpeechEngineError);
  auto stream = std::make_shared<AnalyzerInputStream>();
  stream->finish();
  // Whether or not the pipeline still starts the analysis.
  std::thread finalizer([&] { analyzer->finalizeAndFinishThroughEndOfInput(); });
  EXPECT_EQ(transcriber->results().next(), std::nullopt);
  finalizer.join();
  EXPECT_THROW(analyzer->start(stream), SpeechEngineError);
}

TEST_F(PocketSphinxModelTest, FailingAnalysisThrowsAndStillEndsTheResults) {
  PocketSphinxEngine engine(sharedLibrary());
  // A buffer the analysis cannot take: float samples.
  std::shared_ptr<PcmBuffer> floats = PcmBuffer::make(*AudioFormat::make(SampleType::float32, 16000, 1, false), 320);
  floats->setFrameLength(320);
  std::vector<AnalyzerInput> inputs = paddedClips({}).inputs();
  inputs.push_back(AnalyzerInput{floats, MediaTime::make(16000, 16000)});
  const Outcome outcome = analyse(engine, PocketSphinxEngine::servedLocale(), inputs);
  EXPECT_NE(outcome.startError.find("float32"), std::string::npos) << outcome.startError;
  EXPECT_EQ(outcome.finalizeError, "");
  EXPECT_TRUE(outcome.results.empty());
}

TEST_F(PocketSphinxModelTest, NothingReachesStandardOutputOrError) {
  TempFolder folder;
  // Models that make the library log errors, and a fatal one.
  makeModelFolder(folder.path() / "fatal", {{"en-us/mdef", std::string("0.3\n") + kGarbage}});
  makeModelFolder(folder.path() / "unloadable", {{"en-us.lm.bin", kGarbage}});
  const fs::path captured = folder.path() / "captured";
  std::vector<std::string> errors;
  {
    CapturedStandardStreams capture(captured);
    for (const char* model : {"fatal", "unloadable"}) {
      PocketSphinxEngine engine(sharedLibrary(), (folder.path() / model).string());
      auto transcriber = newTranscriber(engine);
      auto analyzer = engine.makeAnalyzer({transcriber}, {});
      try {
        analyzer->prepareToAnalyze(*engine.bestAvailableAudioFormat({transcriber}));
      } catch (const SpeechEngineError& error) {
        errors.push_back(error.what());
      }
    }
    // A whole session over a clip of noise-like audio and silence.
    Plan plan;
    plan.silence(0.5);
    Clip noise;
    noise.samples.resize(samples(1.5));
    uint32_t state = 12345;
    for (int16_t& sample : noise.samples) {
      state = state * 1103515245u + 12345u;
      sample = static_cast<int16_t>(static_cast<int32_t>(state >> 16) % 8000 - 4000);
    }
    plan.speech(noise);
    plan.silence(1.0);
    PocketSphinxEngine engine(sharedLibrary());
    const Outcome outcome = analyse(engine, PocketSphinxEngine::servedLocale(), plan.inputs());
    if (!outcome.startError.empty()) errors.push_back(outcome.startError);
  }
  std::ifstream file(captured);
  const std::string written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, "") << "the engine wrote to a standard stream";
  EXPECT_EQ(errors.size(), 2u) << "the two damaged models, and no failure of the session";
}

TEST_F(PocketSphinxSpeechTest, FinalizeCalledBeforeTheAnalysisStartsWaitsForIt) {
  const std::vector<AnalyzerInput> inputs = paddedClips({"0880"}).inputs();
  const std::vector<TranscriptionResult> expected = transcribe(engine_, PocketSphinxEngine::servedLocale(), inputs);
  ASSERT_FALSE(expected.empty());

  auto transcriber = newTranscriber(engine_);
  auto analyzer = engine_.makeAnalyzer({transcriber}, {});
  analyzer->prepareToAnalyze(*engine_.bestAvailableAudioFormat({transcriber}));
  auto stream = std::make_shared<AnalyzerInputStream>(inputs.size() + 1);
  for (const AnalyzerInput& input : inputs) stream->yield(input);
  stream->finish();

  std::latch finalizing(1);
  bool finishedWhenFinalizeReturned = false;
  std::size_t inputsLeftWhenFinalizeReturned = 0;
  std::thread finalizer([&] {
    finalizing.count_down();
    analyzer->finalizeAndFinishThroughEndOfInput();
    finishedWhenFinalizeReturned = dynamic_cast<ResultChannel&>(transcriber->results()).isFinished();
    inputsLeftWhenFinalizeReturned = stream->waitingCount();
  });
  finalizing.wait();
  std::string startError;
  std::thread analysis([&] {
    try {
      analyzer->start(stream);
    } catch (const std::exception& error) {
      startError = error.what();
    }
  });
  std::vector<TranscriptionResult> results;
  while (std::optional<TranscriptionResult> result = transcriber->results().next()) results.push_back(*result);
  finalizer.join();
  analysis.join();
  EXPECT_EQ(startError, "");
  EXPECT_TRUE(finishedWhenFinalizeReturned);
  EXPECT_EQ(inputsLeftWhenFinalizeReturned, 0u);
  EXPECT_EQ(keysOf(results), keysOf(expected)) << "finalize returned before the analysis was over";
}

// ---- Speech

TEST_F(PocketSphinxSpeechTest, TranscribesReadSpeechIntoRevisedThenFinalUtterances) {
  const Plan plan = paddedClips({"0870", "0880", "0890", "0920", "0930"});
  const std::vector<TranscriptionResult> results = transcribe(engine_, PocketSphinxEngine::servedLocale(), plan.inputs());
  const std::vector<Utterance> utterances = expectUtterancesWithinClips(results, plan);
  EXPECT_GT(results.size(), utterances.size()) << "no non-final results";
  // About 0.30 on these clips with this model and these settings.
  const double wer = wordErrorRate(plan.referenceWords(), finalWords(utterances));
  RecordProperty("word_error_rate", std::to_string(wer));
  EXPECT_LT(wer, 0.45);
}

TEST_F(PocketSphinxSpeechTest, RangesFollowTheStartTimesOfTheInputs) {
  // The same audio with its inputs stamped differently decodes the same;
  // only the ranges move with the timeline.
  const std::vector<std::string> ids = {"0880", "0930"};
  const std::vector<TranscriptionResult> baseline = transcribe(engine_, PocketSphinxEngine::servedLocale(), paddedClips(ids).inputs());
  const std::vector<Utterance> baseUtterances = expectUtterancesWithinClips(baseline, paddedClips(ids));
  ASSERT_GE(baseUtterances.size(), 2u);
  const int64_t firstClipEnd = paddedClips(ids).spans()[0].end;

  struct JumpCase {
    const char* name;
    int64_t at;  // decoder sample, on a whole input
    int64_t by;
    int32_t timescale;
  };
  const int64_t insideFirst = (paddedClips(ids).spans()[0].start + samples(1.5)) / kInputSamples * kInputSamples;
  const int64_t betweenClips = (firstClipEnd + samples(0.7)) / kInputSamples * kInputSamples;
  const JumpCase cases[] = {
      {"inputs dropped between the clips", betweenClips, samples(10.0), 16000},
      {"inputs dropped inside the first utterance, start times at 48 kHz", insideFirst, samples(3.0), 48000},
  };
  for (const JumpCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<AnalyzerInput> inputs = paddedClips(ids).inputs(c.timescale);
    for (AnalyzerInput& input : inputs) {
      const int64_t decoderSample = input.bufferStartTime.value * kRate / c.timescale;
      if (decoderSample >= c.at) input.bufferStartTime.value += c.by * c.timescale / kRate;
    }
    const std::vector<TranscriptionResult> results = transcribe(engine_, PocketSphinxEngine::servedLocale(), inputs);
    ASSERT_EQ(results.size(), baseline.size());
    bool movedStart = false;
    bool movedEndOnly = false;
    for (std::size_t i = 0; i < results.size(); ++i) {
      SCOPED_TRACE(describe(baseline[i]));
      EXPECT_EQ(results[i].text, baseline[i].text);
      EXPECT_EQ(results[i].isFinal, baseline[i].isFinal);
      EXPECT_EQ(results[i].range.start.timescale, kRate);
      const int64_t start = startOf(baseline[i]) + (startOf(baseline[i]) >= c.at ? c.by : 0);
      const int64_t end = endOf(baseline[i]) + (endOf(baseline[i]) > c.at ? c.by : 0);
      EXPECT_EQ(startOf(results[i]), start);
      EXPECT_EQ(endOf(results[i]), end);
      movedStart = movedStart || startOf(baseline[i]) >= c.at;
      movedEndOnly = movedEndOnly || (startOf(baseline[i]) < c.at && endOf(baseline[i]) > c.at);
    }
    if (c.at == insideFirst) {
      EXPECT_TRUE(movedEndOnly) << "no result spans the jump";
    }
    if (c.at == betweenClips) {
      EXPECT_TRUE(movedStart) << "no utterance after the jump";
    }
  }
}

TEST_F(PocketSphinxSpeechTest, UnbrokenSpeechIsCutIntoUtterancesOfAboutTwentySeconds) {
  // Clips without their quiet ends, back to back: about half a minute of
  // speech without a pause long enough to end an utterance.
  std::vector<Clip> speech;
  for (const char* id : {"0890", "0930", "0880", "0870", "0920", "0890"}) speech.push_back(withoutQuietEnds(clip(id)));
  Plan plan;
  plan.silence(0.5);
  for (const Clip& part : speech) plan.speech(part);
  plan.silence(1.0);

  const std::vector<TranscriptionResult> results = transcribe(engine_, PocketSphinxEngine::servedLocale(), plan.inputs());
  for (const TranscriptionResult& result : results) expectWellFormed(result);
  const std::vector<Utterance> utterances = utterancesOf(results);
  ASSERT_GE(utterances.size(), 2u);
  auto duration = [](const Utterance& utterance) { return utterance.back().range.duration.value; };
  // The first one ran on until it was cut, not to a pause.
  EXPECT_GT(duration(utterances.front()), samples(19.0));
  for (std::size_t i = 0; i < utterances.size(); ++i) {
    SCOPED_TRACE(describe(utterances[i].back()));
    EXPECT_LE(duration(utterances[i]), samples(22.5));
    if (i > 0) {
      EXPECT_GE(startOf(utterances[i].back()), endOf(utterances[i - 1].back())) << "utterances overlap";
    }
  }
  // The words go on across the cut.
  EXPECT_LT(wordErrorRate(plan.referenceWords(), finalWords(utterances)), 0.5);
}

TEST_F(PocketSphinxSpeechTest, AnalyzersOnTwoThreadsDecodeIndependently) {
  const std::vector<AnalyzerInput> first = paddedClips({"0880"}).inputs();
  const std::vector<AnalyzerInput> second = paddedClips({"0930"}).inputs();
  const std::vector<TranscriptionResult> firstAlone = transcribe(engine_, PocketSphinxEngine::servedLocale(), first);
  const std::vector<TranscriptionResult> secondAlone = transcribe(engine_, PocketSphinxEngine::servedLocale(), second);
  ASSERT_FALSE(firstAlone.empty());
  ASSERT_FALSE(secondAlone.empty());
  ASSERT_NE(keysOf(firstAlone), keysOf(secondAlone));

  // Both load their model, then both decode at once.
  std::latch prepared(2);
  Outcome firstTogether;
  Outcome secondTogether;
  std::thread other([&] { secondTogether = analyse(engine_, PocketSphinxEngine::servedLocale(), second, &prepared); });
  firstTogether = analyse(engine_, PocketSphinxEngine::servedLocale(), first, &prepared);
  other.join();
  EXPECT_EQ(firstTogether.startError, "");
  EXPECT_EQ(secondTogether.startError, "");
  EXPECT_EQ(keysOf(firstTogether.results), keysOf(firstAlone));
  EXPECT_EQ(keysOf(secondTogether.results), keysOf(secondAlone));
}

}  // namespace
}  // namespace veskar
