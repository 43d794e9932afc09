// The speech engine over CMU PocketSphinx (opened at run time, see
// PocketSphinxLibrary): US English, decoded on the device from 16 kHz mono
// int16 audio, one decoder per source.
#ifndef VESKAR_TRANSCRIPTION_POCKETSPHINX_ENGINE_H_
#define VESKAR_TRANSCRIPTION_POCKETSPHINX_ENGINE_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "transcription/pocketsphinx_library.h"
#include "transcription/speech_engine.h"

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
  // Null: nothing on this platform installs the model.
  std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(const Modules& modules) override;
  bool reserve(const Locale& locale) override;

  // 16 kHz mono int16, non-interleaved.
  std::optional<AudioFormat> bestAvailableAudioFormat(const Modules& modules) override;
  // Throws SpeechEngineError when a module is not one of this engine's
  // transcribers, or already belongs to another analyzer, or none is given.
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const Modules& modules, const SpeechAnalyzerOptions& options) override;

 private:
  std::shared_ptr<const PocketSphinxLibrary> library_;
  std::string modelDirectory_;
};

// Why the model in `directory` cannot be used (a missing or unreadable
// file, named), or nullopt when every file it needs is there and readable.
std::optional<std::string> findMissingModelFile(const std::string& directory);

// The words of a decoder hypothesis or segment list joined by single
// spaces: fillers and silences (<s>, </s>, <sil>, [NOISE], ++UH++) dropped
// and alternate pronunciation markers (word(2)) removed.
std::string transcriptText(std::string_view hypothesis);

// Where the audio fed to one decoder lies on the source's timeline. The
// decoder counts samples from the start of its stream without gaps; the
// inputs carry their own start times, which may jump ahead where inputs were
// dropped. Positions are samples at 16 kHz.
class DecoderTimeline {
 public:
  static constexpr int32_t kTimescale = 16000;

  // Records an input of `length` samples fed next to the decoder. An input
  // without a numeric start continues where the previous one ended.
  void append(const MediaTime& start, uint32_t length);
  // Samples fed so far: the decoder position of the next input.
  int64_t fedSamples() const { return fed_; }
  // The timeline position of decoder sample `sample` (clamped to what is
  // remembered of the fed audio).
  int64_t timelinePosition(int64_t sample) const;
  // The timeline position just after decoder sample `end - 1`: an end that
  // falls where inputs were dropped stays before the gap.
  int64_t timelineEnd(int64_t end) const;
  // Forgets inputs that end at or before decoder sample `sample`; the last
  // input is always kept.
  void forgetBefore(int64_t sample);
  std::size_t rememberedInputs() const { return spans_.size(); }

 private:
  struct Span {
    int64_t decoderStart;
    int64_t timelineStart;
    int64_t length;
  };
  const Span* spanContaining(int64_t sample) const;

  std::deque<Span> spans_;
  int64_t fed_ = 0;
};

}  // namespace veskar

#endif  // VESKAR_TRANSCRIPTION_POCKETSPHINX_ENGINE_H_
