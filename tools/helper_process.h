// The helper as a child process: its standard input, output and error on
// pipes, in a process group of its own (so that Ctrl-C reaches only the
// tool, which then finishes the stream in order).
#ifndef VESKAR_TOOLS_HELPER_PROCESS_H_
#define VESKAR_TOOLS_HELPER_PROCESS_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace veskar::tools {

class HelperProcessError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a process ended.
struct ExitInfo {
  bool exited = false;  // exited normally, with `status`
  int status = 0;
  int signal = 0;       // the signal that ended it, when not exited
  rusage usage{};
  std::string describe() const;  // "exit status 1", "signal 9 (Killed)"
};

// What the kernel shows of a process's activity, for telling whether it has
// work left: its CPU time so far, and whether every thread is asleep.
struct ActivitySample {
  uint64_t cpuTicks = 0;
  bool allThreadsSleeping = false;
};

// Reads /proc/<pid>/task/*/stat; nullopt when that cannot be read.
std::optional<ActivitySample> sampleActivity(pid_t pid);

// Where the helper is when no --helper is given: next to `selfPath`, in the
// folder above it (the build folder when the tool is in build/tools), where
// the installation `selfPath` belongs to keeps it, at the configured install
// path, or else found on PATH by name.
std::string defaultHelperPath(const std::string& selfPath);

class HelperProcess {
 public:
  // Starts `argv` (argv[0] is the program, looked up on PATH when it has no
  // slash). Throws HelperProcessError when it cannot be started.
  explicit HelperProcess(const std::vector<std::string>& argv);
  ~HelperProcess();  // kills and reaps the process if it still runs
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Non-blocking descriptors; -1 once closed.
  int inputFd() const { return in_; }
  int outputFd() const { return out_; }
  int errorFd() const { return err_; }

  // Queues `bytes` for the helper's standard input.
  void queueInput(std::string_view bytes) { pending_.append(bytes); }
  std::size_t pendingInput() const { return pending_.size(); }
  // Writes what it can of the queued input without blocking. False when the
  // helper no longer reads its input (the pipe is broken); the queue is
  // then dropped.
  bool flushInput();
  void closeInput();

  // Reads what is available from standard output or error and returns the
  // complete lines (without line feeds). `ended` turns true at end of file.
  std::vector<std::string> readOutputLines(bool& ended);
  std::vector<std::string> readErrorLines(bool& ended);

  // Sends `signal` to the helper.
  void kill(int signal);
  // Waits for the helper to end (blocking) and reaps it.
  ExitInfo wait();
  // Non-blocking: the exit information once the helper has ended.
  std::optional<ExitInfo> poll();

 private:
  std::vector<std::string> readLines(int& fd, std::string& partial, bool& ended);

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string pending_;
  std::string outPartial_, errPartial_;
  std::optional<ExitInfo> exit_;
};

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_HELPER_PROCESS_H_
