// The speech engine over CMU PocketSphinx (opened at run time, see
// PocketSphinxLibrary): US English, decoded on the device from 16 kHz mono
// int16 audio, one decoder per source, under the engine-neutral streaming
// analyzer.
#ifndef VESKAR_ENGINES_POCKETSPHINX_POCKETSPHINX_ENGINE_H_
#define VESKAR_ENGINES_POCKETSPHINX_POCKETSPHINX_ENGINE_H_

#include <memory>
#include <optional>
#include <string>

#include "engine/speech_engine.h"
#include "engines/pocketsphinx/library.h"

namespace veskar {

class PocketSphinxEngine final : public SpeechEngine {
 public:
  // Where the Debian package pocketsphinx-en-us installs the model.
  static std::string defaultModelDirectory();
  // The one locale the engine serves.
  static Locale servedLocale();

  // `modelDirectory` holds the acoustic model folder en-us/, the language
  // model en-us.lm.bin and the dictionary cmudict-en-us.dict. A null library
  // makes an engine that is not available.
  explicit PocketSphinxEngine(std::shared_ptr<const PocketSphinxLibrary> library,
                              std::string modelDirectory = defaultModelDirectory());

  bool isAvailable() override;
  std::optional<Locale> supportedLocale(const Locale& locale) override;
  // Throws SpeechEngineError for a locale that is not equivalent to en_US.
  std::shared_ptr<SpeechTranscriber> makeTranscriber(const Locale& locale, TranscriptionPreset preset) override;

  // installed when every model file is there and readable, else supported;
  // unsupported for modules that are not this engine's.
  AssetStatus assetStatus(const Modules& modules) override;
  // nullopt: nothing on this platform installs the model.
  std::optional<AssetInstallationRequest> assetInstallationRequest(const Modules& modules) override;
  bool reserve(const Locale& locale) override;

  // 16 kHz mono int16, non-interleaved.
  std::optional<AudioFormat> bestAvailableAudioFormat(const Modules& modules) override;
  // Throws SpeechEngineError when the engine is not available, a module is
  // not one of this engine's transcribers, or already belongs to another
  // analyzer, or none is given.
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const Modules& modules, const SpeechAnalyzerOptions& options) override;

 private:
  std::shared_ptr<const PocketSphinxLibrary> library_;
  std::string modelDirectory_;
};

}  // namespace veskar

#endif  // VESKAR_ENGINES_POCKETSPHINX_POCKETSPHINX_ENGINE_H_
