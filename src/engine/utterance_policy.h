// When an utterance begins and ends, when a partial result is due and what
// a result carries: the rules that turn a streaming decoder's running
// guesses into a sequence of results. It drives the decoder over the whole
// stream and emits each result as it is decided, in decoder samples.
//
// What it promises the host:
//   - every utterance that has shown a result ends with a final one, whose
//     text is never empty (when the decoder's final words are gone, the
//     last words shown stand);
//   - an utterance that has lasted kDensityGateAfter or more with fewer
//     than one word a second is not speech (music, typing, noise): it shows
//     nothing, and its words are never shown before that is known. Its
//     first partial is held until its words come at a speech-like rate;
//     a short utterance whose words never did shows them in its final.
//
// Not thread-safe: one policy per decoder, on the analysis thread.
#ifndef VESKAR_ENGINE_UTTERANCE_POLICY_H_
#define VESKAR_ENGINE_UTTERANCE_POLICY_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "engine/streaming_decoder.h"

namespace veskar {

// One result of an utterance. Positions are decoder samples from the start
// of the stream; every result of one utterance has the same start.
struct UtteranceResult {
  std::string text;
  int64_t startSample = 0;
  int64_t endSample = 0;  // >= startSample
  bool isFinal = false;
};

class UtterancePolicy {
 public:
  // Non-final results at most five times a second of audio. Audio time, not
  // wall time: the same audio gives the same results however fast it comes.
  static constexpr int64_t kPartialInterval = StreamingDecoder::kSampleRate / 5;
  // Unbroken speech longer than this is cut before the next quiet frame...
  static constexpr int64_t kLongUtterance = 20 * StreamingDecoder::kSampleRate;
  // ...or at once when no quiet frame comes within this much more audio.
  static constexpr int64_t kQuietFrameSearch = 2 * StreamingDecoder::kSampleRate;
  // A quiet frame: mean energy under a tenth (-10 dB) of the utterance's mean.
  static constexpr double kQuietEnergyRatio = 0.1;
  // How much audio the decoder takes between two looks at its voice
  // activity, so that the end of speech is seen within 20 ms of the audio
  // that shows it, whatever the size of the host's chunks.
  static constexpr uint32_t kVoiceCheckSamples = 320;
  // Audio kept before the speech that starts an utterance: the decoder's
  // first frame lies up to 30 frames (pre-speech buffer and start-up)
  // before the voice activity detector reports speech.
  static constexpr int64_t kTimelineMargin = StreamingDecoder::kSampleRate;
  // The word-density gate: an utterance this long or longer with fewer than
  // one word (fillers not counted) per second of its audio is not speech.
  // Measured: read and conversational utterances of 2 s or more run at
  // 1.5 to 3.5 words a second, the decoder's guesses on music, typing and
  // noise mostly under one.
  static constexpr int64_t kDensityGateAfter = 2 * StreamingDecoder::kSampleRate;
  static constexpr double kGateWordsPerSecond = 1.0;
  // The first partial of an utterance waits for this many words coming at
  // least kShownWordsPerSecond (speech is at 2 or more words within its
  // first 0.5 to 0.9 s), or, once the gate can judge, for words coming at
  // kSpeechWordsPerSecond: the gate's one word a second decides what is
  // surely not speech, and typing hovers around it.
  static constexpr int kShownWords = 2;
  static constexpr double kShownWordsPerSecond = 2.0;
  static constexpr double kSpeechWordsPerSecond = 1.5;

  using Emit = std::function<void(const UtteranceResult&)>;

  // `decoder` must outlive the policy.
  UtterancePolicy(StreamingDecoder& decoder, Emit emit);

  // Starts the decoder's stream and opens the first utterance.
  void start();
  // Decodes the next samples; emits the results they decide.
  void feed(std::span<const int16_t> samples);
  // End of input: closes the utterance in progress with its final result.
  void finish();

  // Samples fed so far.
  int64_t processedSamples() const { return processed_; }
  // The earliest decoder sample a later result may still start at.
  int64_t earliestNeededSample() const;

 private:
  void process(std::span<const int16_t> samples);
  void openUtterance();
  void beginSpeech();
  void endUtterance();
  // Ends the decoder's utterance with its final result; one that was not
  // speech is forgotten by the decoder.
  void closeUtterance();
  void emitPartialIfDue();
  // Returns whether the utterance was speech: it showed words.
  bool emitFinal();
  // Where the utterance's results start when its first segment starts at
  // `firstFrame`.
  int64_t resultStart(int firstFrame) const;
  // `lastFrame` < 0: no segmentation; the result ends where the last one did.
  void emit(std::string text, int firstFrame, int lastFrame, bool isFinal);
  bool isQuiet(std::span<const int16_t> samples) const;

  StreamingDecoder& decoder_;
  Emit emit_;

  int64_t processed_ = 0;    // decoder samples fed so far
  int64_t openedAt_ = 0;     // where the decoder's current utterance began
  bool speaking_ = false;    // inside speech: results are being made
  int64_t speechBegan_ = 0;  // where the detector reported it
  int64_t lastPartialAt_ = 0;
  double energySum_ = 0;
  int64_t energySamples_ = 0;
  std::string lastText_;          // of the last result shown
  bool emitted_ = false;          // the utterance has shown a result
  std::optional<int64_t> start_;  // decoder sample where the results start
  int64_t shift_ = 0;
  int64_t lastEnd_ = 0;
};

}  // namespace veskar

#endif  // VESKAR_ENGINE_UTTERANCE_POLICY_H_
