// Word error rate: word-level Levenshtein distance over the reference length.
#ifndef VESKAR_TESTS_SUPPORT_WORD_ERROR_RATE_H_
#define VESKAR_TESTS_SUPPORT_WORD_ERROR_RATE_H_

#include <algorithm>
#include <string>
#include <vector>

namespace veskar::testing {

inline double wordErrorRate(const std::vector<std::string>& reference, const std::vector<std::string>& hypothesis) {
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
