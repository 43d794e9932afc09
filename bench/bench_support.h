// Small pieces shared by the benchmarks.
#ifndef VESKAR_BENCH_BENCH_SUPPORT_H_
#define VESKAR_BENCH_BENCH_SUPPORT_H_

#include <cmath>
#include <cstdint>
#include <string>

namespace veskar::bench {

inline std::string base64(const std::string& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                       uint8_t(bytes[i + 2]);
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], kAlphabet[v & 63]};
  }
  if (i + 1 == bytes.size()) {
    const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8);
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
  }
  return out;
}

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
         ",\"captured_at_ms\":1733820000000,\"pcm_base64\":\"" + base64(pcm) + "\"}";
}

}  // namespace veskar::bench

#endif  // VESKAR_BENCH_BENCH_SUPPORT_H_
