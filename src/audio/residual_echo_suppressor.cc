#include "audio/residual_echo_suppressor.h"

#include <algorithm>
#include <cmath>

namespace veskar {

namespace {

// Below this mean square (about -70 dBFS) a block is silence, whatever the
// canceller did to it.
constexpr double silentMeanSquare = 10.0 * 10.0;

double meanSquare(std::span<const int16_t> samples) {
  double sum = 0;
  for (int16_t sample : samples) sum += static_cast<double>(sample) * sample;
  return samples.empty() ? 0 : sum / static_cast<double>(samples.size());
}

}  // namespace

void ResidualEchoSuppressor::process(std::span<const int16_t> microphone, std::span<int16_t> cancelled) {
  const double in = meanSquare(microphone);
  double target = 1;
  if (in > silentMeanSquare) {
    const double ratioDb = 10 * std::log10(std::max(meanSquare(cancelled), 1e-3) / in);
    const double depth = std::clamp((settings_.keepAboveDb - ratioDb) / (settings_.keepAboveDb - settings_.fullBelowDb), 0.0, 1.0);
    target = std::pow(10, depth * settings_.attenuationDb / 20);
  }
  // Across the block from the previous gain to this one: no step to click.
  const double start = gain_;
  const auto count = static_cast<double>(cancelled.size());
  for (std::size_t i = 0; i < cancelled.size(); ++i) {
    const double gain = start + (target - start) * static_cast<double>(i + 1) / count;
    cancelled[i] = static_cast<int16_t>(std::lround(cancelled[i] * gain));
  }
  gain_ = target;
}

}  // namespace veskar
