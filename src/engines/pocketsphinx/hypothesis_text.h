// The words of a PocketSphinx hypothesis, as text people read.
#ifndef VESKAR_ENGINES_POCKETSPHINX_HYPOTHESIS_TEXT_H_
#define VESKAR_ENGINES_POCKETSPHINX_HYPOTHESIS_TEXT_H_

#include <string>
#include <string_view>

namespace veskar {

// True for the decoder's fillers and silences: <s>, </s>, <sil>, [NOISE],
// ++UH++ (and the empty word).
bool isFillerWord(std::string_view word);

// The words of a decoder hypothesis or segment list joined by single
// spaces: fillers and silences dropped and alternate pronunciation markers
// (word(2)) removed.
std::string transcriptText(std::string_view hypothesis);

}  // namespace veskar

#endif  // VESKAR_ENGINES_POCKETSPHINX_HYPOTHESIS_TEXT_H_
