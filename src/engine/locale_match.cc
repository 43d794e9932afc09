#include "engine/locale_match.h"

#include <unicode/uloc.h>

#include <algorithm>
#include <array>

namespace veskar {
namespace {

// ASCII only, whatever the process's C locale says.
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAlnum(char c) { return isAlpha(c) || (c >= '0' && c <= '9'); }

// ICU accepts almost any string and makes something of it: an empty or
// garbled language becomes the root locale, which "likely subtags" then
// turns into en_Latn_US. So the shape is checked first: subtags of letters
// and digits separated by single '-' or '_', a language subtag of 2-3 or
// 5-8 letters, then optionally a POSIX ".charset" and an "@keywords" part.
bool isWellFormed(std::string_view id) {
  const std::size_t tagEnd = std::min(id.find('.'), id.find('@'));
  const std::string_view tag = id.substr(0, tagEnd);
  std::size_t position = 0;
  bool first = true;
  while (true) {
    std::size_t end = position;
    while (end < tag.size() && isAlnum(tag[end])) ++end;
    const std::string_view subtag = tag.substr(position, end - position);
    if (subtag.empty() || subtag.size() > 8) return false;
    if (first) {
      for (char c : subtag) {
        if (!isAlpha(c)) return false;
      }
      if (subtag.size() == 4 || subtag.size() < 2) return false;
      first = false;
    }
    if (end == tag.size()) break;
    if (tag[end] != '-' && tag[end] != '_') return false;
    position = end + 1;
  }
  std::string_view rest = id.substr(tag.size());
  if (!rest.empty() && rest.front() == '.') {
    const std::size_t charsetEnd = rest.find('@');
    const std::string_view charset =
        rest.substr(1, charsetEnd == std::string_view::npos ? rest.size() - 1 : charsetEnd - 1);
    if (charset.empty()) return false;
    for (char c : charset) {
      if (!isAlnum(c) && c != '-' && c != '_') return false;
    }
    rest = charsetEnd == std::string_view::npos ? std::string_view() : rest.substr(charsetEnd);
  }
  if (!rest.empty()) {
    // "@key=value;key=value" (or a POSIX "@modifier"); ICU parses it.
    if (rest.size() < 2) return false;
    for (char c : rest.substr(1)) {
      if (!isAlnum(c) && c != '=' && c != ';' && c != '-' && c != '_') return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> maximizedLocaleName(std::string_view identifier) {
  if (identifier.empty() || identifier.size() > ULOC_FULLNAME_CAPACITY || !isWellFormed(identifier)) {
    return std::nullopt;
  }
  const std::string input(identifier);
  std::array<char, ULOC_FULLNAME_CAPACITY + 1> icuId{};
  UErrorCode status = U_ZERO_ERROR;
  const bool languageTag = input.find('-') != std::string::npos && input.find_first_of("_.@") == std::string::npos;
  if (languageTag) {
    // BCP 47: uloc_canonicalize would misread extensions such as -u-ca-...
    int32_t parsed = 0;
    uloc_forLanguageTag(input.c_str(), icuId.data(), static_cast<int32_t>(icuId.size()), &parsed, &status);
    if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING ||
        parsed != static_cast<int32_t>(input.size())) {
      return std::nullopt;
    }
  } else {
    input.copy(icuId.data(), icuId.size() - 1);
  }

  std::array<char, ULOC_FULLNAME_CAPACITY + 1> canonical{};
  status = U_ZERO_ERROR;
  uloc_canonicalize(icuId.data(), canonical.data(), static_cast<int32_t>(canonical.size()), &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return std::nullopt;

  std::array<char, ULOC_LANG_CAPACITY + 1> language{};
  status = U_ZERO_ERROR;
  uloc_getLanguage(canonical.data(), language.data(), static_cast<int32_t>(language.size()), &status);
  // "und" canonicalises to the empty language: no language, no match.
  if (U_FAILURE(status) || language[0] == '\0') return std::nullopt;

  std::array<char, ULOC_FULLNAME_CAPACITY + 1> maximized{};
  status = U_ZERO_ERROR;
  uloc_addLikelySubtags(canonical.data(), maximized.data(), static_cast<int32_t>(maximized.size()), &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return std::nullopt;

  std::array<char, ULOC_FULLNAME_CAPACITY + 1> baseName{};
  status = U_ZERO_ERROR;
  uloc_getBaseName(maximized.data(), baseName.data(), static_cast<int32_t>(baseName.size()), &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return std::nullopt;
  return std::string(baseName.data());
}

bool localesAreEquivalent(std::string_view a, std::string_view b) {
  const std::optional<std::string> first = maximizedLocaleName(a);
  if (!first) return false;
  const std::optional<std::string> second = maximizedLocaleName(b);
  return second && *first == *second;
}

}  // namespace veskar
