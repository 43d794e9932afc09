// The last stage of a source's front end: converts 16 kHz mono int16
// frames into the engine's format (rate through libsoxr, sample type,
// channel layout). One resampler is one continuous stream: it keeps the
// filter's state, and frames it has not yet delivered, from one call to the
// next, and it is never told that the input has ended. The only user of
// libsoxr. Not thread-safe.
#ifndef VESKAR_AUDIO_RESAMPLER_H_
#define VESKAR_AUDIO_RESAMPLER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audio/audio_format.h"
#include "basics/described_error.h"

namespace veskar {

// A failure of the resampler itself; what() is libsoxr's text.
class ResamplerError : public DescribedError {
 public:
  using DescribedError::DescribedError;
};

class Resampler {
 public:
  // The input rate of every resampler: the host's PCM.
  static constexpr double kInputRate = 16000.0;

  // Returns null when `to` cannot be produced (libsoxr refuses the rates).
  static std::unique_ptr<Resampler> make(const AudioFormat& to);

  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  const AudioFormat& outputFormat() const { return to_; }

  // Takes 16 kHz mono frames. Throws ResamplerError when libsoxr fails;
  // nothing of `input` is kept then.
  void push(std::span<const int16_t> input);

  // Moves as many converted frames as are ready, at most the buffer's
  // capacity, into `output` (in the output format) and sets its length.
  void pull(PcmBuffer& output);

  // Frames converted but not yet delivered (past an output's capacity).
  std::size_t pendingFrames() const { return pending_.size() - pendingStart_; }

 private:
  Resampler(const AudioFormat& to, void* soxr);

  const AudioFormat to_;
  void* soxr_;  // soxr_t; null when the rates are equal
  std::vector<float> scratchIn_;
  std::vector<float> scratchOut_;
  std::vector<float> pending_;  // mono frames at the output rate
  std::size_t pendingStart_ = 0;
};

}  // namespace veskar

#endif  // VESKAR_AUDIO_RESAMPLER_H_
