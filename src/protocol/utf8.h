// UTF-8 repair, shared by the input framing and the output encoder.
#ifndef VESKAR_PROTOCOL_UTF8_H_
#define VESKAR_PROTOCOL_UTF8_H_

#include <string>
#include <string_view>

namespace veskar {

// Returns true iff `text` is well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

// Returns `text` with every maximal ill-formed subpart replaced by one U+FFFD
// (the Unicode "best practice" substitution, as WHATWG decoders do).
std::string repairUtf8(std::string_view text);

// As repairUtf8, in place; a no-op (no copy) for well-formed text.
void repairUtf8InPlace(std::string& text);

}  // namespace veskar

#endif  // VESKAR_PROTOCOL_UTF8_H_
