// One step of a source's audio front end, working on 16 kHz mono signed
// 16-bit samples between the decoded chunk and the resampler.
//
// A stage is stateful and is driven from one thread at a time (the source
// analyzer calls it under its own lock). It may hold frames back and emit
// them later, but every frame that enters leaves, once, in order: the
// analyzer stamps the timeline with the frames a stage emits, so start
// times still abut.
#ifndef VESKAR_AUDIO_AUDIO_STAGE_H_
#define VESKAR_AUDIO_AUDIO_STAGE_H_

#include <cstdint>
#include <span>
#include <vector>

namespace veskar {

class AudioStage {
 public:
  virtual ~AudioStage() = default;

  // Takes the source's next frames and appends to `output` whatever the
  // stage emits now (fewer or more frames than it was given).
  virtual void process(std::span<const int16_t> input, std::vector<int16_t>& output) = 0;

  // Takes reference audio (the meeting, for the microphone's front end):
  // `samples` start at frame `referenceOffset` of the reference source's
  // own input timeline. A stage that waited for this reference may emit
  // held frames into `output`. Stages that use no reference ignore it.
  virtual void processReference(int64_t referenceOffset, std::span<const int16_t> samples,
                                std::vector<int16_t>& output) {
    (void)referenceOffset;
    (void)samples;
    (void)output;
  }

  // End of input: appends every frame still held to `output`.
  virtual void drain(std::vector<int16_t>& output) { (void)output; }
};

}  // namespace veskar

#endif  // VESKAR_AUDIO_AUDIO_STAGE_H_
