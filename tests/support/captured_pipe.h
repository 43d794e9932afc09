// A pipe whose read end a thread of its own drains, so that writers never
// block; finish() closes the write end and returns everything written.
#ifndef VESKAR_TESTS_SUPPORT_CAPTURED_PIPE_H_
#define VESKAR_TESTS_SUPPORT_CAPTURED_PIPE_H_

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace veskar::testing {

class CapturedPipe {
 public:
  CapturedPipe() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    readFd_ = fds[0];
    writeFd_ = fds[1];
    reader_ = std::thread([this] {
      char buffer[65536];
      ssize_t n;
      while ((n = ::read(readFd_, buffer, sizeof buffer)) > 0) text_.append(buffer, static_cast<std::size_t>(n));
    });
  }
  ~CapturedPipe() {
    closeWriteEnd();
    if (reader_.joinable()) reader_.join();
    ::close(readFd_);
  }
  CapturedPipe(const CapturedPipe&) = delete;
  CapturedPipe& operator=(const CapturedPipe&) = delete;

  int writeFd() const { return writeFd_; }

  const std::string& finish() {
    closeWriteEnd();
    if (reader_.joinable()) reader_.join();
    return text_;
  }

 private:
  void closeWriteEnd() {
    if (writeFd_ >= 0) ::close(writeFd_);
    writeFd_ = -1;
  }

  int readFd_ = -1;
  int writeFd_ = -1;
  std::thread reader_;
  std::string text_;
};

// `text` split at line feeds; an unterminated tail is kept as a last line.
inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_SUPPORT_CAPTURED_PIPE_H_
