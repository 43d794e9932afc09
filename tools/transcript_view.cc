#include "transcript_view.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "transcript_files.h"

namespace veskar::tools {

namespace {

constexpr std::string_view kClearLine = "\r\x1b[K";
constexpr std::string_view kUpAndClear = "\x1b[A\x1b[K";
constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kReset = "\x1b[0m";
constexpr std::size_t kMostPartials = 4;

bool isContinuationByte(unsigned char c) { return (c & 0xC0) == 0x80; }

std::size_t codePoints(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) count += isContinuationByte(static_cast<unsigned char>(c)) ? 0 : 1;
  return count;
}

std::string twoDigits(int64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%02lld", static_cast<long long>(value));
  return buffer;
}

}  // namespace

StandardSink::StandardSink() {
  outTty_ = ::isatty(STDOUT_FILENO) == 1;
  errTty_ = ::isatty(STDERR_FILENO) == 1;
  same_ = false;
  struct stat out{}, err{};
  if (outTty_ && errTty_ && ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(STDERR_FILENO, &err) == 0) {
    same_ = out.st_rdev == err.st_rdev;
  }
}

void StandardSink::write(Stream stream, std::string_view bytes) {
  const int fd = stream == Stream::out ? STDOUT_FILENO : STDERR_FILENO;
  if (stream == Stream::out && outBroken_) return;
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      if (stream == Stream::out) outBroken_ = true;
      return;
    }
  }
}

int StandardSink::columns() const {
  winsize size{};
  const int fd = outTty_ ? STDOUT_FILENO : STDERR_FILENO;
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::string formatTimestamp(int64_t ms) {
  if (ms < 0) ms = 0;
  const int64_t centis = ms / 10;
  const int64_t seconds = centis / 100;
  const int64_t minutes = seconds / 60;
  const int64_t hours = minutes / 60;
  std::string text = hours > 0 ? std::to_string(hours) + ":" + twoDigits(minutes % 60) : twoDigits(minutes);
  return text + ":" + twoDigits(seconds % 60) + "." + twoDigits(centis % 100);
}

std::string formatDuration(double seconds) {
  const auto whole = static_cast<int64_t>(std::max(0.0, std::floor(seconds + 0.5)));
  const int64_t hours = whole / 3600;
  const int64_t minutes = whole / 60 % 60;
  if (hours > 0) return std::to_string(hours) + ":" + twoDigits(minutes) + ":" + twoDigits(whole % 60);
  return std::to_string(minutes) + ":" + twoDigits(whole % 60);
}

std::string finalLine(const HelperEvent& upsert) {
  const std::string speaker = upsert.sourceId ? speakerName(*upsert.sourceId)
                              : !upsert.speaker.empty() ? upsert.speaker
                                                        : std::string("?");
  std::string line = "[";
  line += formatTimestamp(upsert.startMs);
  line += "] ";
  line += speaker;
  line += ": ";
  line += upsert.text;
  return line;
}

std::string fitToColumns(std::string_view text, int columns) {
  if (columns < 2) columns = 2;
  const std::size_t limit = static_cast<std::size_t>(columns);
  const std::size_t length = codePoints(text);
  if (length <= limit) return std::string(text);
  // Keep the last limit - 1 code points: the newest words matter most.
  std::size_t skip = length - (limit - 1);
  std::size_t i = 0;
  while (i < text.size()) {
    if (!isContinuationByte(static_cast<unsigned char>(text[i]))) {
      if (skip == 0) break;
      --skip;
    }
    ++i;
  }
  return "\xE2\x80\xA6" + std::string(text.substr(i));
}

// The first `columns` code points of `text`, ending with "…" when cut.
std::string cutToColumns(std::string_view text, int columns) {
  if (columns < 2) columns = 2;
  const std::size_t limit = static_cast<std::size_t>(columns);
  if (codePoints(text) <= limit) return std::string(text);
  std::size_t keep = limit - 1, i = 0;
  for (; i < text.size(); ++i) {
    if (!isContinuationByte(static_cast<unsigned char>(text[i]))) {
      if (keep == 0) break;
      --keep;
    }
  }
  return std::string(text.substr(0, i)) + "\xE2\x80\xA6";
}

std::string partialLine(const HelperEvent& upsert, int columns) {
  HelperEvent label = upsert;
  label.text.clear();
  const std::string prefix = finalLine(label);
  const int room = columns - static_cast<int>(codePoints(prefix));
  if (room < 12) return fitToColumns(finalLine(upsert), columns);
  return prefix + fitToColumns(upsert.text, room);
}

std::string progressLine(const ProgressState& progress, int columns) {
  const std::string sent = formatDuration(progress.sentSeconds);
  if (progress.totalSeconds <= 0) return fitToColumns("sent " + sent, columns - 1);
  const double fraction = std::clamp(progress.sentSeconds / progress.totalSeconds, 0.0, 1.0);
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(std::floor(fraction * 100)));
  const std::string tail = std::string(" ") + percent + "  " + sent + " / " + formatDuration(progress.totalSeconds);
  const int barWidth = std::clamp(columns - 1 - static_cast<int>(tail.size()) - 2, 0, 40);
  if (barWidth < 5) return fitToColumns(tail.substr(1), columns - 1);
  const int filled = static_cast<int>(std::floor(fraction * barWidth));
  std::string line = "[";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(barWidth - filled), '-');
  line += "]";
  line += tail;
  return line;
}

