// veskar-transcribe: streams an audio file to veskar-speech-helper, the way a
// host application would, and shows the transcript as it forms.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "audio_file.h"
#include "command_line.h"
#include "helper_events.h"
#include "helper_process.h"
#include "send_gate.h"
#include "transcript_view.h"
#include "wire_encoding.h"

namespace veskar::tools {
namespace {

using namespace std::chrono_literals;

constexpr int kQuietCapChunks = 400;
constexpr std::size_t kMostPendingInput = 256 * 1024;
constexpr double kProgressFromSeconds = 15;

volatile sig_atomic_t interrupts = 0;
volatile sig_atomic_t terminatingSignal = 0;

extern "C" void onInterrupt(int) { interrupts = interrupts + 1; }
extern "C" void onTerminate(int signal) { terminatingSignal = signal; }

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

std::string selfPath(const char* argv0) {
  char buffer[4096];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length > 0) return std::string(buffer, static_cast<std::size_t>(length));
  return argv0;
}

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

std::string describeInput(const AudioFile& audio, const Options& options) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g kHz", audio.fileSampleRate() / 1000.0);
  std::string text = std::string(rate) + ", " +
                     (audio.fileChannels() == 1 ? std::string("mono")
                      : audio.fileChannels() == 2 ? std::string("stereo")
                                                  : std::to_string(audio.fileChannels()) + " channels");
  if (!audio.formatName().empty()) text += ", " + audio.formatName();
  if (audio.durationSeconds() >= 0) text += ", " + formatDuration(audio.durationSeconds());
  text += options.stereoSources ? "; left to source 0 (user), right to source 1 (meeting)"
          : options.source == 0 ? "; to source 0 (user)"
                                : "; to source 1 (meeting)";
  char speed[48];
  std::snprintf(speed, sizeof speed, "; at %gx real time", options.speed);
  return text + speed;
}

class Transcription {
 public:
  Transcription(const Options& options, AudioFile& audio, HelperProcess& helper, TranscriptView& view,
                StandardSink& sink)
      : options_(options), audio_(audio), helper_(helper), view_(view), sink_(sink) {
    if (options.stereoSources) {
      sourceIds_ = {0, 1};
    } else {
      sourceIds_ = {options.source};
    }
    started_ = Clock::now();
  }

  // Runs until the helper's output ends; returns the exit status.
  int run();

 private:
  int slotOf(const HelperEvent& event) const {
    if (!event.sourceId) return -1;
    for (std::size_t i = 0; i < sourceIds_.size(); ++i) {
      if (sourceIds_[i] == *event.sourceId) return static_cast<int>(i);
    }
    return -1;
  }
  void sendWhatIsDue(Clock::time_point now);
  void watchForIdleHelper(Clock::time_point now);
  void handle(const HelperEvent& event, Clock::time_point now);
  void handleErrorLine(const std::string& line);
  Clock::time_point nextWake(Clock::time_point now) const;

  const Options& options_;
  AudioFile& audio_;
  HelperProcess& helper_;
  TranscriptView& view_;
  StandardSink& sink_;
  std::vector<int> sourceIds_;
  HelperEventParser parser_;
  std::optional<SendGate> gate_;

  Clock::time_point started_;
  std::optional<Clock::time_point> readyAt_, finishedAt_;
  bool audioEnded_ = false;
  bool finishSent_ = false;
  bool interrupted_ = false;
  bool fatal_ = false;         // the helper reported a failure of the whole stream
  int failedSources_ = 0;
  int64_t framesSent_ = 0;
  std::set<std::string> reportedMessages_;
  std::vector<std::vector<int16_t>> chunk_;

  // Watching for an idle helper while the gate waits for decoding.
  std::optional<Clock::time_point> waitingSince_;
  std::optional<ActivitySample> lastSample_;
  Clock::time_point lastSampleAt_;
};

void Transcription::sendWhatIsDue(Clock::time_point now) {
  if (!gate_ || finishSent_) return;
  const auto chunkFrames = static_cast<std::size_t>(kHelperSampleRate * options_.chunkMs / 1000);
  while (!audioEnded_ && helper_.pendingInput() < kMostPendingInput) {
    if (gate_->verdict(now) != SendGate::Verdict::send) break;
    const std::size_t frames = audio_.read(chunkFrames, chunk_);
    if (frames == 0) {
      audioEnded_ = true;
      break;
    }
    std::string lines;
    for (std::size_t slot = 0; slot < sourceIds_.size(); ++slot) {
      appendAudioLine(lines, sourceIds_[slot], chunk_[std::min(slot, chunk_.size() - 1)]);
    }
    helper_.queueInput(lines);
    gate_->sent(now);
    framesSent_ += static_cast<int64_t>(frames);
    waitingSince_.reset();
    lastSample_.reset();
  }
  if (audioEnded_) {
    helper_.queueInput(finishLine());
    finishSent_ = true;
  }
}

