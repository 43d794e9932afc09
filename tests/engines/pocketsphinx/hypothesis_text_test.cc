#include "engines/pocketsphinx/hypothesis_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veskar {
namespace {

TEST(TranscriptTextTest, KeepsWordsOnlyJoinedBySingleSpaces) {
  struct Case {
    const char* hypothesis;
    const char* text;
  };
  const Case cases[] = {
      {"", ""},
      {"   ", ""},
      {"hello world", "hello world"},
      {"  hello \t world\n", "hello world"},
      {"<s> hello </s>", "hello"},
      {"<s> <sil> [NOISE] [SPEECH] ++UH++ +NSN+ </s>", ""},
      {"and(2) then leisure(3) to", "and then leisure to"},
      {"<sil> don't(2) <sil> stop", "don't stop"},
      // Only a parenthesised number is a pronunciation marker.
      {"f(x) a() b(2x) c(12)", "f(x) a() b(2x) c"},
      {"(2)", "(2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("hypothesis \"") + c.hypothesis + "\"");
    EXPECT_EQ(transcriptText(c.hypothesis), c.text);
  }
}

}  // namespace
}  // namespace veskar
