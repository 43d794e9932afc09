// Removes what echo the adaptive canceller leaves. The canceller's linear
// filter takes 20 to 30 dB off the echo; the rest is quiet, but a speech
// recogniser normalises level and transcribes it as mumbled words. Where
// the canceller took most of a block's energy away, the block was echo and
// little else, so what remains is attenuated further; where the block
// keeps most of its energy, someone in the room is speaking and it passes
// untouched. Not thread-safe.
#ifndef VESKAR_AUDIO_RESIDUAL_ECHO_SUPPRESSOR_H_
#define VESKAR_AUDIO_RESIDUAL_ECHO_SUPPRESSOR_H_

#include <cstdint>
#include <span>

namespace veskar {

class ResidualEchoSuppressor {
 public:
  struct Settings {
    // Output within this of the input (dB): passes untouched.
    double keepAboveDb = -12;
    // Output this far below the input or further: attenuated fully.
    double fullBelowDb = -24;
    // Full attenuation (dB).
    double attenuationDb = -30;
  };

  explicit ResidualEchoSuppressor(const Settings& settings) : settings_(settings) {}

  // `cancelled` is the canceller's output for the frames of `microphone`;
  // it is attenuated in place, the gain moving smoothly across the block
  // from where the previous block left it.
  void process(std::span<const int16_t> microphone, std::span<int16_t> cancelled);

  void reset() { gain_ = 1; }

 private:
  const Settings settings_;
  double gain_ = 1;
};

}  // namespace veskar

#endif  // VESKAR_AUDIO_RESIDUAL_ECHO_SUPPRESSOR_H_
