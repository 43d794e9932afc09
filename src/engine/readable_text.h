// How an engine's words are shown to people: the recognisers in this tree
// give lower-case words without punctuation.
#ifndef VESKAR_ENGINE_READABLE_TEXT_H_
#define VESKAR_ENGINE_READABLE_TEXT_H_

#include <string>
#include <string_view>

namespace veskar {

enum class Finality { partial, final };

// `words` (lower-case words separated by spaces) as a person reads them: the
// first letter upper case, the pronoun "i" and its contractions ("i'm",
// "i'll", "i've", "i'd") as "I...", and a final result ending with a full
// stop unless it ends with a sentence mark already. Nothing else is
// changed or guessed: no commas, no question marks, no other capitals.
// Returns an empty text for an empty (or blank) one. Pure; ASCII letters only
// change case.
std::string readableText(std::string_view words, Finality finality);

}  // namespace veskar

#endif  // VESKAR_ENGINE_READABLE_TEXT_H_