TranscriptView::TranscriptView(ViewSink& sink, bool showProgress, bool color) : sink_(sink), color_(color) {
  const bool outTty = sink_.isTerminal(Stream::out);
  const bool errTty = sink_.isTerminal(Stream::err);
  if (outTty) {
    live_ = LiveRegion::out;
    partialsLive_ = true;
    progressLive_ = showProgress && errTty && sink_.sameTerminal();
  } else if (errTty && showProgress) {
    live_ = LiveRegion::err;
    progressLive_ = true;
  }
}

bool TranscriptView::touchesLive(Stream stream) const {
  switch (live_) {
    case LiveRegion::none:
      return false;
    case LiveRegion::out:
      return stream == Stream::out || sink_.sameTerminal();
    case LiveRegion::err:
      return stream == Stream::err;
  }
  return false;
}

void TranscriptView::upsert(const HelperEvent& event) {
  if (event.utteranceId.empty()) return;
  if (finalized_.count(event.utteranceId) != 0) return;  // later revisions of a final change nothing shown
  auto [revision, fresh] = revisions_.try_emplace(event.utteranceId, event.revision);
  if (!fresh) {
    if (event.revision < revision->second) return;  // out of order: an older revision
    revision->second = event.revision;
  }
  if (event.isFinal) {
    partials_.erase(event.utteranceId);
    finalized_.insert(event.utteranceId);
    revisions_.erase(event.utteranceId);
    heldFinals_.emplace(event.startMs, event);
    if (partialsLive_) dirty_ = true;
    releaseFinals();
    return;
  }
  auto [partial, inserted] = partials_.try_emplace(event.utteranceId, Partial{sequence_, event});
  if (inserted) ++sequence_;
  if (inserted || partial->second.event.text != event.text || partial->second.event.startMs != event.startMs) {
    if (partialsLive_) dirty_ = true;
  }
  partial->second.event = event;
}

void TranscriptView::releaseFinals() {
  while (!heldFinals_.empty()) {
    const HelperEvent& first = heldFinals_.begin()->second;
    // Only the live screen, which shows the one waited for, holds finals
    // back; a pipe gets each one as soon as it comes.
    const bool waits = partialsLive_ && std::any_of(partials_.begin(), partials_.end(), [&](const auto& entry) {
      const HelperEvent& partial = entry.second.event;
      return partial.sourceId != first.sourceId && partial.startMs < first.startMs;
    });
    if (waits) return;
    const std::string line = finalLine(first) + "\n";
    heldFinals_.erase(heldFinals_.begin());
    permanent(Stream::out, line);
  }
}

void TranscriptView::notice(std::string_view line) {
  std::string text(line);
  if (text.empty() || text.back() != '\n') text.push_back('\n');
  permanent(Stream::err, text);
}

void TranscriptView::setProgress(const ProgressState& progress) {
  if (!progressLive_) return;
  setStatus(progressLine(progress, sink_.columns()));
}

void TranscriptView::setStatus(const std::string& line) {
  if (!progressLive_) return;
  if (status_ != line) dirty_ = true;
  status_ = line;
}

void TranscriptView::refresh() {
  if (!dirty_ || !liveOnTerminal()) return;
  clearLive();
  drawLive();
}

void TranscriptView::permanent(Stream stream, const std::string& text) {
  const bool touches = touchesLive(stream);
  if (touches) clearLive();
  sink_.write(stream, text);
  if (touches) drawLive();
}

void TranscriptView::clearLive() {
  if (drawnLines_ == 0) return;
  const Stream stream = live_ == LiveRegion::err ? Stream::err : Stream::out;
  std::string bytes(kClearLine);
  for (int i = 1; i < drawnLines_; ++i) bytes += kUpAndClear;
  sink_.write(stream, bytes);
  drawnLines_ = 0;
}

