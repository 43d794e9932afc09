#include "support/scripted_engine.h"

#include <sstream>
#include <stdexcept>

namespace veskar::testing {

void Gate::open() {
  {
    std::lock_guard lock(mutex_);
    open_ = true;
  }
  opened_.notify_all();
}

void Gate::wait() {
  std::unique_lock lock(mutex_);
  opened_.wait(lock, [&] { return open_; });
}

namespace {

AssetInstallationRequest scriptedRequest(bool fails) {
  return AssetInstallationRequest([fails] {
    if (fails) throw SpeechEngineError("scripted download failure");
  });
}

}  // namespace

ScriptedEngine::ScriptedEngine(EngineScript script) : script_(std::move(script)) {}

void ScriptedEngine::record(std::string call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

bool ScriptedEngine::isAvailable() {
  record("isAvailable");
  return script_.available;
}

std::optional<Locale> ScriptedEngine::supportedLocale(const Locale& locale) {
  record("supportedLocale " + locale.identifier);
  return script_.equivalentLocale(locale);
}

std::shared_ptr<SpeechTranscriber> ScriptedEngine::makeTranscriber(const Locale& locale, TranscriptionPreset) {
  record("makeTranscriber " + locale.identifier);
  std::lock_guard lock(mutex_);
  transcriberLocales_.push_back(locale.identifier);
  return std::make_shared<ScriptedTranscriber>();
}

AssetStatus ScriptedEngine::assetStatus(const Modules&) {
  record("assetStatus");
  return script_.status;
}

std::optional<AssetInstallationRequest> ScriptedEngine::assetInstallationRequest(const Modules&) {
  record("assetInstallationRequest");
  switch (script_.installation) {
    case EngineScript::Installation::noRequest:
      return std::nullopt;
    case EngineScript::Installation::requestThrows:
      throw SpeechEngineError("scripted installation request failure");
    case EngineScript::Installation::downloadThrows:
      return scriptedRequest(true);
    case EngineScript::Installation::succeeds:
      break;
  }
  return scriptedRequest(false);
}

bool ScriptedEngine::reserve(const Locale& locale) {
  record("reserve " + locale.identifier);
  if (script_.reservation == EngineScript::Reservation::throws) throw SpeechEngineError("scripted reservation failure");
  return script_.reservation == EngineScript::Reservation::succeeds;
}

std::optional<AudioFormat> ScriptedEngine::bestAvailableAudioFormat(const Modules&) {
  record("bestAvailableAudioFormat");
  return script_.proposedFormat;
}

std::shared_ptr<SpeechAnalyzer> ScriptedEngine::makeAnalyzer(const Modules& modules, const SpeechAnalyzerOptions&) {
  record("makeAnalyzer");
  auto transcriber = std::dynamic_pointer_cast<ScriptedTranscriber>(modules.at(0));
  if (!transcriber) throw SpeechEngineError("foreign transcriber");
  auto analyzer = std::make_shared<ScriptedAnalyzer>(script_, transcriber);
  std::lock_guard lock(mutex_);
  analyzers_.push_back(analyzer);
  return analyzer;
}

std::vector<std::string> ScriptedEngine::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::shared_ptr<ScriptedAnalyzer>> ScriptedEngine::analyzers() const {
  std::lock_guard lock(mutex_);
  return analyzers_;
}

std::vector<std::string> ScriptedEngine::transcriberLocales() const {
  std::lock_guard lock(mutex_);
  return transcriberLocales_;
}

ScriptedAnalyzer::ScriptedAnalyzer(const EngineScript& script, std::shared_ptr<ScriptedTranscriber> transcriber)
    : script_(script), transcriber_(std::move(transcriber)) {}

void ScriptedAnalyzer::prepareToAnalyze(const AudioFormat& format) {
  if (script_.prepareThrows) {
    {
      std::lock_guard lock(mutex_);
      prepareFailed_ = true;
    }
    startEnded_.notify_all();
    throw SpeechEngineError("scripted prepare failure");
  }
  std::lock_guard lock(mutex_);
  preparedFormat_ = format;
}

void ScriptedAnalyzer::deliver(const std::vector<TranscriptionResult>& results) {
  for (const TranscriptionResult& result : results) {
    if (script_.resultsFailAfterResults && delivered_ >= *script_.resultsFailAfterResults) {
      transcriber_->channel().fail(std::make_exception_ptr(SpeechEngineError("scripted results failure")));
      return;
    }
    transcriber_->channel().yield(result);
    ++delivered_;
  }
  if (script_.resultsFailAfterResults && delivered_ >= *script_.resultsFailAfterResults) {
    transcriber_->channel().fail(std::make_exception_ptr(SpeechEngineError("scripted results failure")));
  }
}

void ScriptedAnalyzer::start(std::shared_ptr<InputSequence> inputSequence) {
  {
    std::lock_guard lock(mutex_);
    started_ = true;
  }
  struct EndSignal {
    ScriptedAnalyzer& self;
    ~EndSignal() {
      {
        std::lock_guard lock(self.mutex_);
        self.startReturned_ = true;
      }
      self.startEnded_.notify_all();
    }
  } endSignal{*this};

  if (script_.holdAnalysis) script_.holdAnalysis->wait();
  int index = 0;
  while (std::optional<AnalyzerInput> input = inputSequence->next()) {
    RecordedInput recorded{input->bufferStartTime, input->buffer->frameLength(), input->buffer->frameCapacity(), {}};
    if (const int16_t* samples = input->buffer->int16ChannelData(0)) {
      recorded.int16Samples.assign(samples, samples + input->buffer->frameLength());
    }
    {
      std::lock_guard lock(mutex_);
      inputs_.push_back(std::move(recorded));
    }
    if (script_.analysisFailsAfterInputs && index + 1 >= *script_.analysisFailsAfterInputs) {
      throw SpeechEngineError("scripted analysis failure");
    }
    if (script_.resultsForInput) deliver(script_.resultsForInput(*input, index));
    ++index;
  }
  if (script_.resultsAtEnd) deliver(script_.resultsAtEnd(inputs()));
  transcriber_->channel().finish();
}

void ScriptedAnalyzer::finalizeAndFinishThroughEndOfInput() {
  {
    std::unique_lock lock(mutex_);
    // A failed preparation means start() never runs: the results end here.
    startEnded_.wait(lock, [&] { return startReturned_ || prepareFailed_; });
    finalized_ = true;
  }
  // After a failed analysis nothing else would end the results.
  transcriber_->channel().finish();
  if (script_.finalizeThrows) throw SpeechEngineError("scripted finalisation failure");
}

std::vector<RecordedInput> ScriptedAnalyzer::inputs() const {
  std::lock_guard lock(mutex_);
  return inputs_;
}

std::optional<AudioFormat> ScriptedAnalyzer::preparedFormat() const {
  std::lock_guard lock(mutex_);
  return preparedFormat_;
}

bool ScriptedAnalyzer::finalized() const {
  std::lock_guard lock(mutex_);
  return finalized_;
}

namespace {

TranscriptionResult echoResult(int64_t endFrame, int words, bool isFinal) {
  std::string text;
  for (int i = 0; i < words; ++i) text += (i ? " word" : "word") + std::to_string(i + 1);
  return TranscriptionResult{text, MediaTimeRange{MediaTime::make(0, 16000), MediaTime::make(endFrame, 16000)},
                             isFinal};
}

}  // namespace

std::unique_ptr<ScriptedEngine> scriptedEngineFromText(const std::string& text) {
  EngineScript script;
  std::stringstream stream(text);
  std::string directive;
  while (std::getline(stream, directive, ';')) {
    if (directive.empty()) continue;
    const std::size_t eq = directive.find('=');
    const std::string key = directive.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : directive.substr(eq + 1);
    if (key == "unavailable") {
      script.available = false;
    } else if (key == "locale") {
      script.equivalentLocale = [value](const Locale&) -> std::optional<Locale> {
        if (value.empty()) return std::nullopt;
        return Locale{value};
      };
    } else if (key == "status") {
      if (value == "unsupported") script.status = AssetStatus::unsupported;
      else if (value == "supported") script.status = AssetStatus::supported;
      else if (value == "downloading") script.status = AssetStatus::downloading;
      else script.status = AssetStatus::installed;
    } else if (key == "installation") {
      if (value == "none") script.installation = EngineScript::Installation::noRequest;
      else if (value == "requestThrows") script.installation = EngineScript::Installation::requestThrows;
      else if (value == "downloadThrows") script.installation = EngineScript::Installation::downloadThrows;
    } else if (key == "reserve") {
      script.reservation =
          value == "throws" ? EngineScript::Reservation::throws : EngineScript::Reservation::returnsFalse;
    } else if (key == "format") {
      if (value == "none") {
        script.proposedFormat = std::nullopt;
      } else {  // rate:int16|float32:channels:interleaved|planar
        std::stringstream parts(value);
        std::string rate, type, channels, layout;
        std::getline(parts, rate, ':');
        std::getline(parts, type, ':');
        std::getline(parts, channels, ':');
        std::getline(parts, layout, ':');
        script.proposedFormat =
            AudioFormat::make(type == "float32" ? SampleType::float32 : SampleType::int16, std::stod(rate),
                              static_cast<uint32_t>(std::stoul(channels)), layout == "interleaved");
      }
    } else if (key == "prepare") {
      script.prepareThrows = true;
    } else if (key == "analysisFailsAfter") {
      script.analysisFailsAfterInputs = std::stoi(value);
    } else if (key == "resultsFailAfter") {
      script.resultsFailAfterResults = std::stoi(value);
    } else if (key == "finalize") {
      script.finalizeThrows = true;
    } else if (key == "echo") {
      // One utterance from time 0: a partial per input naming how many
      // inputs it heard, and a final at the end of input.
      script.resultsForInput = [](const AnalyzerInput& input, int index) {
        const int64_t end = input.bufferStartTime.value + input.buffer->frameLength();
        return std::vector<TranscriptionResult>{echoResult(end, index + 1, false)};
      };
      script.resultsAtEnd = [](const std::vector<RecordedInput>& inputs) {
        if (inputs.empty()) return std::vector<TranscriptionResult>{};
        const int64_t end = inputs.back().start.value + inputs.back().frames;
        return std::vector<TranscriptionResult>{echoResult(end, static_cast<int>(inputs.size()), true)};
      };
    } else {
      throw std::invalid_argument("unknown engine script directive: " + directive);
    }
  }
  return std::make_unique<ScriptedEngine>(std::move(script));
}

}  // namespace veskar::testing
