// Reads the helper's output lines back for tests: one JSON parser for every
// test that looks into the lines, instead of string searches.
#ifndef VESKAR_TESTS_SUPPORT_OUTPUT_LINES_H_
#define VESKAR_TESTS_SUPPORT_OUTPUT_LINES_H_

#include <optional>
#include <string>
#include <vector>

#include "protocol/events.h"

namespace veskar::testing {

// The event of one output line, or nullopt when the line is not a JSON
// object with a string "type" (members of the wrong type are left unset).
std::optional<OutputEvent> parseOutputLine(const std::string& line);

// The "transcript.upsert" events among `lines`, in order. A line that does
// not parse is a test failure.
std::vector<OutputEvent> upsertsOf(const std::vector<std::string>& lines);

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_SUPPORT_OUTPUT_LINES_H_
