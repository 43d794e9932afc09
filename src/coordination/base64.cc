#include "coordination/base64.h"

#include <array>
#include <cstdint>

namespace veskar {
namespace {

constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> makeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
  return table;
}

constexpr std::array<uint8_t, 256> kTable = makeTable();

}  // namespace

std::optional<std::string> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.resize(text.size() / 4 * 3);
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  const std::size_t fullQuads = text.size() / 4 - (padding > 0 ? 1 : 0);
  char* dst = out.data();
  for (std::size_t q = 0; q < fullQuads; ++q, in += 4, dst += 3) {
    const uint8_t a = kTable[in[0]], b = kTable[in[1]], c = kTable[in[2]], d = kTable[in[3]];
    if (((a | b | c | d) & 0xC0) != 0) return std::nullopt;  // kInvalid has those bits, symbols never
    const uint32_t bits = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6) | d;
    dst[0] = static_cast<char>(bits >> 16);
    dst[1] = static_cast<char>(bits >> 8);
    dst[2] = static_cast<char>(bits);
  }
  if (padding > 0) {
    const uint8_t a = kTable[in[0]], b = kTable[in[1]];
    const uint8_t c = padding == 2 ? 0 : kTable[in[2]];
    if (a == kInvalid || b == kInvalid || c == kInvalid) return std::nullopt;
    if (padding == 2 && in[2] != '=') return std::nullopt;
    // The unused low bits of the last symbol must be zero (canonical form).
    if (padding == 2 && (b & 0x0F) != 0) return std::nullopt;
    if (padding == 1 && (c & 0x03) != 0) return std::nullopt;
    const uint32_t bits = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6);
    dst[0] = static_cast<char>(bits >> 16);
    if (padding == 1) dst[1] = static_cast<char>(bits >> 8);
    out.resize(out.size() - padding);
  }
  return out;
}

}  // namespace veskar
