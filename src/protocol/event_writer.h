// EventWriter turns OutputEvents into lines on standard output.
//
// Every line reaches the descriptor whole: the encoded event and its line
// feed go out in one write(2) (repeated only for a partial write or EINTR)
// under the process-wide lock of the OutputSink, so lines of different
// writers never interleave. Nothing is buffered in the process: when send()
// returns, the line is on the descriptor.
#ifndef VESKAR_PROTOCOL_EVENT_WRITER_H_
#define VESKAR_PROTOCOL_EVENT_WRITER_H_

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

#include "protocol/events.h"

namespace veskar {

// A descriptor shared by every writer of the process.
class OutputSink {
 public:
  enum class OnClosed {
    // Nobody reads any more: end the process at once with closedExitStatus()
    // (0 unless set). Right for standard output, where a helper whose host
    // stopped listening has no work left.
    exitProcess,
    // Drop this and every later line (tests).
    discard,
  };

  OutputSink(int fd, OnClosed onClosed);
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  // Writes `line` (which carries its own line feed) whole.
  void writeLine(std::string_view line);

  // The exit status when the reader is found gone; kKeepRunning makes a
  // closed reader drop lines instead, for a caller that ends the process
  // itself (a failed start must not turn into a success because nobody read
  // about it).
  static constexpr int kKeepRunning = -1;
  void setClosedExitStatus(int status) { closedExitStatus_.store(status); }
  int closedExitStatus() const { return closedExitStatus_.load(); }

  // Takes the sink's lock, waiting at most `timeout`; while the returned lock
  // is held no line is written, and none is ever half written.
  std::unique_lock<std::timed_mutex> lockFor(std::chrono::milliseconds timeout);

 private:
  const int fd_;
  const OnClosed onClosed_;
  std::atomic<int> closedExitStatus_{0};
  // State below is guarded by mutex_.
  std::timed_mutex mutex_;
  bool closed_ = false;
};

// The process's standard output (descriptor 1). SIGPIPE is ignored the first
// time this is called, so a closed pipe shows up as EPIPE.
OutputSink& standardOutput();

class EventWriter {
 public:
  explicit EventWriter(OutputSink& sink = standardOutput());
  EventWriter(const EventWriter&) = delete;
  EventWriter& operator=(const EventWriter&) = delete;

  // Writes `event` as one line. Never fails towards the caller: an event that
  // cannot be encoded is dropped. Sends through one writer are serialised.
  void send(const OutputEvent& event);

 private:
  OutputSink& sink_;
  // State below is guarded by mutex_.
  std::mutex mutex_;
  std::string buffer_;  // reused for every line
};

}  // namespace veskar

#endif  // VESKAR_PROTOCOL_EVENT_WRITER_H_
