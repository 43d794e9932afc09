// The map from a decoder's stream of samples back to the source's timeline.
#ifndef VESKAR_ENGINE_DECODER_TIMELINE_H_
#define VESKAR_ENGINE_DECODER_TIMELINE_H_

#include <cstdint>
#include <deque>

#include "engine/media_time.h"

namespace veskar {

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

#endif  // VESKAR_ENGINE_DECODER_TIMELINE_H_
