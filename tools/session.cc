#include "session.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "audio_devices.h"
#include "audio_file.h"
#include "wire_encoding.h"

namespace veskar::tools {

namespace {

using namespace std::chrono_literals;

// Live, the files are re-written at most this often while finals come:
// a crash loses at most the last few seconds.
constexpr auto kRewriteEvery = 1s;
constexpr auto kRefreshEvery = 50ms;

volatile sig_atomic_t interrupts = 0;
volatile sig_atomic_t terminatingSignal = 0;

extern "C" void onInterrupt(int) { interrupts = interrupts + 1; }
extern "C" void onTerminate(int signal) { terminatingSignal = signal; }

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

double cpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

void installSignalHandlers() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, nullptr);
  action.sa_handler = onInterrupt;  // no SA_RESTART: waits end early
  sigaction(SIGINT, &action, nullptr);
  action.sa_handler = onTerminate;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

Session::Session(FeedKind kind, std::vector<int> sourceIds, AudioFeed& feed, HelperProcess& helper,
                 TranscriptView& view, StandardSink& sink, TranscriptFiles& files)
    : kind_(kind),
      sourceIds_(std::move(sourceIds)),
      feed_(feed),
      helper_(helper),
      view_(view),
      sink_(sink),
      files_(files),
      started_(Clock::now()) {}

int Session::slotOf(const HelperEvent& event) const {
  if (!event.sourceId) return -1;
  for (std::size_t i = 0; i < sourceIds_.size(); ++i) {
    if (sourceIds_[i] == *event.sourceId) return static_cast<int>(i);
  }
  return -1;
}

void Session::handle(const HelperEvent& event, Clock::time_point now) {
  if (event.type == kStreamReady) {
    if (readyAt_) return;
    readyAt_ = now;
    feed_.ready(now);
  } else if (event.type == kTranscriptUpsert) {
    const int slot = slotOf(event);
    if (slot >= 0) feed_.decoded(slot, event.endMs, event.isFinal, now);
    view_.upsert(event);
    if (event.isFinal && event.sourceId) {
      files_.add(FinalUtterance{*event.sourceId, event.utteranceId, event.startMs, event.endMs, event.text});
    }
  } else if (event.type == kStreamStatus) {
    view_.notice("helper: " + (event.message.empty() ? event.code : event.message));
  } else if (event.type == kStreamError) {
    reportedMessages_.insert(event.message);
    std::string text = "helper error";
    if (!event.code.empty()) text += " (" + event.code + ")";
    if (event.sourceId) text += " on source " + std::to_string(*event.sourceId);
    text += ": " + event.message;
    if (event.fatal && !event.sourceId) text += " [fatal]";
    view_.notice(text);
    if (!event.fatal) return;
    if (!event.sourceId) {
      fatal_ = true;
      feed_.stop();
      return;
    }
    const int slot = slotOf(event);
    if (slot >= 0) {
      feed_.retire(slot);
      ++failedSources_;
      if (failedSources_ >= static_cast<int>(sourceIds_.size())) feed_.stop();  // nothing left to transcribe
    }
  } else if (event.type == kStreamFinished) {
    if (!finishedAt_) finishedAt_ = now;
  }
}

void Session::handleErrorLine(const std::string& line) {
  if (line.empty() || reportedMessages_.count(line) != 0) return;  // said already, as a stream.error
  view_.notice("helper: " + line);
}

void Session::feedFailed(const std::string& message, int status) {
  feedFailed_ = true;
  feedFailureStatus_ = status;
  view_.notice("veskar-transcribe: " + message + (readyAt_ ? "; finishing what was sent" : ""));
}

void Session::writeFiles(bool last) {
  if (files_.empty() || (!files_.changed() && !last)) return;
  try {
    files_.writeAll();
    filesWrittenAt_ = Clock::now();
    lastFileError_.clear();
  } catch (const TranscriptFileError& error) {
    filesWrittenAt_ = Clock::now();  // tried: not again at once
    if (error.what() != lastFileError_ || last) view_.notice(std::string("veskar-transcribe: ") + error.what());
    lastFileError_ = error.what();
    if (last) filesFailed_ = true;
  }
}

int Session::run() {
  bool outputEnded = false, errorEnded = false;
  bool aborted = false;
  Clock::time_point lastRefresh{};
  while (!outputEnded) {
    Clock::time_point now = Clock::now();
    if (terminatingSignal != 0 || interrupts >= 2) {
      aborted = true;
      helper_.kill(SIGKILL);
      break;
    }
    if (interrupts == 1 && !interrupted_) {
      interrupted_ = true;
      feed_.stop();
      view_.notice(readyAt_ ? "stopping: finishing what was sent (Ctrl-C again to stop at once)" : "stopping");
    }
    if (sink_.outputBroken()) {  // nobody reads the transcript any more
      aborted = true;
      helper_.kill(SIGKILL);
      break;
    }

    if (!finishSent_) {
      bool over = false;
      try {
        over = feed_.pump(now, helper_);
      } catch (const CaptureError& error) {
        feedFailed(error.what(), 2);
        over = true;
      } catch (const AudioFileError& error) {
        feedFailed(error.what(), 1);
        over = true;
      }
      // Before the helper is ready, it takes no "finish": its start-up ends
      // with an error or with stream.ready, and the finish goes after that.
      if (over && readyAt_) {
        helper_.queueInput(finishLine());
        finishSent_ = true;
      } else if (over && !readyAt_ && feedFailed_) {
        helper_.closeInput();  // no audio will come: the helper ends at end of input
        finishSent_ = true;
      }
    }
    if (!helper_.flushInput()) feed_.stop();  // it stopped reading: its output ends soon
    feed_.watch(now, helper_);

    if (now - lastRefresh >= kRefreshEvery) {
      feed_.showStatus(view_, now);
      view_.refresh();
      lastRefresh = now;
    }
    if (kind_ == FeedKind::live && (!filesWrittenAt_ || now - *filesWrittenAt_ >= kRewriteEvery)) writeFiles(false);

    pollfd fds[4];
    nfds_t count = 0;
    const int outIndex = static_cast<int>(count);
    fds[count++] = pollfd{helper_.outputFd(), POLLIN, 0};
    int errIndex = -1, feedIndex = -1;
    if (helper_.errorFd() >= 0) {
      errIndex = static_cast<int>(count);
      fds[count++] = pollfd{helper_.errorFd(), POLLIN, 0};
    }
    if (helper_.pendingInput() > 0 && helper_.inputFd() >= 0) fds[count++] = pollfd{helper_.inputFd(), POLLOUT, 0};
    if (!finishSent_ && feed_.wakeFd() >= 0) {
      feedIndex = static_cast<int>(count);
      fds[count++] = pollfd{feed_.wakeFd(), POLLIN, 0};
    }
    const Clock::time_point wake = std::max(now, feed_.nextWake(now, helper_));
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
    const timespec timeout{static_cast<time_t>(wait.count() / 1000000000), static_cast<long>(wait.count() % 1000000000)};
    const int ready = ::ppoll(fds, count, &timeout, nullptr);
    if (ready < 0 && errno != EINTR) {
      view_.notice(std::string("veskar-transcribe: poll: ") + std::strerror(errno));
      aborted = true;
      break;
    }
    if (ready <= 0) continue;
    (void)feedIndex;  // the feed takes its audio at the top of the loop

    now = Clock::now();
    if (fds[outIndex].revents != 0) {
      for (const std::string& line : helper_.readOutputLines(outputEnded)) {
        if (const std::optional<HelperEvent> event = parser_.parse(line)) {
          handle(*event, now);
        } else if (!line.empty()) {
          view_.notice("helper wrote a line that is not an event: " + line.substr(0, 200));
        }
      }
    }
    if (errIndex >= 0 && fds[errIndex].revents != 0) {
      for (const std::string& line : helper_.readErrorLines(errorEnded)) handleErrorLine(line);
    }
  }
  const Clock::time_point end = Clock::now();
  feed_.stop();

  // What the helper still says on standard error after its output ended.
  helper_.closeInput();
  std::optional<ExitInfo> exit;
  for (const auto giveUp = Clock::now() + 5s; !(exit = helper_.poll()) && Clock::now() < giveUp;) {
    bool ended = false;
    if (helper_.errorFd() >= 0) {
      for (const std::string& line : helper_.readErrorLines(ended)) handleErrorLine(line);
    }
    std::this_thread::sleep_for(20ms);
  }
  if (!exit) {
    helper_.kill(SIGKILL);
    exit = helper_.wait();
  }
  if (helper_.errorFd() >= 0) {
    bool ended = false;
    for (const std::string& line : helper_.readErrorLines(ended)) handleErrorLine(line);
  }
  view_.close();
  writeFiles(true);

  int status = 0;
  if (!readyAt_) {
    if (!feedFailed_) view_.notice("veskar-transcribe: the helper did not start (" + exit->describe() + ")");
    status = 2;
  } else if (!finishedAt_ && !aborted) {
    view_.notice("veskar-transcribe: the helper ended before finishing the stream (" + exit->describe() + ")");
    status = 2;
  } else if (!aborted && !(exit->exited && exit->status == 0)) {
    view_.notice("veskar-transcribe: the helper ended with " + exit->describe());
    status = 2;
  }
  if (fatal_ || failedSources_ > 0) status = 2;
  if (feedFailed_ && status == 0) status = feedFailureStatus_;
  if (filesFailed_ && status == 0) status = 1;

  if (readyAt_) {
    Summary summary;
    summary.audioSeconds = feed_.sentSeconds();
    summary.sources = static_cast<int>(sourceIds_.size());
    summary.startupSeconds = seconds(*readyAt_ - started_);
    summary.wallSeconds = seconds(finishedAt_.value_or(end) - *readyAt_);
    summary.helperCpuSeconds = cpuSeconds(exit->usage);
    summary.utterances = view_.finalCount();
    summary.complete = finishedAt_.has_value() && (kind_ == FeedKind::live || !interrupted_) && failedSources_ == 0 &&
                       !fatal_ && !feedFailed_ && !aborted;
    summary.interrupted = (kind_ == FeedKind::file && interrupted_) || aborted;
    feed_.summarize(summary);
    if (kind_ == FeedKind::live) {
      rusage self{};
      ::getrusage(RUSAGE_SELF, &self);
      summary.toolCpuSeconds = cpuSeconds(self);
    }
    sink_.write(Stream::err, summaryText(summary));
  }
  if (terminatingSignal != 0) return 128 + terminatingSignal;
  if (status != 0) return status;
  if (aborted) return sink_.outputBroken() ? 0 : 130;
  // A file stopped early is an incomplete transcript; live, Ctrl-C is how
  // a recording ends.
  if (interrupted_ && kind_ == FeedKind::file) return 130;
  return 0;
}

}  // namespace veskar::tools
