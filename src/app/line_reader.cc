#include "app/line_reader.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace veskar {
namespace {

constexpr std::size_t kReadSize = 64 * 1024;

}  // namespace

LineReader::LineReader(int fd) : fd_(fd), buffer_(kReadSize) {}

bool LineReader::fill() {
  if (atEnd_) return false;
  if (begin_ == end_) begin_ = end_ = 0;
  if (buffer_.size() - end_ < kReadSize / 4) {
    buffer_.resize(std::max(buffer_.size(), end_ + kReadSize));
  }
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (n > 0) {
      end_ += static_cast<std::size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    atEnd_ = true;
    return false;
  }
}

bool LineReader::next(std::string& line) {
  line.clear();
  for (;;) {
    const char* start = buffer_.data() + begin_;
    const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
    if (newline != nullptr) {
      line.append(start, newline);
      begin_ += static_cast<std::size_t>(newline - start) + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    // No terminator yet: keep what we have and read more.
    line.append(start, end_ - begin_);
    begin_ = end_ = 0;
    if (!fill()) {
      if (line.empty()) return false;
      // A last line without terminator; only "\r\n" is a terminator, so a
      // lone trailing "\r" stays.
      return true;
    }
  }
}

}  // namespace veskar
