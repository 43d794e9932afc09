// A speech engine for tests, scripted per test: availability, locales, asset
// status and installation, reservation, the proposed format, failures at
// chosen points, and which results to deliver for which inputs. It records
// what the pipeline fed it.
#ifndef VESKAR_TESTS_SUPPORT_SCRIPTED_ENGINE_H_
#define VESKAR_TESTS_SUPPORT_SCRIPTED_ENGINE_H_

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/speech_engine.h"

namespace veskar::testing {

// A gate a test opens; waiters block until it is open.
class Gate {
 public:
  void open();
  void wait();

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

// What the engine saw of one input.
struct RecordedInput {
  MediaTime start;
  uint32_t frames = 0;
  uint32_t capacity = 0;
  std::vector<int16_t> int16Samples;  // plane 0, when the format is int16
};

struct EngineScript {
  bool available = true;
  // The engine's equivalent of a requested locale; identity by default.
  std::function<std::optional<Locale>(const Locale&)> equivalentLocale = [](const Locale& l) { return l; };
  AssetStatus status = AssetStatus::installed;
  enum class Installation { succeeds, noRequest, requestThrows, downloadThrows };
  Installation installation = Installation::succeeds;
  enum class Reservation { succeeds, returnsFalse, throws };
  Reservation reservation = Reservation::succeeds;
  std::optional<AudioFormat> proposedFormat = AudioFormat::make(SampleType::int16, 16000.0, 1, false);
  bool prepareThrows = false;
  // The analysis throws after taking this many inputs.
  std::optional<int> analysisFailsAfterInputs;
  // The results sequence fails after delivering this many results.
  std::optional<int> resultsFailAfterResults;
  bool finalizeThrows = false;
  // Results to deliver after taking input number `index` (from 0).
  std::function<std::vector<TranscriptionResult>(const AnalyzerInput& input, int index)> resultsForInput;
  // Results to deliver once the input sequence has ended, given the inputs
  // that were taken.
  std::function<std::vector<TranscriptionResult>(const std::vector<RecordedInput>& inputs)> resultsAtEnd;
  // When set, the analysis waits for this gate before taking any input.
  std::shared_ptr<Gate> holdAnalysis;
};

class ScriptedAnalyzer;

class ScriptedEngine final : public SpeechEngine {
 public:
  explicit ScriptedEngine(EngineScript script = {});

  EngineScript& script() { return script_; }

  bool isAvailable() override;
  std::optional<Locale> supportedLocale(const Locale& locale) override;
  std::shared_ptr<SpeechTranscriber> makeTranscriber(const Locale& locale, TranscriptionPreset preset) override;
  AssetStatus assetStatus(const Modules& modules) override;
  std::optional<AssetInstallationRequest> assetInstallationRequest(const Modules& modules) override;
  bool reserve(const Locale& locale) override;
  std::optional<AudioFormat> bestAvailableAudioFormat(const Modules& modules) override;
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const Modules& modules, const SpeechAnalyzerOptions& options) override;

  // The calls made, in order, e.g. "supportedLocale en_US", "reserve en_US".
  std::vector<std::string> calls() const;
  // Analyzers in order of creation.
  std::vector<std::shared_ptr<ScriptedAnalyzer>> analyzers() const;
  // Locales the transcribers were made for, in order.
  std::vector<std::string> transcriberLocales() const;

 private:
  void record(std::string call);

  EngineScript script_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<std::shared_ptr<ScriptedAnalyzer>> analyzers_;
  std::vector<std::string> transcriberLocales_;
};

class ScriptedTranscriber final : public SpeechTranscriber {
 public:
  ResultSequence& results() override { return channel_; }
  ResultChannel& channel() { return channel_; }

 private:
  ResultChannel channel_;
};

class ScriptedAnalyzer final : public SpeechAnalyzer {
 public:
  ScriptedAnalyzer(const EngineScript& script, std::shared_ptr<ScriptedTranscriber> transcriber);

  void prepareToAnalyze(const AudioFormat& format) override;
  void start(std::shared_ptr<InputSequence> inputSequence) override;
  void finalizeAndFinishThroughEndOfInput() override;

  std::vector<RecordedInput> inputs() const;
  std::optional<AudioFormat> preparedFormat() const;
  bool finalized() const;

 private:
  void deliver(const std::vector<TranscriptionResult>& results);

  const EngineScript script_;  // a copy: the analyzer may outlive its engine
  const std::shared_ptr<ScriptedTranscriber> transcriber_;
  mutable std::mutex mutex_;
  std::condition_variable startEnded_;
  // State below is guarded by mutex_.
  std::vector<RecordedInput> inputs_;
  std::optional<AudioFormat> preparedFormat_;
  bool started_ = false;
  bool startReturned_ = false;
  bool prepareFailed_ = false;
  bool finalized_ = false;
  int delivered_ = 0;
};

// Builds an engine from a compact text, for the scripted helper binary:
// directives separated by ';', e.g. "status=supported;installation=none".
// Throws std::invalid_argument for an unknown directive.
std::unique_ptr<ScriptedEngine> scriptedEngineFromText(const std::string& text);

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_SUPPORT_SCRIPTED_ENGINE_H_