void TranscriptView::drawLive() {
  dirty_ = false;
  if (!liveOnTerminal()) return;
  const int columns = sink_.columns();
  std::vector<std::pair<Stream, std::string>> lines;
  if (partialsLive_) {
    // Held finals and partials in the order their utterances began; the
    // partials dim.
    std::vector<std::pair<const HelperEvent*, bool>> ordered;
    for (const auto& [start, final] : heldFinals_) ordered.emplace_back(&final, true);
    for (const auto& [id, partial] : partials_) ordered.emplace_back(&partial.event, false);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto& a, const auto& b) { return a.first->startMs < b.first->startMs; });
    if (ordered.size() > kMostPartials) ordered.erase(ordered.begin(), ordered.end() - kMostPartials);
    for (const auto& [event, isFinal] : ordered) {
      std::string text = partialLine(*event, columns - 1);
      if (color_ && !isFinal) text = std::string(kDim) + text + std::string(kReset);
      lines.emplace_back(Stream::out, std::move(text));
    }
  }
  if (progressLive_ && status_) lines.emplace_back(Stream::err, cutToColumns(*status_, columns - 1));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // The line feed ends the line above; the cursor stays on the last line.
    sink_.write(lines[i].first, (i > 0 ? "\n" : "") + lines[i].second);
  }
  drawnLines_ = static_cast<int>(lines.size());
}

void TranscriptView::close() {
  clearLive();
  std::vector<std::pair<const HelperEvent*, bool>> ordered;
  for (const auto& [start, final] : heldFinals_) ordered.emplace_back(&final, true);
  for (const auto& [id, partial] : partials_) ordered.emplace_back(&partial.event, false);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& a, const auto& b) { return a.first->startMs < b.first->startMs; });
  for (const auto& [event, isFinal] : ordered) {
    sink_.write(Stream::out, finalLine(*event) + (isFinal ? "\n" : " (not final)\n"));
  }
  heldFinals_.clear();
  partials_.clear();
  live_ = LiveRegion::none;
  partialsLive_ = progressLive_ = false;
}

std::string summaryText(const Summary& s) {
  char buffer[512];
  std::string text;
  std::snprintf(buffer, sizeof buffer, "audio:        %.1f s (%s)%s\n", s.audioSeconds,
                s.sources == 2 ? "2 sources" : "1 source", s.complete ? "" : ", transcript incomplete");
  text += buffer;
  std::snprintf(buffer, sizeof buffer, "wall time:    %.1f s, after a start-up of %.2f s\n", s.wallSeconds,
                s.startupSeconds);
  text += buffer;
  if (s.audioSeconds > 0 && !s.live) {  // live audio comes in real time
    std::snprintf(buffer, sizeof buffer, "real-time factor: %.3f (%.1fx real time)\n", s.wallSeconds / s.audioSeconds,
                  s.wallSeconds > 0 ? s.audioSeconds / s.wallSeconds : 0.0);
    text += buffer;
  }
  if (s.helperCpuSeconds) {
    std::snprintf(buffer, sizeof buffer, "helper CPU:   %.1f s", *s.helperCpuSeconds);
    text += buffer;
    if (s.audioSeconds > 0) {
      std::snprintf(buffer, sizeof buffer, " (%.3f s per second of audio per source)",
                    *s.helperCpuSeconds / s.audioSeconds / std::max(s.sources, 1));
      text += buffer;
    }
    text += "\n";
  }
  if (s.toolCpuSeconds) {
    std::snprintf(buffer, sizeof buffer, "tool CPU:     %.1f s\n", *s.toolCpuSeconds);
    text += buffer;
  }
  text += "utterances:   " + std::to_string(s.utterances) + "\n";
  if (s.live) {
    if (s.mostLagMs > s.queueMs) {
      std::snprintf(buffer, sizeof buffer,
                    "dropped audio: possibly: the helper lagged up to %.1f s behind, and it keeps only %.1f s\n",
                    static_cast<double>(s.mostLagMs) / 1000, static_cast<double>(s.queueMs) / 1000);
    } else {
      std::snprintf(buffer, sizeof buffer, "helper lag:   at most %.1f s behind the audio (it keeps %.1f s)\n",
                    static_cast<double>(s.mostLagMs) / 1000, static_cast<double>(s.queueMs) / 1000);
    }
  } else if (s.mayHaveDropped) {
    std::snprintf(buffer, sizeof buffer,
                  "dropped audio: possibly: up to %lld chunks were ahead of what the helper had decoded, and it "
                  "keeps only %d\n",
                  static_cast<long long>(s.peakAheadChunks), s.queueCapacity);
  } else {
    std::snprintf(buffer, sizeof buffer,
                  "dropped audio: none (never more than %lld chunks beyond what the helper had shown it decoded; "
                  "it keeps %d)\n",
                  static_cast<long long>(s.peakAheadChunks), s.queueCapacity);
  }
  text += buffer;
  if (s.interrupted) text += "interrupted: the audio after that point was not sent\n";
  for (const std::string& note : s.notes) text += note + "\n";
  return text;
}

}  // namespace veskar::tools
