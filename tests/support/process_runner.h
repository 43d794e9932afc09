// Runs a program with given stdin bytes and collects its stdout, stderr and
// exit status, for process-level tests.
#ifndef VESKAR_TESTS_SUPPORT_PROCESS_RUNNER_H_
#define VESKAR_TESTS_SUPPORT_PROCESS_RUNNER_H_

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace veskar::testing {

struct ProcessResult {
  std::string out;
  std::string err;
  int exitStatus = -1;  // -1 unless the process exited normally
  int termSignal = 0;   // the signal that ended it, if any
  bool timedOut = false;

  // stdout split at line feeds; a last line without one is kept as is.
  std::vector<std::string> outLines() const;
};

struct ProcessOptions {
  std::map<std::string, std::string> environment;  // added to the current one
  std::chrono::milliseconds timeout{60000};
  // Keep stdin open after writing it (the process sees no end of input),
  // until the process exits or times out.
  bool keepStdinOpen = false;
  // Close our end of the process's stdout at once and never read it.
  bool closeStdout = false;
  // Send this signal once the first complete stdout line has arrived.
  int signalAfterFirstLine = 0;
};

// `argv[0]` is the program's path.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         const ProcessOptions& options = {});

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_SUPPORT_PROCESS_RUNNER_H_