// The helper only shows how far it decoded through its upserts, and none
// come during silence. When the gate holds the audio back, a helper whose
// threads all sleep with their CPU time standing still has decoded all it
// was sent: it waits for input.
void Transcription::watchForIdleHelper(Clock::time_point now) {
  const bool waiting = gate_ && !finishSent_ && helper_.pendingInput() == 0 &&
                       gate_->verdict(now) == SendGate::Verdict::waitDecoding;
  if (!waiting) {
    waitingSince_.reset();
    lastSample_.reset();
    return;
  }
  if (!waitingSince_) waitingSince_ = now;
  if (now - *waitingSince_ < 150ms || (lastSample_ && now - lastSampleAt_ < 100ms)) return;
  const std::optional<ActivitySample> sample = sampleActivity(helper_.pid());
  if (sample && lastSample_ && sample->allThreadsSleeping && lastSample_->allThreadsSleeping &&
      sample->cpuTicks == lastSample_->cpuTicks) {
    gate_->helperIdle(gate_->sentChunks());
    lastSample_.reset();
    waitingSince_.reset();
    return;
  }
  lastSample_ = sample;
  lastSampleAt_ = now;
}

void Transcription::handle(const HelperEvent& event, Clock::time_point now) {
  if (event.type == kStreamReady) {
    if (readyAt_) return;
    readyAt_ = now;
    SendGateSettings settings;
    settings.chunkMs = options_.chunkMs;
    settings.speed = options_.speed;
    settings.windowChunks = std::clamp(
        static_cast<int>(std::lround(options_.windowSeconds * 1000 / options_.chunkMs)), 1, kQuietCapChunks);
    settings.quietCapChunks = kQuietCapChunks;
    settings.queueCapacity = kHelperQueueCapacity;
    settings.sources = static_cast<int>(sourceIds_.size());
    gate_.emplace(settings, now);
  } else if (event.type == kTranscriptUpsert) {
    const int slot = slotOf(event);
    if (gate_ && slot >= 0) gate_->confirmed(slot, event.endMs, now);
    view_.upsert(event);
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
      audioEnded_ = true;
      return;
    }
    const int slot = slotOf(event);
    if (slot >= 0 && gate_) {
      gate_->retire(slot);
      ++failedSources_;
      if (failedSources_ >= static_cast<int>(sourceIds_.size())) audioEnded_ = true;  // nothing left to transcribe
    }
  } else if (event.type == kStreamFinished) {
    if (!finishedAt_) finishedAt_ = now;
  }
}

void Transcription::handleErrorLine(const std::string& line) {
  if (line.empty() || reportedMessages_.count(line) != 0) return;  // said already, as a stream.error
  view_.notice("helper: " + line);
}

Clock::time_point Transcription::nextWake(Clock::time_point now) const {
  Clock::time_point wake = now + 100ms;  // progress, signals, idle checks
  if (gate_ && !finishSent_ && !audioEnded_ && helper_.pendingInput() < kMostPendingInput) {
    const SendGate::Verdict verdict = gate_->verdict(now);
    if (verdict == SendGate::Verdict::notYet) wake = std::min(wake, gate_->readyAt(now));
    if (verdict == SendGate::Verdict::waitDecoding) wake = std::min(wake, std::max(now + 20ms, gate_->readyAt(now)));
  }
  return std::max(wake, now);
}

