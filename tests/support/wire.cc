#include "support/wire.h"

#include <algorithm>

#include <cmath>

namespace veskar::testing {

std::string encodeBase64(const std::string& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                       uint8_t(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i + 1 == bytes.size()) {
    const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == bytes.size()) {
    const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string pcmBytes(const std::vector<int16_t>& samples) {
  std::string out;
  out.reserve(samples.size() * 2);
  for (const int16_t s : samples) {
    out.push_back(static_cast<char>(static_cast<uint16_t>(s) & 0xFF));
    out.push_back(static_cast<char>(static_cast<uint16_t>(s) >> 8));
  }
  return out;
}

std::string audioLine(int64_t source, const std::string& bytes) {
  return "{\"type\":\"audio\",\"source_id\":" + std::to_string(source) + ",\"pcm_base64\":\"" + encodeBase64(bytes) +
         "\"}\n";
}

std::string tone(std::size_t frames, int16_t amplitude) {
  std::vector<int16_t> samples(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    samples[i] = static_cast<int16_t>(amplitude * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(i) / 16000.0));
  }
  return pcmBytes(samples);
}

std::string interleavedSession(const std::map<int64_t, std::string>& pcmBySource, std::size_t chunkBytes) {
  std::size_t longest = 0;
  for (const auto& [source, pcm] : pcmBySource) longest = std::max(longest, pcm.size());
  std::string input;
  for (std::size_t at = 0; at < longest; at += chunkBytes) {
    for (const auto& [source, pcm] : pcmBySource) {
      if (at < pcm.size()) input += audioLine(source, pcm.substr(at, chunkBytes));
    }
  }
  return input + "{\"type\":\"finish\"}\n";
}

}  // namespace veskar::testing
