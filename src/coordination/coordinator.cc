#include "coordination/coordinator.h"

#include "coordination/base64.h"
#include "protocol/errors.h"

namespace veskar {

Coordinator::Coordinator(SpeechEngine& engine, OutputSink& sink)
    : engine_(engine), writer_(std::make_shared<EventWriter>(sink)) {}

Locale Coordinator::start(const Locale& locale, const std::vector<SourceId>& sources) {
  if (!engine_.isAvailable()) throw HelperError(HelperError::Case::transcriberUnavailable);
  const std::optional<Locale> resolved = engine_.supportedLocale(locale);
  if (!resolved) throw HelperError::unsupportedLocale(locale.identifier);

  {
    // The transcriber serves only the asset queries and is released here.
    const Modules modules{
        engine_.makeTranscriber(*resolved, TranscriptionPreset::timeIndexedProgressiveTranscription)};
    const AssetStatus status = engine_.assetStatus(modules);
    if (status == AssetStatus::unsupported) throw HelperError::unsupportedLocale(resolved->identifier);
    if (status != AssetStatus::installed) {
      writer_->send(OutputEvent{.type = std::string(event_type::streamStatus),
                                .locale = resolved->identifier,
                                .code = std::string(event_code::modelDownloading),
                                .message = std::string(kModelDownloadingMessage)});
      std::optional<AssetInstallationRequest> request = engine_.assetInstallationRequest(modules);
      if (!request) throw HelperError(HelperError::Case::assetRequestUnavailable);
      request->downloadAndInstall();
    }
  }

  try {
    (void)engine_.reserve(*resolved);
  } catch (...) {
    // A failed reservation only means the model may be evicted sooner; the
    // stream works without it.
  }

  for (const SourceId id : sources) {
    std::shared_ptr<SourceAnalyzer> analyzer = SourceAnalyzer::make(id, *resolved, writer_, engine_);
    std::lock_guard lock(mutex_);
    analyzers_[id] = std::move(analyzer);
  }

  writer_->send(OutputEvent{.type = std::string(event_type::streamReady), .locale = resolved->identifier});
  return *resolved;
}

bool Coordinator::consume(const InputEvent& event) {
  if (event.type == event_type::finish) {
    std::map<SourceId, std::shared_ptr<SourceAnalyzer>> snapshot;
    {
      std::lock_guard lock(mutex_);
      snapshot = analyzers_;
    }
    for (auto& [id, analyzer] : snapshot) analyzer->finish();
    writer_->send(OutputEvent{.type = std::string(event_type::streamFinished)});
    return false;
  }
  if (event.type != event_type::audio) throw HelperError(HelperError::Case::invalidEvent);
  if (!event.source_id || !event.pcm_base64) throw HelperError(HelperError::Case::invalidEvent);
  const std::optional<std::string> bytes = decodeBase64(*event.pcm_base64);
  if (!bytes) throw HelperError(HelperError::Case::invalidEvent);
  std::shared_ptr<SourceAnalyzer> analyzer;
  std::shared_ptr<SourceAnalyzer> referenceTaker;
  {
    std::lock_guard lock(mutex_);
    const auto it = analyzers_.find(*event.source_id);
    if (it == analyzers_.end()) throw HelperError(HelperError::Case::invalidEvent);
    analyzer = it->second;
    if (*event.source_id == kMeetingSource) {
      const auto user = analyzers_.find(kUserSource);
      if (user != analyzers_.end() && user->second->takesReference()) referenceTaker = user->second;
    }
  }
  const AcceptedAudio accepted = analyzer->append(*bytes);
  // The reference tap: the microphone's front end hears the meeting audio
  // the moment it is accepted, one line at a time, so both sources' input
  // timelines advance in step with the host's lines.
  if (referenceTaker) referenceTaker->appendReference(accepted);
  return true;
}

}  // namespace veskar
