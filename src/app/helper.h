// The whole life of the helper process.
#ifndef VESKAR_APP_HELPER_H_
#define VESKAR_APP_HELPER_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transcription/speech_engine.h"

namespace veskar {

// Returns the platform's speech engine, or null when this system has none.
using EngineLoader = std::function<std::unique_ptr<SpeechEngine>()>;

struct VeskarSpeechHelper {
  // Checks the platform, parses `argv`, starts the stream and runs the input
  // loop on standard input. Ends the process: status 0 after "finish" or at
  // end of input, 1 after a start-up failure, which is reported as one fatal
  // "native_unavailable" event on standard output and its description on
  // standard error.
  [[noreturn]] static void main(const std::vector<std::string>& argv, const EngineLoader& loadEngine);
};

}  // namespace veskar

#endif  // VESKAR_APP_HELPER_H_
