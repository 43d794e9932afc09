#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace veskar::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (environment.count(entry.substr(0, entry.find('='))) == 0) env.push_back(entry);
  }
  for (const auto& [key, value] : environment) env.push_back(key + "=" + value);
  std::vector<char*> envp, args;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> copy = argv;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const int spawned = ::posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    ::close(out[0]);
    ::close(err[0]);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(spawned));
  }
  outFd_ = out[0];
  errFd_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    ::kill(-pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

bool ChildProcess::readSome(std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2];
  nfds_t count = 0;
  if (outFd_ >= 0) fds[count++] = {outFd_, POLLIN, 0};
  if (errFd_ >= 0) fds[count++] = {errFd_, POLLIN, 0};
  if (count == 0) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  const int ready = ::poll(fds, count, static_cast<int>(left.count()));
  if (ready < 0 && errno != EINTR) return false;
  char buffer[65536];
  for (nfds_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      (fds[i].fd == outFd_ ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      int& fd = fds[i].fd == outFd_ ? outFd_ : errFd_;
      ::close(fd);
      fd = -1;
    }
  }
  return true;
}

bool ChildProcess::waitFor(const std::function<bool(const std::string&, const std::string&)>& done,
                           std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done(out_, err_)) {
    if (!readSome(deadline)) return done(out_, err_);
  }
  return true;
}

void ChildProcess::signalGroup(int signal) {
  if (!reaped_) ::kill(-pid_, signal);
}

int ChildProcess::finish(std::chrono::milliseconds timeout) {
  if (reaped_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (readSome(deadline)) {
  }
  if (outFd_ >= 0 || errFd_ >= 0) {
    timedOut_ = true;
    ::kill(-pid_, SIGKILL);
  }
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return status_;
}

}  // namespace veskar::testing
