// The boundary to a speech engine. The pipeline sees an engine only through
// these types, so the same pipeline runs over PocketSphinx and over the
// scripted engine of the tests.
//
// Conventions every engine follows:
// - Failures are thrown as SpeechEngineError (or a type derived from it)
//   whose what() is the engine's own text; the pipeline passes that text to
//   the host unchanged.
// - An operation that makes an object returns it or throws: never null.
//   An answer that may legitimately be "none" is a std::optional.
// - Every operation may block. None may be called concurrently on one
//   object unless its comment says so.
#ifndef VESKAR_ENGINE_SPEECH_ENGINE_H_
#define VESKAR_ENGINE_SPEECH_ENGINE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/audio_format.h"
#include "basics/described_error.h"
#include "basics/ids.h"
#include "engine/media_time.h"

namespace veskar {

// A failure reported by the engine; what() is the engine's own text.
class SpeechEngineError : public DescribedError {
 public:
  using DescribedError::DescribedError;
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

// What a transcriber is asked to produce: results that are revised as audio
// arrives and carry their place on the input timeline. Engines with a single
// mode ignore it; it stays so that the pipeline states what it relies on.
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

// How an engine should schedule an analyzer and keep its model. The
// pipeline always asks for live use (user-initiated work, the model kept
// while the analyzer is in use); engines that load their model per analyzer
// and decode on the analysis thread ignore both.
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
  // Readies the analyzer for input in `format`; called once, before start().
  // Throws SpeechEngineError when the analyzer cannot take `format` or its
  // model cannot be loaded.
  virtual void prepareToAnalyze(const AudioFormat& format) = 0;
  // Takes the inputs in order and delivers results to the modules. Blocks
  // until analysis is over: returns after finalisation, throws
  // SpeechEngineError when analysis fails (also when prepareToAnalyze()
  // did not succeed). Called once, on a thread of its own.
  virtual void start(std::shared_ptr<InputSequence> inputSequence) = 0;
  // Called from another thread than start(), once the input sequence has
  // been finished. Returns when all input up to the end of the sequence has
  // been analysed and its results delivered; the modules' results sequences
  // have then ended and start() returns or has thrown. Ends the results
  // also when prepareToAnalyze() or start() failed, or start() never ran
  // because preparation failed: a caller that waits for the results never
  // waits for ever. May throw SpeechEngineError, after ending the results.
  virtual void finalizeAndFinishThroughEndOfInput() = 0;
};

// A request to install the model: what the engine will do when asked.
class AssetInstallationRequest {
 public:
  explicit AssetInstallationRequest(std::function<void()> install) : install_(std::move(install)) {}
  // Returns when the model is installed; throws SpeechEngineError on failure.
  void downloadAndInstall() const { install_(); }

 private:
  std::function<void()> install_;
};

enum class AssetStatus { unsupported, supported, downloading, installed };

// The engine itself: the entry to all of the above.
class SpeechEngine {
 public:
  virtual ~SpeechEngine() = default;

  // True when transcription can run on this system. Never throws.
  virtual bool isAvailable() = 0;
  // The engine's locale equivalent to `locale`, or nullopt when it serves
  // none. Never throws.
  virtual std::optional<Locale> supportedLocale(const Locale& locale) = 0;
  // A transcriber for `locale` (one the engine resolved). Throws
  // SpeechEngineError for a locale the engine does not serve.
  virtual std::shared_ptr<SpeechTranscriber> makeTranscriber(const Locale& locale, TranscriptionPreset preset) = 0;

  // Whether the model the modules need is installed; unsupported when one
  // of the modules is not this engine's. Never throws.
  virtual AssetStatus assetStatus(const Modules& modules) = 0;
  // A request that installs the model, or nullopt when this engine cannot
  // install it. Throws SpeechEngineError when asking fails.
  virtual std::optional<AssetInstallationRequest> assetInstallationRequest(const Modules& modules) = 0;
  // Asks the engine to keep the locale's model available. The result and
  // any SpeechEngineError thrown are advisory: the pipeline goes on either way.
  virtual bool reserve(const Locale& locale) = 0;

  // The format the analyzer wants to be fed, or nullopt when the engine
  // proposes none. Never throws.
  virtual std::optional<AudioFormat> bestAvailableAudioFormat(const Modules& modules) = 0;
  // An analyzer that drives `modules`. Throws SpeechEngineError when a
  // module is not this engine's or already has an analyzer.
  virtual std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const Modules& modules, const SpeechAnalyzerOptions& options) = 0;
};

}  // namespace veskar

#endif  // VESKAR_ENGINE_SPEECH_ENGINE_H_
