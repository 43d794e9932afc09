// Strict Base64 (RFC 4648, standard alphabet, with padding).
#ifndef VESKAR_COORDINATION_BASE64_H_
#define VESKAR_COORDINATION_BASE64_H_

#include <optional>
#include <string>
#include <string_view>

namespace veskar {

// The bytes `text` encodes, or none when it is not canonical padded Base64:
// a length that is not a multiple of four, any character outside the
// alphabet (whitespace and line breaks included), misplaced or missing "=",
// or non-zero bits in the last symbol before the padding. "" gives "".
std::optional<std::string> decodeBase64(std::string_view text);

}  // namespace veskar

#endif  // VESKAR_COORDINATION_BASE64_H_
