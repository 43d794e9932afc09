// Decodes one input line into an InputEvent. The only user of simdjson.
#ifndef VESKAR_PROTOCOL_INPUT_DECODER_H_
#define VESKAR_PROTOCOL_INPUT_DECODER_H_

#include <memory>
#include <stdexcept>
#include <string>

#include "protocol/events.h"

#include "protocol/errors.h"

namespace veskar {

// A line that is not an InputEvent; what() says why, briefly.
class InputDecodingError : public DescribedError {
 public:
  using DescribedError::DescribedError;
};

// Holds the JSON parser (and its buffers) for reuse across lines; not safe
// for concurrent use.
class InputEventDecoder {
 public:
  InputEventDecoder();
  ~InputEventDecoder();
  InputEventDecoder(const InputEventDecoder&) = delete;
  InputEventDecoder& operator=(const InputEventDecoder&) = delete;

  // Parses `line` (well-formed UTF-8, no terminator) as one JSON object and
  // reads its keys. Throws InputDecodingError; never returns a partial event.
  // Keys are matched exactly after unescaping; undeclared keys are ignored
  // whatever they hold; null counts as absent for the optional keys.
  InputEvent decode(const std::string& line);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

}  // namespace veskar

#endif  // VESKAR_PROTOCOL_INPUT_DECODER_H_
