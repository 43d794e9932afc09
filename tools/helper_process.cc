#include "helper_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "veskar_config.h"

extern char** environ;

namespace veskar::tools {

std::string ExitInfo::describe() const {
  if (exited) return "exit status " + std::to_string(status);
  const char* name = strsignal(signal);
  return "signal " + std::to_string(signal) + (name != nullptr ? std::string(" (") + name + ")" : "");
}

std::optional<ActivitySample> sampleActivity(pid_t pid) {
  const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(taskDir.c_str());
  if (dir == nullptr) return std::nullopt;
  ActivitySample sample;
  sample.allThreadsSleeping = true;
  int threads = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream stat(taskDir + "/" + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;  // the thread just ended
    // The command name is in parentheses and may hold anything; the fields
    // after its closing one are: state (3), ..., utime (14), stime (15).
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(line.substr(close + 1));
    std::string state;
    fields >> state;
    std::string skip;
    for (int field = 4; field <= 13; ++field) fields >> skip;
    uint64_t utime = 0, stime = 0;
    fields >> utime >> stime;
    if (!fields) continue;
    ++threads;
    sample.cpuTicks += utime + stime;
    // S: interruptible sleep, the state of a thread blocked on a pipe or a
    // condition variable. Anything else (running, in disk wait, stopped,
    // ...) may still have work in hand.
    if (state != "S") sample.allThreadsSleeping = false;
  }
  ::closedir(dir);
  if (threads == 0) return std::nullopt;
  return sample;
}

std::string defaultHelperPath(const std::string& selfPath) {
  namespace fs = std::filesystem;
  const char* name = "veskar-speech-helper";
  std::error_code error;
  fs::path self = fs::canonical(selfPath, error);
  if (error) self = fs::path(selfPath);
  const fs::path candidates[] = {self.parent_path() / name, self.parent_path().parent_path() / name,
                                 self.parent_path() / config::kHelperFromToolFolder, config::kInstalledHelper};
  for (const fs::path& candidate : candidates) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.lexically_normal().string();
  }
  return name;
}

namespace {

void setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

HelperProcess::HelperProcess(const std::vector<std::string>& argv) {
  if (argv.empty()) throw HelperProcessError("no helper program given");
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw HelperProcessError(std::string("pipe: ") + std::strerror(errno));
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw HelperProcessError(std::string("pipe: ") + std::strerror(errno));
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    throw HelperProcessError(std::string("pipe: ") + std::strerror(errno));
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group; signals as the child expects them by default
  // (this tool ignores SIGPIPE, which the child must not inherit).
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (std::string& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  const int spawned = ::posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    for (int fd : {in[1], out[0], err[0]}) ::close(fd);
    pid_ = -1;
    throw HelperProcessError("cannot start " + argv[0] + ": " + std::strerror(spawned));
  }
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  for (int fd : {in_, out_, err_}) setNonBlocking(fd);
}

HelperProcess::~HelperProcess() {
  closeFd(in_);
  closeFd(out_);
  closeFd(err_);
  if (pid_ > 0 && !exit_) {
    ::kill(pid_, SIGKILL);
    (void)wait();
  }
}

bool HelperProcess::flushInput() {
  while (!pending_.empty() && in_ >= 0) {
    const ssize_t written = ::write(in_, pending_.data(), pending_.size());
    if (written > 0) {
      pending_.erase(0, static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    pending_.clear();
    closeFd(in_);
    return false;
  }
  return in_ >= 0 || pending_.empty();
}

void HelperProcess::closeInput() {
  pending_.clear();
  closeFd(in_);
}

std::vector<std::string> HelperProcess::readLines(int& fd, std::string& partial, bool& ended) {
  std::vector<std::string> lines;
  ended = false;
  char buffer[65536];
  while (fd >= 0) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      partial.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    closeFd(fd);  // end of file, or an error that ends the stream all the same
    ended = true;
  }
  std::size_t start = 0;
  for (std::size_t newline; (newline = partial.find('\n', start)) != std::string::npos; start = newline + 1) {
    lines.push_back(partial.substr(start, newline - start));
  }
  partial.erase(0, start);
  if (ended && !partial.empty()) {
    lines.push_back(partial);  // a last line without its line feed
    partial.clear();
  }
  return lines;
}

std::vector<std::string> HelperProcess::readOutputLines(bool& ended) { return readLines(out_, outPartial_, ended); }
std::vector<std::string> HelperProcess::readErrorLines(bool& ended) { return readLines(err_, errPartial_, ended); }

void HelperProcess::kill(int signal) {
  if (pid_ > 0 && !exit_) ::kill(pid_, signal);
}

namespace {

ExitInfo exitInfo(int status, const rusage& usage) {
  ExitInfo info;
  info.usage = usage;
  if (WIFEXITED(status)) {
    info.exited = true;
    info.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    info.signal = WTERMSIG(status);
  }
  return info;
}

}  // namespace

ExitInfo HelperProcess::wait() {
  if (exit_) return *exit_;
  int status = 0;
  rusage usage{};
  pid_t got;
  do {
    got = ::wait4(pid_, &status, 0, &usage);
  } while (got < 0 && errno == EINTR);
  if (got != pid_) throw HelperProcessError(std::string("wait: ") + std::strerror(errno));
  exit_ = exitInfo(status, usage);
  return *exit_;
}

std::optional<ExitInfo> HelperProcess::poll() {
  if (exit_) return exit_;
  int status = 0;
  rusage usage{};
  const pid_t got = ::wait4(pid_, &status, WNOHANG, &usage);
  if (got == pid_) exit_ = exitInfo(status, usage);
  return exit_;
}

}  // namespace veskar::tools