int Transcription::run() {
  bool outputEnded = false, errorEnded = false;
  bool aborted = false;
  Clock::time_point lastRefresh{};
  const double total = audio_.durationSeconds();
  while (!outputEnded) {
    Clock::time_point now = Clock::now();
    if (terminatingSignal != 0 || interrupts >= 2) {
      aborted = true;
      helper_.kill(SIGKILL);
      break;
    }
    if (interrupts == 1 && !interrupted_) {
      interrupted_ = true;
      audioEnded_ = true;
      view_.notice("interrupted: finishing what was sent (Ctrl-C again to stop at once)");
    }
    if (sink_.outputBroken()) {  // nobody reads the transcript any more
      aborted = true;
      helper_.kill(SIGKILL);
      break;
    }

    sendWhatIsDue(now);
    if (!helper_.flushInput()) audioEnded_ = true;  // it stopped reading: its output ends soon
    watchForIdleHelper(now);

    if (now - lastRefresh >= 50ms) {
      view_.setProgress(ProgressState{static_cast<double>(framesSent_) / kHelperSampleRate, total});
      view_.refresh();
      lastRefresh = now;
    }

    pollfd fds[3];
    nfds_t count = 0;
    const int outIndex = static_cast<int>(count);
    fds[count++] = pollfd{helper_.outputFd(), POLLIN, 0};
    int errIndex = -1, inIndex = -1;
    if (helper_.errorFd() >= 0) {
      errIndex = static_cast<int>(count);
      fds[count++] = pollfd{helper_.errorFd(), POLLIN, 0};
    }
    if (helper_.pendingInput() > 0 && helper_.inputFd() >= 0) {
      inIndex = static_cast<int>(count);
      fds[count++] = pollfd{helper_.inputFd(), POLLOUT, 0};
    }
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(nextWake(now) - now);
    const timespec timeout{static_cast<time_t>(wait.count() / 1000000000), static_cast<long>(wait.count() % 1000000000)};
    const int ready = ::ppoll(fds, count, &timeout, nullptr);
    if (ready < 0 && errno != EINTR) {
      view_.notice(std::string("veskar-transcribe: poll: ") + std::strerror(errno));
      aborted = true;
      break;
    }
    if (ready <= 0) continue;
    (void)inIndex;  // writable input is flushed at the top of the loop

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

  int status = 0;
  if (!readyAt_) {
    view_.notice("veskar-transcribe: the helper did not start (" + exit->describe() + ")");
    status = 2;
  } else if (!finishedAt_ && !aborted) {
    view_.notice("veskar-transcribe: the helper ended before finishing the stream (" + exit->describe() + ")");
    status = 2;
  } else if (!aborted && !(exit->exited && exit->status == 0)) {
    view_.notice("veskar-transcribe: the helper ended with " + exit->describe());
    status = 2;
  }
  if (fatal_ || failedSources_ > 0) status = 2;

  if (readyAt_) {
    Summary summary;
    summary.audioSeconds = static_cast<double>(framesSent_) / kHelperSampleRate;
    summary.sources = static_cast<int>(sourceIds_.size());
    summary.startupSeconds = seconds(*readyAt_ - started_);
    summary.wallSeconds = seconds(finishedAt_.value_or(end) - *readyAt_);
    const rusage& usage = exit->usage;
    summary.helperCpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    summary.utterances = view_.finalCount();
    summary.mayHaveDropped = gate_ && gate_->mayHaveDropped();
    summary.peakAheadChunks = gate_ ? gate_->peakAheadChunks() : 0;
    summary.queueCapacity = kHelperQueueCapacity;
    summary.complete = finishedAt_.has_value() && !interrupted_ && failedSources_ == 0 && !fatal_;
    summary.interrupted = interrupted_ || aborted;
    sink_.write(Stream::err, summaryText(summary));
  }
  if (terminatingSignal != 0) return 128 + terminatingSignal;
  if (status == 0 && (interrupted_ || aborted)) return sink_.outputBroken() ? 0 : 130;
  return status;
}

int runTool(int argc, char** argv) {
  installSignalHandlers();
  const std::string program = "veskar-transcribe";
  Options options;
  try {
    options = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& error) {
    std::fprintf(stderr, "%s: %s\n(%s --help for the options)\n", program.c_str(), error.what(), program.c_str());
    return 1;
  }
  if (options.help) {
    const std::string text = usageText(program);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }

  std::unique_ptr<AudioFile> audio;
  try {
    audio = AudioFile::open(options.file, options.stereoSources ? ChannelLayout::splitStereo : ChannelLayout::monoMix);
  } catch (const AudioFileError& error) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.what());
    return 1;
  }

  const std::string helperPath = options.helper.empty() ? defaultHelperPath(selfPath(argv[0])) : options.helper;
  std::string sources = options.stereoSources ? "0,1" : std::to_string(options.source);

  StandardSink sink;
  const double duration = audio->durationSeconds();
  const bool longFile = duration < 0 || duration >= kProgressFromSeconds;
  const char* noColor = std::getenv("NO_COLOR");
  TranscriptView view(sink, options.progress && longFile, noColor == nullptr || *noColor == '\0');
  if (sink.isTerminal(Stream::err)) view.notice(options.file + ": " + describeInput(*audio, options));

  std::unique_ptr<HelperProcess> helper;
  try {
    helper = std::make_unique<HelperProcess>(
        std::vector<std::string>{helperPath, "--locale", options.locale, "--sources", sources});
  } catch (const HelperProcessError& error) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.what());
    return 2;
  }
  Transcription transcription(options, *audio, *helper, view, sink);
  try {
    return transcription.run();
  } catch (const AudioFileError& error) {
    view.close();
    std::fprintf(stderr, "%s: %s: %s\n", program.c_str(), options.file.c_str(), error.what());
    return 1;
  }
}

}  // namespace
}  // namespace veskar::tools

int main(int argc, char** argv) { return veskar::tools::runTool(argc, argv); }
