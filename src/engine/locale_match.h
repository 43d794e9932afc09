// Locale equivalence by ICU: two identifiers are equivalent when they name
// the same language, script and region once canonicalised and completed with
// their likely subtags ("en", "en-US" and "en_US.UTF-8" are all en_Latn_US).
#ifndef VESKAR_ENGINE_LOCALE_MATCH_H_
#define VESKAR_ENGINE_LOCALE_MATCH_H_

#include <optional>
#include <string>
#include <string_view>

namespace veskar {

// The maximal base name of `identifier` (language_Script_REGION, plus any
// variant; keywords dropped), or nullopt when it is not a well-formed locale
// identifier with a language. Takes POSIX ids (en_US.UTF-8), ICU ids
// (en_Latn_US@calendar=gregorian) and BCP 47 tags (en-Latn-US), any case.
std::optional<std::string> maximizedLocaleName(std::string_view identifier);

// True when both identifiers are well formed and maximise to the same name.
bool localesAreEquivalent(std::string_view a, std::string_view b);

}  // namespace veskar

#endif  // VESKAR_ENGINE_LOCALE_MATCH_H_
