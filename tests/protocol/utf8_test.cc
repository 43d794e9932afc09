#include "protocol/utf8.h"

#include <gtest/gtest.h>

namespace veskar {
namespace {

constexpr const char* kFFFD = "\xEF\xBF\xBD";

std::string r(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += kFFFD;
  return s;
}

TEST(RepairUtf8, OneReplacementPerMaximalSubpart) {
  const struct {
    const char* name;
    std::string in;
    std::string out;
  } cases[] = {
      {"ASCII", "hello", "hello"},
      {"valid multibyte", "Grüße 東京 🎤", "Grüße 東京 🎤"},
      {"lone continuation", "a\x80z", "a" + r(1) + "z"},
      {"two continuations", "\x80\xBF", r(2)},
      {"invalid lead C0", "\xC0\xAF", r(2)},
      {"invalid lead F5", "\xF5\x80\x80\x80", r(4)},
      {"FF", "\xFF", r(1)},
      {"truncated 3-byte", "\xE2\x82" "z", r(1) + "z"},
      {"truncated 4-byte", "\xF0\x9F\x8E", r(1)},
      {"truncated at end", "ok\xE2", "ok" + r(1)},
      {"overlong 3-byte", "\xE0\x80\x80", r(3)},
      {"surrogate", "\xED\xA0\x80", r(3)},
      {"above U+10FFFF", "\xF4\x90\x80\x80", r(4)},
      {"the Unicode example", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + r(3) + "b" + r(1) + "c" + r(2) + "d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(repairUtf8(c.in), c.out);
    EXPECT_EQ(isValidUtf8(c.in), c.in == c.out);
    std::string inPlace = c.in;
    repairUtf8InPlace(inPlace);
    EXPECT_EQ(inPlace, c.out);
    EXPECT_TRUE(isValidUtf8(c.out));
  }
}

TEST(RepairUtf8, LongAsciiRunsWithAFaultDeepInside) {
  std::string text(1000, 'a');
  text[997] = '\xFF';
  const std::string repaired = repairUtf8(text);
  EXPECT_EQ(repaired, std::string(997, 'a') + r(1) + "aa");
}

}  // namespace
}  // namespace veskar
