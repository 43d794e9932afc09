// A stretch of one stream's samples addressed by frame number on that
// stream's own timeline, kept from a movable start to the last frame
// received. Frames outside the stretch read as silence (before a stream
// starts nothing was played). Reads at fractional positions interpolate
// with a windowed sinc, which is how the echo stage resamples the
// reference to follow clock drift. Not thread-safe.
#ifndef VESKAR_AUDIO_SAMPLE_HISTORY_H_
#define VESKAR_AUDIO_SAMPLE_HISTORY_H_

#include <cstdint>
#include <span>
#include <vector>

namespace veskar {

class SampleHistory {
 public:
  // Frames on either side of a fractional position that an interpolated
  // read uses.
  static constexpr int64_t interpolationReach = 8;

  // One past the last frame received (0 before any).
  int64_t end() const { return start_ + static_cast<int64_t>(samples_.size()); }

  // Stores `samples` as frames offset, offset + 1, ...: a gap before them
  // is filled with silence, frames already held are kept as they are.
  void append(int64_t offset, std::span<const int16_t> samples);

  // Writes frames first .. first + out.size() - 1 as floats.
  void copy(int64_t first, std::span<float> out) const;

  // Writes the signal at positions position + i * step (i = 0 .. out.size()
  // - 1), rounded to 16 bits. REQUIRES: step > 0.
  void interpolate(double position, double step, std::span<int16_t> out) const;

  // Frames before `frame` are no longer needed.
  void forgetBefore(int64_t frame);

 private:
  float at(int64_t frame) const {
    const int64_t index = frame - start_;
    return index >= 0 && index < static_cast<int64_t>(samples_.size()) ? samples_[static_cast<std::size_t>(index)] : 0.0f;
  }

  int64_t start_ = 0;
  std::vector<int16_t> samples_;
};

}  // namespace veskar

#endif  // VESKAR_AUDIO_SAMPLE_HISTORY_H_
