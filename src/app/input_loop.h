// The input loop: one stdin line at a time, decoded and handed to the
// coordinator, each rejected line answered with one "invalid_input" error.
#ifndef VESKAR_APP_INPUT_LOOP_H_
#define VESKAR_APP_INPUT_LOOP_H_

#include "app/line_reader.h"
#include "coordination/coordinator.h"
#include "protocol/event_writer.h"
#include "protocol/input_decoder.h"

namespace veskar {

enum class LoopEnd { endOfInput, streamFinished };

// Decodes one line as the loop does: repaired to well-formed UTF-8 in place,
// then parsed. Throws InputDecodingError.
InputEvent decodeInputLine(InputEventDecoder& decoder, std::string& line);

// Reads lines until end of input or until `coordinator` says the stream is
// over. A line is repaired to well-formed UTF-8, decoded and consumed before
// the next one is read; a line that fails either step gets its error event
// through `writer` before the next line is read.
LoopEnd runInputLoop(LineReader& reader, StreamCoordinator& coordinator, EventWriter& writer);

}  // namespace veskar

#endif  // VESKAR_APP_INPUT_LOOP_H_
