// The words of a result as people read them.
#include "engine/readable_text.h"

#include <gtest/gtest.h>

#include <string>

namespace veskar {
namespace {

TEST(ReadableTextTest, CapitalisesTheStartAndTheFirstPersonAndEndsFinalsWithAFullStop) {
  struct Case {
    const char* words;
    const char* partial;
    const char* final;
  };
  const Case cases[] = {
      {"", "", ""},
      {"   ", "", ""},
      {"yes", "Yes", "Yes."},
      {"got it", "Got it", "Got it."},
      {"we meet on monday", "We meet on monday", "We meet on monday."},
      // The pronoun and its contractions, wherever they stand.
      {"i think so", "I think so", "I think so."},
      {"i", "I", "I."},
      {"so i'm told i'll see i've been i'd say", "So I'm told I'll see I've been I'd say",
       "So I'm told I'll see I've been I'd say."},
      {"i'm", "I'm", "I'm."},
      // Words that only start with an i, or hold one, stay as they are.
      {"it is in ice", "It is in ice", "It is in ice."},
      {"tell him i said hi", "Tell him I said hi", "Tell him I said hi."},
      {"ill idle i's im", "Ill idle i's im", "Ill idle i's im."},
      // No other word is touched, nothing is guessed.
      {"what time is it", "What time is it", "What time is it."},
      {"mr john dashwood", "Mr john dashwood", "Mr john dashwood."},
      // A start that is no lower-case letter stays.
      {"'til then", "'til then", "'til then."},
      {"9 o'clock", "9 o'clock", "9 o'clock."},
      {"Already Capital", "Already Capital", "Already Capital."},
      // A sentence mark already there is not doubled.
      {"done.", "Done.", "Done."},
      {"really?", "Really?", "Really?"},
      {"stop!", "Stop!", "Stop!"},
      // Surrounding and inner spacing is left to the reporting's own
      // normalisation; the full stop follows the last word.
      {"  i  see  ", "  I  see  ", "  I  see.  "},
      // Bytes beyond ASCII are kept as they are.
      {"\xC3\xA9t\xC3\xA9 i", "\xC3\xA9t\xC3\xA9 I", "\xC3\xA9t\xC3\xA9 I."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("words \"") + c.words + "\"");
    EXPECT_EQ(readableText(c.words, Finality::partial), c.partial);
    EXPECT_EQ(readableText(c.words, Finality::final), c.final);
  }
}

}  // namespace
}  // namespace veskar
