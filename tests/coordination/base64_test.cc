#include "coordination/base64.h"

#include <gtest/gtest.h>

#include "support/wire.h"

namespace veskar {
namespace {

TEST(Base64, DecodesCanonicalText) {
  const struct {
    const char* text;
    std::string bytes;
  } cases[] = {
      {"", ""},
      {"AA==", std::string(1, '\0')},
      {"AAE=", std::string("\0\1", 2)},
      {"AAABAP//", std::string("\0\0\1\0\xff\xff", 6)},
      {"Zm9vYmFy", "foobar"},
      {"Zm9vYg==", "foob"},
      {"+/+/", "\xfb\xff\xbf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(decodeBase64(c.text), c.bytes);
  }
}

TEST(Base64, RejectsAnythingLenient) {
  const char* cases[] = {
      "A",         "AA",       "AAA",     "AAAAA",      // lengths
      "AA=",       "A===",     "====",    "=AAA",       // padding misplaced
      "AA==AA==",  "AA=A",                              // padding inside
      "AAA\n",     "AA\nAA==", "AAAA\r\n", " AAA", "AA A", "AAA\t",  // whitespace
      "AA-_",      "AA.A",     "AA\xc3\xa9",            // other alphabets and characters
      "AB==",      "AAF=",                              // non-zero unused bits
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(decodeBase64(text).has_value());
  }
}

TEST(Base64, RoundTripsEveryByteAndLength) {
  std::string bytes;
  for (int i = 0; i < 600; ++i) {
    bytes.push_back(static_cast<char>(i * 37 + 11));
    SCOPED_TRACE(i);
    ASSERT_EQ(decodeBase64(testing::encodeBase64(bytes)), bytes);
  }
}

}  // namespace
}  // namespace veskar
