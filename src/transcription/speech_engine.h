// The boundary to the speech engine. The pipeline sees the engine only
// through these types, so the same code runs over PocketSphinx and over the
// scripted engine of the tests. Every operation may block; none may be
// called concurrently on one object unless its comment says so.
#ifndef VESKAR_TRANSCRIPTION_SPEECH_ENGINE_H_
#define VESKAR_TRANSCRIPTION_SPEECH_ENGINE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "transcription/media_time.h"

#include "protocol/errors.h"

namespace veskar {

// A failure reported by the engine; what() is the engine's own text.
class SpeechEngineError : public DescribedError {
 public:
  using DescribedError::DescribedError;
};

struct Locale {
  std::string identifier;
  bool operator==(const Locale&) const = default;
};

enum class SampleType { int16, float32 };

// The layout of PCM audio. Build with make(), which refuses layouts that no
// buffer can hold.
struct AudioFormat {
  SampleType sampleType = SampleType::int16;
  double sampleRate = 0;
  uint32_t channelCount = 0;
  bool interleaved = false;

  static std::optional<AudioFormat> make(SampleType type, double sampleRate, uint32_t channels, bool interleaved);
  std::size_t bytesPerSample() const { return sampleType == SampleType::int16 ? 2 : 4; }
  bool operator==(const AudioFormat&) const = default;
};

// A PCM buffer: frameCapacity frames of storage, of which frameLength are
// valid. Non-interleaved audio has one plane per channel; interleaved audio
// one plane holding every channel.
class PcmBuffer {
 public:
  // Returns null when the storage cannot be allocated.
  static std::shared_ptr<PcmBuffer> make(const AudioFormat& format, uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  uint32_t frameCapacity() const { return frameCapacity_; }
  uint32_t frameLength() const { return frameLength_; }
  // REQUIRES: length <= frameCapacity().
  void setFrameLength(uint32_t length) { frameLength_ = length; }

  uint32_t planeCount() const { return format_.interleaved ? 1 : format_.channelCount; }
  // Samples of one plane: frameCapacity (times channelCount when interleaved).
  // Null when the sample type differs or the plane does not exist.
  int16_t* int16ChannelData(uint32_t plane);
  float* floatChannelData(uint32_t plane);
  const int16_t* int16ChannelData(uint32_t plane) const;
  const float* floatChannelData(uint32_t plane) const;

 private:
  PcmBuffer(const AudioFormat& format, uint32_t frameCapacity);

  AudioFormat format_;
  uint32_t frameCapacity_;
  uint32_t frameLength_ = 0;
  std::vector<int16_t> int16Samples_;
  std::vector<float> floatSamples_;
};

// One buffer of engine input, stamped with its start on the source's timeline.
struct AnalyzerInput {
  std::shared_ptr<const PcmBuffer> buffer;
  MediaTime bufferStartTime;
};

// The engine's input: a sequence with one consumer.
class InputSequence {
 public:
  virtual ~InputSequence() = default;
  // Blocks until an input is waiting or the sequence has ended; nullopt at
  // the end.
  virtual std::optional<AnalyzerInput> next() = 0;
};

struct TranscriptionResult {
  std::string text;  // UTF-8
  MediaTimeRange range;
  bool isFinal = false;
};

// The transcriber's results: a sequence with one consumer.
class ResultSequence {
 public:
  virtual ~ResultSequence() = default;
  // Blocks until a result is delivered or the sequence ends; nullopt at the
  // end. Throws the engine's failure, after which the sequence is over.
  virtual std::optional<TranscriptionResult> next() = 0;
};

// A ResultSequence fed by an engine from any thread; the producer never
// blocks. Safe for one producer and one consumer at once.
class ResultChannel final : public ResultSequence {
 public:
  void yield(TranscriptionResult result);
  // Ends the sequence after what was yielded. Later calls do nothing.
  void finish();
  // Ends the sequence with `error` after what was yielded.
  void fail(std::exception_ptr error);
  bool isFinished() const;

  std::optional<TranscriptionResult> next() override;

 private:
  mutable std::mutex mutex_;
  std::condition_variable resultOrEndAvailable_;
  // State below is guarded by mutex_.
  std::deque<TranscriptionResult> waiting_;
  bool finished_ = false;
  std::exception_ptr error_;
};

enum class TranscriptionPreset { timeIndexedProgressiveTranscription };

// A transcriber module: what the engine is asked to produce, and where its
// results come out.
class SpeechTranscriber {
 public:
  virtual ~SpeechTranscriber() = default;
  // The one results sequence of this transcriber.
  virtual ResultSequence& results() = 0;
};

using Modules = std::vector<std::shared_ptr<SpeechTranscriber>>;

struct SpeechAnalyzerOptions {
  enum class Priority { userInitiated };
  enum class ModelRetention { whileInUse };
  Priority priority = Priority::userInitiated;
  ModelRetention modelRetention = ModelRetention::whileInUse;
};

// Drives its transcriber modules over one input sequence.
class SpeechAnalyzer {
 public:
  virtual ~SpeechAnalyzer() = default;
  // Throws SpeechEngineError when the analyzer cannot take `format`.
  virtual void prepareToAnalyze(const AudioFormat& format) = 0;
  // Takes the inputs in order and delivers results to the modules. Blocks
  // until analysis is over: after finalisation, or when it fails (throws).
  // Called once, on a thread of its own.
  virtual void start(std::shared_ptr<InputSequence> inputSequence) = 0;
  // Called from another thread than start(), once the input sequence has
  // been finished. Returns when all input up to the end of the sequence has
  // been analysed and its results delivered; the modules' results sequences
  // have then ended and start() returns. Ends the results also when start()
  // failed or never ran. May throw.
  virtual void finalizeAndFinishThroughEndOfInput() = 0;
};

class AssetInstallationRequest {
 public:
  virtual ~AssetInstallationRequest() = default;
  // Returns when the model is installed; throws on failure.
  virtual void downloadAndInstall() = 0;
};

enum class AssetStatus { unsupported, supported, downloading, installed };

// The engine itself: the entry to all of the above.
class SpeechEngine {
 public:
  virtual ~SpeechEngine() = default;

  // True when transcription can run on this system.
  virtual bool isAvailable() = 0;
  // The engine's locale equivalent to `locale`, or none.
  virtual std::optional<Locale> supportedLocale(const Locale& locale) = 0;
  virtual std::shared_ptr<SpeechTranscriber> makeTranscriber(const Locale& locale, TranscriptionPreset preset) = 0;

  virtual AssetStatus assetStatus(const Modules& modules) = 0;
  // Null when no request can be made. May throw.
  virtual std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(const Modules& modules) = 0;
  // May throw.
  virtual bool reserve(const Locale& locale) = 0;

  // The format the analyzer wants to be fed, or none.
  virtual std::optional<AudioFormat> bestAvailableAudioFormat(const Modules& modules) = 0;
  virtual std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const Modules& modules, const SpeechAnalyzerOptions& options) = 0;
};

}  // namespace veskar

#endif  // VESKAR_TRANSCRIPTION_SPEECH_ENGINE_H_
