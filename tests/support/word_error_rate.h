// Word error rate: word-level Levenshtein distance over the reference length,
// case- and punctuation-insensitive (results are readable text: "He was.").
#ifndef VESKAR_TESTS_SUPPORT_WORD_ERROR_RATE_H_
#define VESKAR_TESTS_SUPPORT_WORD_ERROR_RATE_H_

#include <algorithm>
#include <string>
#include <vector>

namespace veskar::testing {

// `word` in lower case without punctuation other than apostrophes.
inline std::string comparableWord(const std::string& word) {
  std::string result;
  for (const char c : word) {
    if (c >= 'A' && c <= 'Z') {
      result += static_cast<char>(c - 'A' + 'a');
    } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '\'' || static_cast<unsigned char>(c) >= 0x80) {
      result += c;
    }
  }
  return result;
}

inline double wordErrorRate(const std::vector<std::string>& rawReference, const std::vector<std::string>& rawHypothesis) {
  std::vector<std::string> reference;
  std::vector<std::string> hypothesis;
  for (const std::string& word : rawReference) {
    if (std::string w = comparableWord(word); !w.empty()) reference.push_back(std::move(w));
  }
  for (const std::string& word : rawHypothesis) {
    if (std::string w = comparableWord(word); !w.empty()) hypothesis.push_back(std::move(w));
  }
  std::vector<std::size_t> row(hypothesis.size() + 1);
  for (std::size_t j = 0; j < row.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= reference.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= hypothesis.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (reference[i - 1] == hypothesis[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return reference.empty() ? 0.0 : static_cast<double>(row.back()) / static_cast<double>(reference.size());
}

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_SUPPORT_WORD_ERROR_RATE_H_
