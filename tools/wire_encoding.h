// The helper's input lines, as veskar-transcribe writes them.
#ifndef VESKAR_TOOLS_WIRE_ENCODING_H_
#define VESKAR_TOOLS_WIRE_ENCODING_H_

#include <cstdint>
#include <span>
#include <string>

namespace veskar::tools {

// Appends the standard padded Base64 of `bytes` to `out`.
void appendBase64(std::string& out, std::span<const uint8_t> bytes);

// Appends one "audio" line, line feed included, carrying `samples` as 16-bit
// little-endian PCM for `sourceId`.
void appendAudioLine(std::string& out, int sourceId, std::span<const int16_t> samples);

// The "finish" line, line feed included.
std::string finishLine();

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_WIRE_ENCODING_H_
