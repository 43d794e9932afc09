// UTF-8 repair and validation against ICU's converter, which substitutes
// maximal ill-formed subparts the same way; plus the algebra of the repair:
// valid output, identity on valid input, idempotence, length bounds, and the
// in-place variant agreeing with the copying one.
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/utf8.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "fuzz_utf8: %s (input of %zu bytes)\n", what, input.size());
  std::abort();
}

#define CHECK(condition, input)                  \
  do {                                           \
    if (!(condition)) fail(#condition, (input)); \
  } while (0)

// `text` through ICU: UTF-8 to UTF-16 with U+FFFD for each ill-formed
// subpart, and back. Sets `substitutions` to how many were replaced.
std::string icuRepair(std::string_view text, int32_t& substitutions) {
  substitutions = 0;
  if (text.empty()) return {};
  // Each input byte yields at most one UTF-16 unit.
  std::vector<UChar> utf16(text.size() + 1);
  int32_t length16 = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(utf16.data(), static_cast<int32_t>(utf16.size()), &length16, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, &substitutions, &status);
  if (U_FAILURE(status)) fail("ICU could not convert from UTF-8", text);
  std::string utf8(static_cast<std::size_t>(length16) * 3 + 1, '\0');
  int32_t length8 = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(utf8.data(), static_cast<int32_t>(utf8.size()), &length8, utf16.data(), length16, &status);
  if (U_FAILURE(status)) fail("ICU could not convert to UTF-8", text);
  utf8.resize(static_cast<std::size_t>(length8));
  return utf8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return -1;  // ICU takes int32 lengths; nothing to learn from huge inputs
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const bool valid = veskar::isValidUtf8(input);
  const std::string repaired = veskar::repairUtf8(input);

  int32_t substitutions = 0;
  const std::string expected = icuRepair(input, substitutions);
  CHECK(valid == (substitutions == 0), input);
  CHECK(repaired == expected, input);

  CHECK(veskar::isValidUtf8(repaired), input);
  if (valid) CHECK(repaired == input, input);
  CHECK(veskar::repairUtf8(repaired) == repaired, input);

  // A maximal ill-formed subpart is one to three bytes and becomes the three
  // bytes of U+FFFD; well-formed sequences are copied.
  CHECK(repaired.size() >= input.size(), input);
  CHECK(repaired.size() <= 3 * input.size(), input);

  std::string inPlace(input);
  const void* before = inPlace.data();
  veskar::repairUtf8InPlace(inPlace);
  CHECK(inPlace == repaired, input);
  if (valid) CHECK(inPlace.data() == before, input);  // well-formed text is left alone

  // A well-formed prefix ends on a character boundary, so the repair of the
  // rest starts there afresh: repair(prefix + rest) == prefix + repair(rest).
  std::size_t cut = size / 2;
  for (int back = 0; back < 3 && cut > 0 && !veskar::isValidUtf8(input.substr(0, cut)); ++back) --cut;
  if (cut > 0 && veskar::isValidUtf8(input.substr(0, cut))) {
    CHECK(repaired == std::string(input.substr(0, cut)) + veskar::repairUtf8(input.substr(cut)), input);
  }
  return 0;
}
