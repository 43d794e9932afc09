#include "engines/pocketsphinx/pocketsphinx_engine.h"

#include <utility>
#include <vector>

#include "engine/locale_match.h"
#include "engine/streaming_analyzer.h"
#include "engines/pocketsphinx/decoder.h"
#include "engines/pocketsphinx/model_files.h"
#include "veskar_config.h"

namespace veskar {

std::string PocketSphinxEngine::defaultModelDirectory() { return std::string(config::kModelDirectory); }

Locale PocketSphinxEngine::servedLocale() { return Locale{"en_US"}; }

PocketSphinxEngine::PocketSphinxEngine(std::shared_ptr<const PocketSphinxLibrary> library, std::string modelDirectory)
    : library_(std::move(library)), modelDirectory_(std::move(modelDirectory)) {}

bool PocketSphinxEngine::isAvailable() { return library_ != nullptr; }

std::optional<Locale> PocketSphinxEngine::supportedLocale(const Locale& locale) {
  if (!localesAreEquivalent(locale.identifier, servedLocale().identifier)) return std::nullopt;
  return servedLocale();
}

std::shared_ptr<SpeechTranscriber> PocketSphinxEngine::makeTranscriber(const Locale& locale, TranscriptionPreset) {
  if (!supportedLocale(locale)) {
    throw SpeechEngineError("PocketSphinx has no speech model for the locale \"" + locale.identifier + "\"");
  }
  return std::make_shared<StreamingTranscriber>();
}

AssetStatus PocketSphinxEngine::assetStatus(const Modules& modules) {
  for (const auto& module : modules) {
    if (!std::dynamic_pointer_cast<StreamingTranscriber>(module)) return AssetStatus::unsupported;
  }
  return findMissingModelFile(modelDirectory_) ? AssetStatus::supported : AssetStatus::installed;
}

std::optional<AssetInstallationRequest> PocketSphinxEngine::assetInstallationRequest(const Modules&) {
  return std::nullopt;
}

bool PocketSphinxEngine::reserve(const Locale&) { return true; }

std::optional<AudioFormat> PocketSphinxEngine::bestAvailableAudioFormat(const Modules&) {
  return streamingDecoderFormat();
}

std::shared_ptr<SpeechAnalyzer> PocketSphinxEngine::makeAnalyzer(const Modules& modules, const SpeechAnalyzerOptions&) {
  if (!library_) throw SpeechEngineError("PocketSphinx is not available");
  if (modules.empty()) throw SpeechEngineError("PocketSphinx was asked for an analyzer without a transcriber");
  std::vector<std::shared_ptr<StreamingTranscriber>> transcribers;
  for (const auto& module : modules) {
    auto transcriber = std::dynamic_pointer_cast<StreamingTranscriber>(module);
    if (!transcriber) throw SpeechEngineError("PocketSphinx cannot drive a transcriber of another engine");
    transcribers.push_back(std::move(transcriber));
  }
  for (std::size_t i = 0; i < transcribers.size(); ++i) {
    if (!transcribers[i]->claim()) {
      for (std::size_t j = 0; j < i; ++j) transcribers[j]->release();
      throw SpeechEngineError("PocketSphinx transcriber already belongs to an analyzer");
    }
  }
  return std::make_shared<StreamingAnalyzer>(
      "PocketSphinx", [library = library_, directory = modelDirectory_] { return PocketSphinxDecoder::load(library, directory); },
      std::move(transcribers));
}

}  // namespace veskar
