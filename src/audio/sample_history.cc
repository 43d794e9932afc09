#include "audio/sample_history.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace veskar {

namespace {

constexpr int phases = 256;
constexpr int taps = 2 * static_cast<int>(SampleHistory::interpolationReach);

// Blackman-windowed sinc, one row of taps per fractional phase; the taps
// of row p weigh frames -reach+1 .. reach around a position p/phases past
// a frame. Row 0 is the identity, so whole-frame positions copy exactly.
using Kernel = std::array<std::array<float, taps>, phases>;

Kernel makeKernel() {
  Kernel kernel{};
  for (int phase = 0; phase < phases; ++phase) {
    const double fraction = static_cast<double>(phase) / phases;
    double sum = 0;
    for (int tap = 0; tap < taps; ++tap) {
      const double x = (tap - static_cast<int>(SampleHistory::interpolationReach) + 1) - fraction;
      const double sinc = x == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
      const double w = (x + SampleHistory::interpolationReach) / (2.0 * SampleHistory::interpolationReach);
      const double window = 0.42 - 0.5 * std::cos(2 * std::numbers::pi * w) + 0.08 * std::cos(4 * std::numbers::pi * w);
      kernel[phase][tap] = static_cast<float>(sinc * window);
      sum += sinc * window;
    }
    // Unity gain at low frequencies for every phase.
    for (auto& value : kernel[phase]) value = static_cast<float>(value / sum);
  }
  return kernel;
}

const Kernel& kernel() {
  static const Kernel table = makeKernel();
  return table;
}

}  // namespace

void SampleHistory::append(int64_t offset, std::span<const int16_t> samples) {
  if (samples_.empty() && start_ == 0 && offset > 0) start_ = offset;
  const int64_t skip = std::max<int64_t>(0, end() - offset);
  if (skip >= static_cast<int64_t>(samples.size())) return;
  if (offset > end()) samples_.resize(samples_.size() + static_cast<std::size_t>(offset - end()), 0);
  samples_.insert(samples_.end(), samples.begin() + skip, samples.end());
}

void SampleHistory::copy(int64_t first, std::span<float> out) const {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = at(first + static_cast<int64_t>(i));
}

void SampleHistory::interpolate(double position, double step, std::span<int16_t> out) const {
  const Kernel& table = kernel();
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double where = position + static_cast<double>(i) * step;
    const double whole = std::floor(where);
    int phase = static_cast<int>(std::lround((where - whole) * phases));
    auto frame = static_cast<int64_t>(whole);
    if (phase == phases) {
      phase = 0;
      ++frame;
    }
    const auto& weights = table[phase];
    double value = 0;
    const int64_t first = frame - interpolationReach + 1;
    for (int tap = 0; tap < taps; ++tap) value += weights[tap] * at(first + tap);
    out[i] = static_cast<int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
  }
}

void SampleHistory::forgetBefore(int64_t frame) {
  const int64_t drop = std::min<int64_t>(frame - start_, static_cast<int64_t>(samples_.size()));
  if (drop <= 0) return;
  // Erasing from the front moves the rest; doing it only once half the
  // storage is dead keeps appends amortised constant.
  if (drop * 2 < static_cast<int64_t>(samples_.size()) && drop < 16000) return;
  samples_.erase(samples_.begin(), samples_.begin() + drop);
  start_ += drop;
}

}  // namespace veskar
