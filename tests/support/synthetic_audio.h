// Synthetic signals for the echo-cancellation tests: speech-like noise
// (speech-band noise under a syllable-rate envelope with pauses) and the
// echo a loudspeaker leaves in a microphone (delay, room response, level,
// optional clock drift).
#ifndef VESKAR_TESTS_SUPPORT_SYNTHETIC_AUDIO_H_
#define VESKAR_TESTS_SUPPORT_SYNTHETIC_AUDIO_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace veskar::testing {

// Speech-band noise (roughly 150 Hz .. 4 kHz) at about `rms`, shaped into
// syllables of 100..300 ms with occasional pauses.
inline std::vector<float> speechLike(std::size_t frames, uint32_t seed, double rms = 3000) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0, 1);
  std::uniform_int_distribution<int> syllable(1600, 4800);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<float> out(frames);
  double low = 0;
  double previous = 0;
  std::size_t at = 0;
  while (at < frames) {
    const auto length = static_cast<std::size_t>(syllable(random));
    const double level = unit(random) < 0.15 ? 0.0 : 0.5 + unit(random);
    for (std::size_t i = 0; i < length && at < frames; ++i, ++at) {
      low = 0.6 * low + 0.4 * noise(random);  // gentle low-pass
      const double band = low - 0.94 * previous;  // and high-pass
      previous = low;
      const double envelope = std::sin(std::numbers::pi * static_cast<double>(i) / static_cast<double>(length));
      out[at] = static_cast<float>(rms * 1.6 * level * envelope * band);
    }
  }
  return out;
}

// A room's response: a direct path of weight 1 at tap 0, then sparse
// reflections decaying over `lengthFrames`.
inline std::vector<float> roomResponse(std::size_t lengthFrames, uint32_t seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0, 1);
  std::vector<float> taps(lengthFrames, 0.0f);
  taps[0] = 1.0f;
  for (std::size_t i = 40; i < lengthFrames; i += 7) {
    const double decay = std::exp(-5.0 * static_cast<double>(i) / static_cast<double>(lengthFrames));
    taps[i] = static_cast<float>(0.25 * decay * noise(random));
  }
  return taps;
}

// The echo of `reference` in a microphone: frame n holds gain x (room *
// reference) at reference position (n - delayFrames) * (1 + drift), read
// by linear interpolation (the test signal has little energy where linear
// interpolation errs).
inline std::vector<float> echoOf(const std::vector<float>& reference, std::size_t frames, double delayFrames,
                                 double gain, const std::vector<float>& room, double drift = 0) {
  std::vector<std::size_t> taps;
  for (std::size_t k = 0; k < room.size(); ++k) {
    if (room[k] != 0) taps.push_back(k);
  }
  std::vector<float> wet(reference.size(), 0.0f);
  for (std::size_t n = 0; n < reference.size(); ++n) {
    double sum = 0;
    for (std::size_t k : taps) {
      if (k > n) break;
      sum += room[k] * reference[n - k];
    }
    wet[n] = static_cast<float>(sum);
  }
  std::vector<float> out(frames, 0.0f);
  for (std::size_t n = 0; n < frames; ++n) {
    const double position = (static_cast<double>(n) - delayFrames) * (1 + drift);
    if (position < 0 || position + 1 >= static_cast<double>(wet.size())) continue;
    const auto whole = static_cast<std::size_t>(position);
    const double fraction = position - static_cast<double>(whole);
    out[n] = static_cast<float>(gain * ((1 - fraction) * wet[whole] + fraction * wet[whole + 1]));
  }
  return out;
}

// A microphone's own noise: white noise at `rms`.
inline std::vector<float> noiseFloor(std::size_t frames, uint32_t seed, double rms) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0, rms);
  std::vector<float> out(frames);
  for (float& sample : out) sample = static_cast<float>(noise(random));
  return out;
}

inline std::vector<float> mix(const std::vector<float>& a, const std::vector<float>& b) {
  std::vector<float> out(std::max(a.size(), b.size()), 0.0f);
  for (std::size_t i = 0; i < a.size(); ++i) out[i] += a[i];
  for (std::size_t i = 0; i < b.size(); ++i) out[i] += b[i];
  return out;
}

inline std::vector<int16_t> toPcm(const std::vector<float>& signal) {
  std::vector<int16_t> out(signal.size());
  std::ranges::transform(signal, out.begin(), [](float value) {
    return static_cast<int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
  });
  return out;
}

inline double meanSquare(const std::vector<int16_t>& signal, std::size_t first, std::size_t last) {
  double sum = 0;
  for (std::size_t i = first; i < last; ++i) sum += static_cast<double>(signal[i]) * signal[i];
  return last > first ? sum / static_cast<double>(last - first) : 0;
}

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_SUPPORT_SYNTHETIC_AUDIO_H_
