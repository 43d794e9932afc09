// Small pieces shared by the benchmarks.
#ifndef VESKAR_BENCH_BENCH_SUPPORT_H_
#define VESKAR_BENCH_BENCH_SUPPORT_H_

#include <cmath>
#include <cstdint>
#include <string>

#include "support/wire.h"

namespace veskar::bench {

// An "audio" line (without terminator) carrying `frames` samples of speech-like noise.
inline std::string audioLine(int64_t source, std::size_t frames, uint32_t sequence = 1) {
  std::string pcm(frames * 2, '\0');
  uint32_t state = 12345;
  for (std::size_t i = 0; i < frames; ++i) {
    state = state * 1664525u + 1013904223u;
    const auto sample = static_cast<int16_t>(3000 * std::sin(double(i) * 0.07) + int32_t(state >> 20) - 2048);
    pcm[2 * i] = static_cast<char>(static_cast<uint16_t>(sample) & 0xFF);
    pcm[2 * i + 1] = static_cast<char>(static_cast<uint16_t>(sample) >> 8);
  }
  return "{\"type\":\"audio\",\"source_id\":" + std::to_string(source) + ",\"sequence\":" + std::to_string(sequence) +
         ",\"captured_at_ms\":1733820000000,\"pcm_base64\":\"" + testing::encodeBase64(pcm) + "\"}";
}

}  // namespace veskar::bench

#endif  // VESKAR_BENCH_BENCH_SUPPORT_H_
