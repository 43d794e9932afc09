#include "engines/pocketsphinx/hypothesis_text.h"

namespace veskar {

bool isFillerWord(std::string_view word) {
  return word.empty() || word.front() == '<' || word.front() == '[' || word.front() == '+';
}

std::string transcriptText(std::string_view hypothesis) {
  std::string text;
  std::size_t position = 0;
  while (position < hypothesis.size()) {
    const std::size_t start = hypothesis.find_first_not_of(" \t\r\n", position);
    if (start == std::string_view::npos) break;
    std::size_t end = hypothesis.find_first_of(" \t\r\n", start);
    if (end == std::string_view::npos) end = hypothesis.size();
    std::string_view word = hypothesis.substr(start, end - start);
    position = end;
    // word(2): the second pronunciation of word.
    if (word.size() > 2 && word.back() == ')') {
      const std::size_t open = word.rfind('(');
      if (open != std::string_view::npos && open > 0 && open + 2 < word.size() &&
          word.substr(open + 1, word.size() - open - 2).find_first_not_of("0123456789") == std::string_view::npos) {
        word = word.substr(0, open);
      }
    }
    if (isFillerWord(word)) continue;
    if (!text.empty()) text += ' ';
    text += word;
  }
  return text;
}

}  // namespace veskar
