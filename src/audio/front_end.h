// The front end of one source: its chain of AudioStages on 16 kHz mono
// int16 audio, then the resampler into the engine's format. Built when the
// source starts and kept for its whole life.
//
// Every operation returns the engine-format frames that are ready after it
// (null when there are none), in order, so the caller stamps them on the
// source's timeline as they come. Frames a stage holds back come out of a
// later call. Not thread-safe: the source analyzer calls it under its own
// lock.
#ifndef VESKAR_AUDIO_FRONT_END_H_
#define VESKAR_AUDIO_FRONT_END_H_

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audio/audio_format.h"
#include "audio/audio_stage.h"
#include "audio/resampler.h"
#include "basics/described_error.h"

namespace veskar {

// An output buffer could not be allocated (or its size does not fit one).
class AudioBufferUnavailable : public DescribedError {
 public:
  AudioBufferUnavailable() : DescribedError("An audio buffer could not be allocated") {}
};

class FrontEnd {
 public:
  // REQUIRES: `resampler` is not null.
  FrontEnd(std::vector<std::unique_ptr<AudioStage>> stages, std::unique_ptr<Resampler> resampler);

  const AudioFormat& outputFormat() const { return resampler_->outputFormat(); }
  // True when a stage works on reference audio: only then is it worth
  // handing any over.
  bool takesReference() const { return !stages_.empty(); }

  // The source's own frames. Throws AudioBufferUnavailable when the output
  // buffer cannot be made (nothing has changed then) and ResamplerError.
  std::shared_ptr<PcmBuffer> process(std::span<const int16_t> samples);

  // Reference audio for the stages (see AudioStage::processReference).
  // Throws as process() does.
  std::shared_ptr<PcmBuffer> processReference(int64_t referenceOffset, std::span<const int16_t> samples);

  // End of input: the frames the stages still hold. The resampler is not
  // flushed: it is one stream that is never told the input ended.
  std::shared_ptr<PcmBuffer> drain();

 private:
  // Replaces `frames` by what stage `stage` emits for them.
  void runThrough(std::size_t stage, std::vector<int16_t>& frames);
  std::shared_ptr<PcmBuffer> convert(std::span<const int16_t> frames);

  std::vector<std::unique_ptr<AudioStage>> stages_;
  std::unique_ptr<Resampler> resampler_;
  std::vector<int16_t> scratch_;
};

}  // namespace veskar

#endif  // VESKAR_AUDIO_FRONT_END_H_
