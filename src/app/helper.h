// The whole life of the helper process.
//
// Threads and shutdown. The main thread starts the stream and then runs the
// input loop: it reads a line, decodes it and hands it to the Coordinator,
// which appends audio to the analyzers (and the meeting's audio to the
// microphone's front end) on this same thread, one line at a time. Each
// source has two threads of its own: the analysis task, which runs the
// engine over the source's input queue, and the results task, which reports
// every result. A signal thread takes SIGTERM and SIGINT so that no output
// line is cut, and a watcher thread ends the process when the host stops
// reading standard output. All of them are detached and never joined: the
// results task holds its analyzer, so the analyzer may be destroyed on that
// very thread, and an engine may be blocked in its model when input ends.
// The process therefore ends with _exit(): after "finish" every source has
// been drained, so nothing is lost; at end of input without "finish", the
// pending results are dropped on purpose, and nothing else needs to run.
#ifndef VESKAR_APP_HELPER_H_
#define VESKAR_APP_HELPER_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/speech_engine.h"

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
