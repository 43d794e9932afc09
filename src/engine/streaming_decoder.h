// The decoder under the engine-neutral analyzer: a recogniser that takes
// audio a little at a time, tells whether it hears speech, and shows its
// current best guess of the words of the utterance in progress. One
// implementation per engine (src/engines/<name>/); tests fake it.
//
// Audio is 16 kHz mono int16. Positions are counted in frames of 10 ms
// (160 samples) from the start of the stream, without gaps: the decoder
// knows nothing of the source's timeline. Used by one thread at a time.
// Every operation throws SpeechEngineError on failure; after a failure the
// decoder is not used again.
#ifndef VESKAR_ENGINE_STREAMING_DECODER_H_
#define VESKAR_ENGINE_STREAMING_DECODER_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace veskar {

// One entry of the best path: a word or a filler (silence, noise).
struct DecodedSegment {
  int startFrame = 0;
  int endFrame = 0;  // inclusive
  bool isFiller = false;
};

class StreamingDecoder {
 public:
  static constexpr int kSampleRate = 16000;
  static constexpr int64_t kSamplesPerFrame = 160;

  virtual ~StreamingDecoder() = default;

  // Begins the stream: frame positions count from here.
  virtual void startStream() = 0;
  // Opens an utterance; the decoder takes audio only inside one.
  virtual void startUtterance() = 0;
  // Decodes the next samples of the open utterance.
  virtual void process(std::span<const int16_t> samples) = 0;
  // Whether the decoder's voice activity detector hears speech now.
  virtual bool inSpeech() = 0;
  // The words of the current best path of the utterance, joined by single
  // spaces, without fillers; empty when there are none.
  virtual std::string hypothesisText() = 0;
  // The current best path, in order.
  virtual std::vector<DecodedSegment> segments() = 0;
  // Closes the open utterance; its best path stays readable until the next
  // one opens.
  virtual void endUtterance() = 0;
  // The utterance just closed was not speech: whatever the decoder learnt
  // from its audio about the speaker and the channel (such as its feature
  // normalisation) is undone, so that noise and music do not shape how the
  // next speech is heard.
  virtual void forgetUtterance() = 0;
};

}  // namespace veskar

#endif  // VESKAR_ENGINE_STREAMING_DECODER_H_
