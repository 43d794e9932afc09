// Helpers for tests that speak the wire protocol to a helper process.
#ifndef VESKAR_TESTS_SUPPORT_WIRE_H_
#define VESKAR_TESTS_SUPPORT_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace veskar::testing {

// Standard padded Base64 of `bytes`.
std::string encodeBase64(const std::string& bytes);

// Little-endian 16-bit PCM bytes of `samples`.
std::string pcmBytes(const std::vector<int16_t>& samples);

// An "audio" input line (with its line feed) carrying `bytes` for `source`.
std::string audioLine(int64_t source, const std::string& bytes);

// The input of a whole session: the PCM bytes of each source in "audio"
// lines of `chunkBytes`, the sources interleaved chunk by chunk in
// ascending order, then "finish".
std::string interleavedSession(const std::map<int64_t, std::string>& pcmBySource, std::size_t chunkBytes = 3200);

// `frames` samples of a quiet tone, as PCM bytes.
std::string tone(std::size_t frames, int16_t amplitude = 1000);

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_SUPPORT_WIRE_H_
