// The pure pieces of turning engine results into transcript events.
#ifndef VESKAR_TRANSCRIPTION_RESULT_REPORTING_H_
#define VESKAR_TRANSCRIPTION_RESULT_REPORTING_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/events.h"
#include "engine/media_time.h"

namespace veskar {

// Whole milliseconds of `time`, rounded half away from zero; 0 for a time
// that is not numeric. Saturates at the int64 range.
int64_t milliseconds(const MediaTime& time);

// "native-<source>-<start>", the id shared by all results of one utterance.
std::string utteranceId(SourceId sourceID, int64_t clampedStartMs);

// Every run of Unicode White_Space collapsed to one space, and none at the
// ends. Ill-formed UTF-8 becomes U+FFFD. The only user of ICU's character
// properties in the pipeline.
std::string normalizeTranscriptText(std::string_view text);

}  // namespace veskar

#endif  // VESKAR_TRANSCRIPTION_RESULT_REPORTING_H_
