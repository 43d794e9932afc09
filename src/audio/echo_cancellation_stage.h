// The microphone's front-end stage that removes the meeting audio's echo:
// the microphone hears the loudspeakers. It owns the alignment of the
// reference (the meeting, source 1) with the microphone (source 0), the
// no-echo gate and the adaptive canceller.
//
// - Alignment: a GCC-PHAT delay estimate every half second over the last
//   3 s (found from the first half second when the echo is clear), +-1 s;
//   a line through the recent estimates (DelayTrack) gives the
//   delay at every frame and its slope the clock drift, which the reference
//   read follows by interpolation.
// - Gate: frames pass through untouched until two successive confident
//   estimates agree (echo present), and again after eight successive
//   unconfident ones while the meeting speaks (echo gone). A silent meeting
//   is no evidence either way.
// - Holding: while cancelling, a frame waits for the reference it needs,
//   but the stage never holds more than holdFrames (1.25 s) of the
//   microphone: past that, source 1 counts as absent (late, stalled,
//   failed, never started) and the microphone passes through unprocessed,
//   without waiting, until the reference catches up.
// Every frame that enters leaves once, in order; drain() emits the rest.
// The canceller's own latency is taken out: leaving the canceller, the
// frames inside it are flushed, and entering it, the frames it returns that
// already left are dropped, so each frame's audio keeps its place.
//
// Driven from one thread at a time (the source analyzer's lock).
#ifndef VESKAR_AUDIO_ECHO_CANCELLATION_STAGE_H_
#define VESKAR_AUDIO_ECHO_CANCELLATION_STAGE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "audio/audio_stage.h"
#include "audio/delay_estimator.h"
#include "audio/delay_track.h"
#include "audio/echo_canceller.h"
#include "audio/sample_history.h"

namespace veskar {

class EchoCancellationStage final : public AudioStage {
 public:
  struct Settings {
    DelayEstimator::Settings estimator;
    DelayTrack::Settings track;
    // The most microphone audio held waiting for its reference (1.25 s):
    // an echo 1 s ahead of its reference, a host's 100 ms chunks, the
    // canceller's block and the reference's lead and interpolation reach.
    int64_t holdFrames = 20000;
    // Successive confident estimates on one delay line that open the gate.
    int estimatesToOpen = 2;
    // Successive unconfident estimates, with the meeting speaking, that close it.
    int estimatesToClose = 8;
    // The canceller sees the reference this far ahead of its echo, so that
    // an alignment error of a few milliseconds stays inside its causal
    // filter (10 ms; on a synthetic echo 0, 4 and 10 ms gave 28, 30 and
    // 31 dB echo return loss enhancement).
    double referenceLeadFrames = 160;
    // Microphone audio run through the canceller, output discarded, when
    // the gate opens: the filter starts adapted (2 s).
    int64_t warmUpFrames = 32000;
  };

  enum class Mode {
    passing,     // no echo found: frames pass untouched
    cancelling,  // echo found: frames wait for their reference and are cancelled
    bypassing,   // echo found but the reference is missing: frames pass untouched
  };

  EchoCancellationStage(std::unique_ptr<EchoCanceller> canceller, const Settings& settings);

  void process(std::span<const int16_t> input, std::vector<int16_t>& output) override;
  void processReference(int64_t referenceOffset, std::span<const int16_t> samples,
                        std::vector<int16_t>& output) override;
  void drain(std::vector<int16_t>& output) override;

  Mode mode() const { return mode_; }
  // The delay line's value at the next frame to leave and its drift, once
  // there is one.
  std::optional<double> delayFrames() const { return track_.delayAt(static_cast<double>(emitted_)); }
  double drift() const { return track_.drift(); }

 private:
  void estimate(std::vector<int16_t>& output);
  void applyEstimate(const std::optional<DelayEstimate>& estimate, double frame, std::vector<int16_t>& output);
  void openGate(std::vector<int16_t>& output);
  void closeGate(std::vector<int16_t>& output);
  void emitReady(std::vector<int16_t>& output);
  // The reference position the canceller reads for microphone frame `frame`.
  double referencePosition(int64_t frame) const;
  bool referenceServes(int64_t frame, int64_t count) const;
  void cancelBlock(int64_t first, std::span<const int16_t> microphone, std::span<int16_t> output);
  // Feeds one block, its first `real` frames held input and the rest
  // silence, and emits every held frame that comes out.
  void feed(std::span<const int16_t> microphone, int64_t real, std::vector<int16_t>& output);
  // Emits the frames still inside the canceller.
  void flushCanceller(std::vector<int16_t>& output);
  void passHeld(std::vector<int16_t>& output);
  void forgetOld();

  const Settings settings_;
  const std::unique_ptr<EchoCanceller> canceller_;
  DelayEstimator estimator_;
  DelayTrack track_;
  SampleHistory microphone_;
  SampleHistory reference_;
  Mode mode_ = Mode::passing;
  int64_t received_ = 0;       // microphone frames in
  int64_t emitted_ = 0;        // microphone frames out
  // Frames not yet given to the canceller: from fed_ while cancelling, from
  // emitted_ otherwise. While cancelling, frames emitted_ .. fed_ - 1 are
  // inside the canceller.
  std::vector<int16_t> held_;
  int64_t fed_ = 0;
  int64_t fedWithPadding_ = 0;  // fed_ and any silence fed after it
  int64_t nextEstimate_ = 0;   // first frame of the next microphone block to estimate
  int agreeing_ = 0;
  int unconfident_ = 0;
  std::vector<float> microphoneBlock_;
  std::vector<float> referenceSpan_;
  std::vector<int16_t> referenceBlock_;
  std::vector<int16_t> cancelledBlock_;
};

}  // namespace veskar

#endif  // VESKAR_AUDIO_ECHO_CANCELLATION_STAGE_H_
