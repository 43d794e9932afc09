// A program started for a test and left running while the test watches its
// output, the way a terminal runs a job: in a process group of its own, so
// that a signal can reach the whole group as Ctrl-C would.
#ifndef VESKAR_TESTS_TOOLS_CHILD_PROCESS_H_
#define VESKAR_TESTS_TOOLS_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace veskar::testing {

class ChildProcess {
 public:
  // Starts `argv` (argv[0] looked up on PATH) with `environment` added to
  // ours, standard input from /dev/null, standard output and error on
  // pipes. Throws std::runtime_error when it cannot be started.
  ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment);
  ~ChildProcess();  // kills the group and reaps the process if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Reads the output until `done(out, err)` holds (true), the output ends
  // or `timeout` passes (false).
  bool waitFor(const std::function<bool(const std::string& out, const std::string& err)>& done,
               std::chrono::milliseconds timeout);
  bool waitForError(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor([&](const std::string&, const std::string& err) { return err.find(text) != std::string::npos; },
                   timeout);
  }

  // Sends `signal` to the process's group, as a terminal sends Ctrl-C.
  void signalGroup(int signal);

  // Reads the output to its end and reaps the process; kills it after
  // `timeout`. Returns its exit status, or -1 when a signal ended it.
  int finish(std::chrono::milliseconds timeout);

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  bool timedOut() const { return timedOut_; }

 private:
  // One wait for output; false once both streams ended or at the deadline.
  bool readSome(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  std::string out_, err_;
  bool reaped_ = false;
  bool timedOut_ = false;
  int status_ = -1;
};

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_TOOLS_CHILD_PROCESS_H_
