#include "transcription/result_reporting.h"

#include <gtest/gtest.h>

namespace veskar {
namespace {

TEST(NormalizeTranscriptText, CollapsesUnicodeWhitespaceAndTrims) {
  const struct {
    const char* name;
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "Hello", "Hello"},
      {"runs between words and at both ends", " \t\r\n Hello \t\t world\n\n again\f\v ", "Hello world again"},
      {"only whitespace", " \t\n\r ", ""},
      {"empty", "", ""},
      {"no-break and ideographic spaces", "\xC2\xA0one\xE3\x80\x80two\xE2\x80\x83", "one two"},
      {"line and paragraph separators, next line", "a\xE2\x80\xA8" "b\xE2\x80\xA9" "c\xC2\x85" "d", "a b c d"},
      {"zero-width space is not whitespace", "a\xE2\x80\x8B" "b", "a\xE2\x80\x8B" "b"},
      {"non-ASCII letters kept", "  Grüße   東京 ", "Grüße 東京"},
      {"ill-formed bytes become U+FFFD", "a \xFF b", "a \xEF\xBF\xBD b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(normalizeTranscriptText(c.in), c.out);
  }
}

TEST(UtteranceId, NamesSourceAndStart) {
  EXPECT_EQ(utteranceId(1, 250), "native-1-250");
  EXPECT_EQ(utteranceId(0, 0), "native-0-0");
}

}  // namespace
}  // namespace veskar
