// Strict Base64: the decoder accepts exactly the canonical encodings.
//
// Every byte string has one canonical padded encoding, so a text is
// acceptable iff it is the encoding of something. A lenient decoder that is
// right on canonical texts (and does anything on the rest) finds that
// something: the text is canonical iff encoding what the lenient decoder
// makes of it gives the text back. The fuzz input is also taken as bytes to
// encode, which must decode to themselves.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "coordination/base64.h"
#include "support/wire.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "fuzz_base64: %s (input of %zu bytes)\n", what, input.size());
  std::abort();
}

#define CHECK(condition, input)                  \
  do {                                           \
    if (!(condition)) fail(#condition, (input)); \
  } while (0)

int symbolValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;  // anything else; such a text is never canonical
}

// Right for canonical texts only: trailing '=' dropped, every other character
// read as six bits, whole bytes kept.
std::string lenientDecode(std::string_view text) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    bits = (bits << 6) | static_cast<uint32_t>(symbolValue(c));
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  // The input as a text to decode.
  const std::optional<std::string> decoded = veskar::decodeBase64(input);
  const std::string candidate = lenientDecode(input);
  const bool canonical = veskar::testing::encodeBase64(candidate) == input;
  CHECK(decoded.has_value() == canonical, input);
  if (decoded) {
    CHECK(*decoded == candidate, input);
    CHECK(veskar::testing::encodeBase64(*decoded) == input, input);
  }

  // The input as bytes to encode.
  const std::string encoded = veskar::testing::encodeBase64(input);
  const std::optional<std::string> roundTrip = veskar::decodeBase64(encoded);
  CHECK(roundTrip.has_value(), input);
  CHECK(*roundTrip == input, input);

  // One flipped symbol or a dropped padding character is never accepted as
  // the same bytes: canonical encodings are unique.
  if (!encoded.empty()) {
    std::string altered = encoded;
    const std::size_t at = size % encoded.size();
    altered[at] = altered[at] == 'A' ? 'B' : 'A';
    const std::optional<std::string> other = veskar::decodeBase64(altered);
    CHECK(!other || *other != input, input);
    if (encoded.back() == '=') {
      CHECK(!veskar::decodeBase64(std::string_view(encoded).substr(0, encoded.size() - 1)), input);
    }
  }
  return 0;
}
