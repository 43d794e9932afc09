#include "wire_encoding.h"

#include <vector>

namespace veskar::tools {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

void appendBase64(std::string& out, std::span<const uint8_t> bytes) {
  out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t triple = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(kAlphabet[(triple >> 18) & 63]);
    out.push_back(kAlphabet[(triple >> 12) & 63]);
    out.push_back(kAlphabet[(triple >> 6) & 63]);
    out.push_back(kAlphabet[triple & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 0) return;
  uint32_t triple = uint32_t{bytes[i]} << 16;
  if (rest == 2) triple |= uint32_t{bytes[i + 1]} << 8;
  out.push_back(kAlphabet[(triple >> 18) & 63]);
  out.push_back(kAlphabet[(triple >> 12) & 63]);
  out.push_back(rest == 2 ? kAlphabet[(triple >> 6) & 63] : '=');
  out.push_back('=');
}

void appendAudioLine(std::string& out, int sourceId, std::span<const int16_t> samples) {
  std::vector<uint8_t> bytes(samples.size() * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto value = static_cast<uint16_t>(samples[i]);
    bytes[2 * i] = static_cast<uint8_t>(value & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>(value >> 8);
  }
  out += R"({"type":"audio","source_id":)";
  out += std::to_string(sourceId);
  out += R"(,"pcm_base64":")";
  appendBase64(out, bytes);
  out += "\"}\n";
}

std::string finishLine() { return "{\"type\":\"finish\"}\n"; }

}  // namespace veskar::tools
