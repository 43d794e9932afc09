#include "support/process_runner.h"

#include "support/captured_pipe.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace veskar::testing {

std::vector<std::string> ProcessResult::outLines() const { return splitLines(out); }

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         const ProcessOptions& options) {
  // A process that dies before reading all its input must not kill us.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const auto& [key, value] : options.environment) env.push_back(key + "=" + value);
  std::vector<char*> envp, args;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argvCopy = argv;
  for (auto& a : argvCopy) args.push_back(a.data());
  args.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ::fcntl(in[1], F_SETFL, O_NONBLOCK);

  ProcessResult result;
  std::size_t written = 0;
  int stdinFd = in[1];
  if (input.empty() && !options.keepStdinOpen) {
    ::close(stdinFd);
    stdinFd = -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  bool outOpen = true, errOpen = true;
  if (options.closeStdout) {
    ::close(out[0]);
    out[0] = -1;
    outOpen = false;
  }
  bool signalled = false;
  char buffer[65536];
  while (outOpen || errOpen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3];
    int count = 0;
    if (outOpen) fds[count++] = {out[0], POLLIN, 0};
    if (errOpen) fds[count++] = {err[0], POLLIN, 0};
    const bool writing = stdinFd >= 0 && written < input.size();
    if (writing) fds[count++] = {stdinFd, POLLOUT, 0};
    const int ready = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(std::min<long>(left.count(), 1000)));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == stdinFd) {
        const ssize_t n = ::write(stdinFd, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR) written = input.size();  // reader gone
        if (written == input.size() && !options.keepStdinOpen) {
          ::close(stdinFd);
          stdinFd = -1;
        }
        continue;
      }
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (fds[i].fd == out[0] ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
        if (options.signalAfterFirstLine != 0 && !signalled && result.out.find('\n') != std::string::npos) {
          ::kill(pid, options.signalAfterFirstLine);
          signalled = true;
        }
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        if (fds[i].fd == out[0]) outOpen = false;
        else errOpen = false;
      }
    }
  }
  if (stdinFd >= 0) ::close(stdinFd);
  if (out[0] >= 0) ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  return result;
}

}  // namespace veskar::testing
