// What every speech engine promises the pipeline, checked against each
// engine: the scripted one of the tests and PocketSphinx (skipped where
// its libraries, model or test speech are not installed).
#include <gtest/gtest.h>

#include <chrono>
#include <latch>
#include <memory>
#include <thread>

#include "engines/pocketsphinx/model_files.h"
#include "engines/pocketsphinx/pocketsphinx_engine.h"
#include "support/engine_session.h"
#include "support/scripted_engine.h"
#include "support/speech_corpus.h"
#include "transcription/input_stream.h"

namespace veskar {
namespace {

using namespace testing;

struct ScriptedEngineKind {
  static std::optional<std::string> missing() { return std::nullopt; }
  static std::unique_ptr<SpeechEngine> make() {
    EngineScript script;
    // One final result per input, where the input lies.
    script.resultsForInput = [](const AnalyzerInput& input, int index) {
      TranscriptionResult result;
      result.text = "word" + std::to_string(index);
      result.range.start = input.bufferStartTime;
      result.range.duration = MediaTime::make(input.buffer->frameLength(), 16000);
      result.isFinal = true;
      return std::vector<TranscriptionResult>{result};
    };
    return std::make_unique<ScriptedEngine>(script);
  }
  static std::unique_ptr<SpeechEngine> makeUnpreparable() {
    EngineScript script;
    script.prepareThrows = true;
    return std::make_unique<ScriptedEngine>(script);
  }
  static Locale locale() { return Locale{"en_US"}; }
};

struct PocketSphinxEngineKind {
  static std::shared_ptr<const PocketSphinxLibrary> library() {
    static const std::shared_ptr<const PocketSphinxLibrary> loaded = PocketSphinxLibrary::load();
    return loaded;
  }
  static std::optional<std::string> missing() {
    if (!library()) return "the PocketSphinx libraries are not installed";
    if (findMissingModelFile(PocketSphinxEngine::defaultModelDirectory())) return "the en-us model is not installed";
    if (clips().empty()) return "the LibriVox clips are not installed";
    return std::nullopt;
  }
  static std::unique_ptr<SpeechEngine> make() { return std::make_unique<PocketSphinxEngine>(library()); }
  static std::unique_ptr<SpeechEngine> makeUnpreparable() {
    return std::make_unique<PocketSphinxEngine>(library(), "/nonexistent/model/folder");
  }
  static Locale locale() { return PocketSphinxEngine::servedLocale(); }
};

template <typename Kind>
class EngineContract : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = Kind::missing()) GTEST_SKIP() << *why;
  }
};

using EngineKinds = ::testing::Types<ScriptedEngineKind, PocketSphinxEngineKind>;
TYPED_TEST_SUITE(EngineContract, EngineKinds);

TYPED_TEST(EngineContract, AFailedPrepareStillEndsTheResults) {
  std::unique_ptr<SpeechEngine> engine = TypeParam::makeUnpreparable();
  auto transcriber = engine->makeTranscriber(TypeParam::locale(), TranscriptionPreset::timeIndexedProgressiveTranscription);
  const Modules modules{transcriber};
  auto analyzer = engine->makeAnalyzer(modules, SpeechAnalyzerOptions{});
  ASSERT_TRUE(analyzer) << "engines throw rather than return null";
  EXPECT_THROW(analyzer->prepareToAnalyze(*engine->bestAvailableAudioFormat(modules)), SpeechEngineError);
  try {
    analyzer->finalizeAndFinishThroughEndOfInput();
  } catch (const SpeechEngineError&) {
    // Allowed, once the results have ended.
  }
  EXPECT_FALSE(transcriber->results().next().has_value()) << "the results end instead of waiting for ever";
}

TYPED_TEST(EngineContract, FinalisationBeforeTheAnalysisStartsWaitsForItAndResultsEndOnce) {
  std::unique_ptr<SpeechEngine> engine = TypeParam::make();
  auto transcriber = engine->makeTranscriber(TypeParam::locale(), TranscriptionPreset::timeIndexedProgressiveTranscription);
  const Modules modules{transcriber};
  auto analyzer = engine->makeAnalyzer(modules, SpeechAnalyzerOptions{});
  analyzer->prepareToAnalyze(*engine->bestAvailableAudioFormat(modules));

  const std::vector<AnalyzerInput> inputs = paddedClips({"0870"}).inputs();
  auto stream = std::make_shared<AnalyzerInputStream>(inputs.size() + 1);
  for (const AnalyzerInput& input : inputs) stream->yield(input);
  stream->finish();

  // Finalisation is asked for first; it may return only once the analysis
  // that starts afterwards has taken every input.
  std::atomic<bool> finalised{false};
  std::thread finalizer([&] {
    analyzer->finalizeAndFinishThroughEndOfInput();
    finalised = true;
  });
  std::latch started(1);
  std::thread analysis([&] {
    started.count_down();
    analyzer->start(stream);
  });
  started.wait();
  std::vector<TranscriptionResult> results;
  while (std::optional<TranscriptionResult> result = transcriber->results().next()) results.push_back(*result);
  analysis.join();
  finalizer.join();
  EXPECT_TRUE(finalised);
  EXPECT_FALSE(results.empty()) << "speech gives results";
  for (const TranscriptionResult& result : results) expectWellFormed(result);
  EXPECT_FALSE(transcriber->results().next().has_value()) << "an ended sequence stays ended";
}

TYPED_TEST(EngineContract, EveryResultLiesOnTheInputTimeline) {
  std::unique_ptr<SpeechEngine> engine = TypeParam::make();
  Plan plan = paddedClips({"0880"});
  // Inputs stamped in another timescale than the engine's, from 60 s on.
  std::vector<AnalyzerInput> inputs = plan.inputs(48000);
  for (AnalyzerInput& input : inputs) input.bufferStartTime.value += 60 * 48000;
  const Outcome outcome = analyse(*engine, TypeParam::locale(), inputs);
  EXPECT_EQ(outcome.startError, "");
  ASSERT_FALSE(outcome.results.empty());
  const double end = 60.0 + static_cast<double>(plan.inputs().size() * kInputSamples) / kRate;
  for (const TranscriptionResult& result : outcome.results) {
    SCOPED_TRACE(describe(result));
    const double start = static_cast<double>(result.range.start.value) / result.range.start.timescale;
    EXPECT_GE(start, 60.0);
    EXPECT_LE(start + static_cast<double>(result.range.duration.value) / result.range.duration.timescale, end + 0.01);
  }
}

}  // namespace
}  // namespace veskar
