// The engine boundary's transcriber and analyzer for any engine built on a
// StreamingDecoder: the analyzer's phases (prepare, start, finalise), the
// fan-out of results to its transcribers, and the map from the decoder's
// samples back to the source's timeline. The utterance rules are the
// UtterancePolicy's; everything engine-specific is behind the decoder.
#ifndef VESKAR_ENGINE_STREAMING_ANALYZER_H_
#define VESKAR_ENGINE_STREAMING_ANALYZER_H_

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/speech_engine.h"
#include "engine/streaming_decoder.h"

namespace veskar {

// A transcriber of a streaming engine. It serves one analyzer: the first
// to claim it.
class StreamingTranscriber final : public SpeechTranscriber {
 public:
  ResultSequence& results() override { return channel_; }
  ResultChannel& channel() { return channel_; }
  // True for the first analyzer to ask.
  bool claim() { return !claimed_.exchange(true); }
  void release() { claimed_ = false; }

 private:
  ResultChannel channel_;
  std::atomic<bool> claimed_{false};
};

// The format every StreamingDecoder takes: 16 kHz mono int16.
AudioFormat streamingDecoderFormat();

class StreamingAnalyzer final : public SpeechAnalyzer {
 public:
  // Makes the decoder of one analysis, with its model loaded. Throws
  // SpeechEngineError.
  using DecoderLoader = std::function<std::unique_ptr<StreamingDecoder>()>;

  // `engineName` starts the analyzer's own error messages ("PocketSphinx
  // analysis was started twice").
  StreamingAnalyzer(std::string engineName, DecoderLoader loadDecoder,
                    std::vector<std::shared_ptr<StreamingTranscriber>> transcribers);

  // Loads the decoder. Throws SpeechEngineError when `format` is not
  // streamingDecoderFormat(), the decoder cannot be loaded, or the analysis
  // has begun.
  void prepareToAnalyze(const AudioFormat& format) override;
  void start(std::shared_ptr<InputSequence> inputSequence) override;
  void finalizeAndFinishThroughEndOfInput() override;

 private:
  enum class Phase { created, prepared, prepareFailed, running, over };

  void run(StreamingDecoder& decoder, InputSequence& inputs);
  void deliver(const TranscriptionResult& result);
  void finishResults();

  // Constant after construction.
  const std::string engineName_;
  const DecoderLoader loadDecoder_;
  const std::vector<std::shared_ptr<StreamingTranscriber>> transcribers_;

  std::mutex mutex_;
  std::condition_variable phaseChanged_;
  // State below is guarded by mutex_.
  Phase phase_ = Phase::created;
  std::unique_ptr<StreamingDecoder> decoder_;  // from prepared until start()
};

}  // namespace veskar

#endif  // VESKAR_ENGINE_STREAMING_ANALYZER_H_
