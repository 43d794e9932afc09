#include "engine/readable_text.h"

#include <array>

namespace veskar {
namespace {

constexpr std::array<std::string_view, 5> kFirstPerson = {"i", "i'm", "i'll", "i've", "i'd"};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string readableText(std::string_view words, Finality finality) {
  std::string text(words);
  std::size_t position = 0;
  bool first = true;
  while (position < text.size()) {
    while (position < text.size() && isSpace(text[position])) ++position;
    std::size_t end = position;
    while (end < text.size() && !isSpace(text[end])) ++end;
    if (end == position) break;
    const std::string_view word(text.data() + position, end - position);
    for (std::string_view pronoun : kFirstPerson) {
      if (word == pronoun) text[position] = 'I';
    }
    if (first) text[position] = upper(text[position]);
    first = false;
    position = end;
  }
  if (first) return std::string();  // nothing but whitespace
  if (finality == Finality::final) {
    const std::size_t last = text.find_last_not_of(" \t\n\r\f\v");
    const char mark = text[last];
    if (mark != '.' && mark != '?' && mark != '!') text.insert(last + 1, 1, '.');
  }
  return text;
}

}  // namespace veskar
