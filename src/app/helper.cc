#include "app/helper.h"

#include <cerrno>
#include <unistd.h>

#include "app/arguments.h"
#include "app/input_loop.h"
#include "app/process_guards.h"
#include "coordination/coordinator.h"
#include "protocol/errors.h"
#include "protocol/event_writer.h"
#include "protocol/utf8.h"

namespace veskar {
namespace {

[[noreturn]] void failStart(EventWriter& writer, const std::string& description) {
  // Whether or not anybody still reads stdout, the description goes to
  // stderr and the status is 1.
  standardOutput().setClosedExitStatus(OutputSink::kKeepRunning);
  writer.send(errorEvent(event_code::nativeUnavailable, description, true));
  const std::string line = repairUtf8(description) + "\n";
  ssize_t written;
  do {
    written = ::write(STDERR_FILENO, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  ::_exit(1);
}

}  // namespace

void VeskarSpeechHelper::main(const std::vector<std::string>& rawArgv, const EngineLoader& loadEngine) {
  // Before any thread exists, so that every thread inherits the mask.
  guardTerminationSignals(standardOutput());
  // Created before any check, so that every start-up failure reaches the
  // host. Like everything below it is never destroyed: the process ends with
  // _exit, so running analysis threads are neither joined nor torn down.
  auto* writer = new EventWriter();

  std::unique_ptr<SpeechEngine> engine;
  try {
    engine = loadEngine();
  } catch (...) {
    engine = nullptr;
  }
  if (!engine) failStart(*writer, HelperError(HelperError::Case::unsupportedOS).errorDescription());

  std::vector<std::string> argv;
  argv.reserve(rawArgv.size());
  for (const std::string& argument : rawArgv) argv.push_back(repairUtf8(argument));

  Coordinator* coordinator = nullptr;
  try {
    const Arguments parsed = arguments(argv);
    coordinator = new Coordinator(*engine.release());
    (void)coordinator->start(parsed.locale, parsed.sources, parsed.options);
  } catch (...) {
    failStart(*writer, describeException(std::current_exception()));
  }

  // From here on nothing but the host's reading ends the session; during
  // start-up every path writes to stdout anyway, and a failure must stay a
  // failure.
  exitWhenUnread(STDOUT_FILENO, standardOutput());
  LineReader reader(STDIN_FILENO);
  (void)runInputLoop(reader, *coordinator, *writer);
  // Every line was written with write(2) before its send returned: nothing is
  // left to flush.
  ::_exit(0);
}

}  // namespace veskar
