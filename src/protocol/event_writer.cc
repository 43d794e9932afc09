#include "protocol/event_writer.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace veskar {

OutputSink::OutputSink(int fd, OnClosed onClosed) : fd_(fd), onClosed_(onClosed) {}

void OutputSink::writeLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  while (!line.empty()) {
    const ssize_t written = ::write(fd_, line.data(), line.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      // EPIPE, EBADF, EIO...: the reader is gone and will not come back.
      closed_ = true;
      if (onClosed_ == OnClosed::exitProcess && closedExitStatus() != kKeepRunning) ::_exit(closedExitStatus());
      return;
    }
    line.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::unique_lock<std::timed_mutex> OutputSink::lockFor(std::chrono::milliseconds timeout) {
  return std::unique_lock<std::timed_mutex>(mutex_, timeout);
}

OutputSink& standardOutput() {
  static OutputSink* sink = [] {
    std::signal(SIGPIPE, SIG_IGN);
    // Never destroyed: background threads may still write while the process
    // exits.
    return new OutputSink(STDOUT_FILENO, OutputSink::OnClosed::exitProcess);
  }();
  return *sink;
}

EventWriter::EventWriter(OutputSink& sink) : sink_(sink) {}

void EventWriter::send(const OutputEvent& event) {
  std::lock_guard lock(mutex_);
  try {
    buffer_.clear();
    encodeOutputEvent(event, buffer_);
    buffer_.push_back('\n');
  } catch (...) {
    // An event that cannot be encoded (out of memory) is dropped.
    buffer_.clear();
    return;
  }
  sink_.writeLine(buffer_);
  // Do not keep a huge buffer alive after one unusually long line.
  if (buffer_.capacity() > (1 << 20)) std::string().swap(buffer_);
}

}  // namespace veskar
