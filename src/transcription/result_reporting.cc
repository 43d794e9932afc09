#include "transcription/result_reporting.h"

#include <cmath>
#include <limits>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace veskar {

int64_t milliseconds(const MediaTime& time) {
  if (!time.isValid() || !time.isNumeric()) return 0;
  const double ms = std::round(time.seconds() * 1000.0);  // std::round: halves away from zero
  if (std::isnan(ms)) return 0;
  if (ms >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (ms <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(ms);
}

std::string utteranceId(SourceId sourceID, int64_t clampedStartMs) {
  return "native-" + std::to_string(sourceID) + "-" + std::to_string(clampedStartMs);
}

std::string normalizeTranscriptText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pendingSpace = false;  // a run of whitespace seen after some text
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
  int32_t i = 0;
  while (i < length) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out.push_back(' ');
    pendingSpace = false;
    if (c < 0) {
      out.append("\xEF\xBF\xBD");
    } else {
      out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
  }
  return out;
}

}  // namespace veskar
