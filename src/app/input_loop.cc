#include "app/input_loop.h"

#include "protocol/errors.h"
#include "protocol/utf8.h"

namespace veskar {
namespace {

// The JSON parser reads a little past the end of its input; with this much
// spare capacity it can parse the line in place instead of copying it.
constexpr std::size_t kParserPadding = 64;

}  // namespace

InputEvent decodeInputLine(InputEventDecoder& decoder, std::string& line) {
  repairUtf8InPlace(line);
  line.reserve(line.size() + kParserPadding);
  return decoder.decode(line);
}

LoopEnd runInputLoop(LineReader& reader, StreamCoordinator& coordinator, EventWriter& writer) {
  InputEventDecoder decoder;
  std::string line;
  while (reader.next(line)) {
    try {
      const InputEvent event = decodeInputLine(decoder, line);
      if (!coordinator.consume(event)) return LoopEnd::streamFinished;
    } catch (...) {
      writer.send(errorEvent(event_code::invalidInput, describeException(std::current_exception()), false));
    }
    // One huge line must not pin its memory for the rest of the session.
    if (line.capacity() > (4u << 20)) std::string().swap(line);
  }
  return LoopEnd::endOfInput;
}

}  // namespace veskar
