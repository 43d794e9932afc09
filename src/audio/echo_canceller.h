// The adaptive echo canceller under the echo-cancellation stage: it takes
// the microphone and the reference already aligned to it, 10 ms at a time,
// and returns the microphone with the reference's echo removed. A seam so
// that the stage's holding and gating rules are tested with a canceller
// whose effect is known.
#ifndef VESKAR_AUDIO_ECHO_CANCELLER_H_
#define VESKAR_AUDIO_ECHO_CANCELLER_H_

#include <cstdint>
#include <memory>
#include <span>

#include "audio/echo_cancellation_error.h"

namespace veskar {

class EchoCanceller {
 public:
  // 10 ms at 16 kHz.
  static constexpr std::size_t blockFrames = 160;

  virtual ~EchoCanceller() = default;

  // REQUIRES: every span holds blockFrames samples; `reference` is the
  // meeting audio that the microphone block's echo comes from, aligned so
  // that the echo follows it by no more than the canceller's filter span.
  // Throws EchoCancellerError when the library fails.
  virtual void process(std::span<const int16_t> reference, std::span<const int16_t> microphone,
                       std::span<int16_t> output) = 0;

  // Forgets the adapted filter, as after a break in the reference.
  virtual void reset() = 0;

  // How many frames the output lags the microphone input: output frame
  // n + latencyFrames() is input frame n, cancelled. At most blockFrames.
  virtual std::size_t latencyFrames() const = 0;
};

// webrtc-audio-processing's canceller (extended filter, delay-agnostic, low
// suppression, high-pass filter on; its noise suppression, gain control
// and drift compensation off). Throws EchoCancellerError when it cannot be
// set up.
std::unique_ptr<EchoCanceller> makeWebRtcEchoCanceller();

}  // namespace veskar

#endif  // VESKAR_AUDIO_ECHO_CANCELLER_H_
