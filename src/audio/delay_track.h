// Follows the echo delay through successive estimates: a straight line
// fitted to the recent consistent estimates, whose slope is the clock drift
// between the microphone and the meeting audio and whose value at a frame
// is the delay to align that frame with. An estimate far off the line
// starts a new line once a second one agrees with it (the streams were
// re-timed: a stall, a restart). Not thread-safe.
#ifndef VESKAR_AUDIO_DELAY_TRACK_H_
#define VESKAR_AUDIO_DELAY_TRACK_H_

#include <cstddef>
#include <deque>
#include <optional>

namespace veskar {

class DelayTrack {
 public:
  struct Settings {
    // Estimates within this of the line belong to it (2 ms at 16 kHz: well
    // above the estimator's error, well below a re-timing worth noticing).
    double toleranceFrames = 32;
    // The fit uses the estimates of this many latest frames (20 s).
    double spanFrames = 320000;
    // No slope before the estimates cover this many frames (6 s): a slope
    // over a short span is mostly the estimator's own error.
    double minimumSlopeSpanFrames = 96000;
    // 1000 ppm: far beyond any pair of sound cards.
    double maximumDrift = 1e-3;
  };

  enum class Update { started, followed, jumped, rejected };

  explicit DelayTrack(const Settings& settings) : settings_(settings) {}

  // Adds the delay estimated for the window centred on microphone frame
  // `frame` (frames only rise). Returns started for the first estimate,
  // followed when it fits the line, jumped when it and the previous outlier
  // agree and the line restarts from them, rejected for a lone outlier.
  Update add(double frame, double delayFrames);

  // The line's delay at `frame`; nullopt before the first estimate.
  std::optional<double> delayAt(double frame) const;

  // Delay change per frame (1e-4 is 100 ppm); 0 until the estimates span
  // minimumSlopeSpanFrames.
  double drift() const { return slope_; }

  void reset();

 private:
  struct Point {
    double frame;
    double delay;
  };

  void refit();

  const Settings settings_;
  std::deque<Point> points_;
  std::optional<Point> outlier_;
  double intercept_ = 0;  // delay at frame 0 of the fit's own origin
  double origin_ = 0;
  double slope_ = 0;
};

}  // namespace veskar

#endif  // VESKAR_AUDIO_DELAY_TRACK_H_
