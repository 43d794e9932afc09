#include "protocol/utf8.h"

#include <cstdint>
#include <cstring>

namespace veskar {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence that starts at `pos`, or, when it is
// ill-formed, 0 with `subpart` set to the length of its maximal subpart.
std::size_t sequenceLength(std::string_view text, std::size_t pos, std::size_t& subpart) {
  const auto lead = static_cast<uint8_t>(text[pos]);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    subpart = 1;
    return 0;
  }
  std::size_t next = pos + 1;
  for (std::size_t k = 1; k < length; ++k, ++next) {
    if (next >= text.size()) break;
    const auto byte = static_cast<uint8_t>(text[next]);
    const uint8_t lo = k == 1 ? low : 0x80;
    const uint8_t hi = k == 1 ? high : 0xBF;
    if (byte < lo || byte > hi) break;
  }
  if (next - pos == length) return length;
  subpart = next - pos;
  return 0;
}

std::size_t firstInvalid(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    // Fast path over ASCII, eight bytes at a time.
    while (pos + 8 <= text.size()) {
      uint64_t word;
      std::memcpy(&word, text.data() + pos, 8);
      if (word & 0x8080808080808080ULL) break;
      pos += 8;
    }
    if (pos >= text.size()) break;
    std::size_t subpart = 0;
    const std::size_t length = sequenceLength(text, pos, subpart);
    if (length == 0) return pos;
    pos += length;
  }
  return std::string_view::npos;
}

}  // namespace

bool isValidUtf8(std::string_view text) { return firstInvalid(text) == std::string_view::npos; }

std::string repairUtf8(std::string_view text) {
  std::size_t pos = firstInvalid(text);
  if (pos == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size() + 16);
  out.append(text.substr(0, pos));
  while (pos < text.size()) {
    std::size_t subpart = 0;
    const std::size_t length = sequenceLength(text, pos, subpart);
    if (length == 0) {
      out.append(kReplacement);
      pos += subpart;
    } else {
      out.append(text.substr(pos, length));
      pos += length;
    }
  }
  return out;
}

void repairUtf8InPlace(std::string& text) {
  if (firstInvalid(text) == std::string_view::npos) return;
  text = repairUtf8(text);
}

}  // namespace veskar
