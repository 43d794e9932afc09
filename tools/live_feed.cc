#include "live_feed.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cmath>

#include "transcript_files.h"
#include "wire_encoding.h"

namespace veskar::tools {

namespace {

using namespace std::chrono_literals;

// A recording that delivers nothing for this long has stopped (the server
// sends every fragment within a fraction of a second).
constexpr auto kStallAfter = 3s;
// The first audio may take longer: devices wake up.
constexpr auto kFirstAudioWithin = 5s;
// A source further behind the other than this is filled with silence: its
// device paused, or runs on a slower clock.
constexpr int kMostSkewMs = 1000;
constexpr auto kIdleCheckEvery = 250ms;

std::vector<int> slotsOf(const Options& options) { return options.liveSources; }

}  // namespace

LiveFeed::LiveFeed(const Options& options)
    : options_(options),
      aligner_(options.liveSources.size(), static_cast<std::size_t>(kCaptureSampleRate * options.chunkMs / 1000),
               static_cast<std::size_t>(kCaptureSampleRate * kMostSkewMs / 1000)),
      levels_(options.liveSources.size()),
      lag_(options.liveSources.size()) {
  capture_ = std::make_unique<PulseCapture>("veskar-transcribe");
  inputs_ = chooseDevices(capture_->devices(), slotsOf(options), options.mic, options.meeting);
  // Fragments of half a chunk: a chunk is complete soon after its last
  // sample was recorded.
  capture_->record(inputs_, std::max(10, options.chunkMs / 2));
  recordingSince_ = Clock::now();
  lastDelivery_.assign(inputs_.size(), recordingSince_);
  delivered_.assign(inputs_.size(), false);
  if (options.seconds) frameLimit_ = static_cast<int64_t>(std::llround(*options.seconds * kCaptureSampleRate));
}

void LiveFeed::ready(Clock::time_point) { ready_ = true; }

bool LiveFeed::send(std::vector<std::vector<int16_t>>& chunk, HelperProcess& helper, Clock::time_point now) {
  std::size_t frames = chunk.empty() ? 0 : chunk[0].size();
  if (frameLimit_) frames = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(frames), *frameLimit_ - framesSent_));
  std::string lines;
  for (std::size_t slot = 0; slot < chunk.size(); ++slot) {
    chunk[slot].resize(frames);
    if (frames == 0) continue;
    appendAudioLine(lines, inputs_[slot].sourceId, chunk[slot]);
  }
  helper.queueInput(lines);
  framesSent_ += static_cast<int64_t>(frames);
  sentAt_.emplace_back(framesSent_, now);
  while (!sentAt_.empty() && now - sentAt_.front().second > 60s) sentAt_.pop_front();
  for (std::size_t slot = 0; slot < chunk.size(); ++slot) lag_.sent(slot, framesSent_ * 1000 / kCaptureSampleRate);
  return !frameLimit_ || framesSent_ < *frameLimit_;
}

bool LiveFeed::pump(Clock::time_point now, HelperProcess& helper) {
  if (over_) return true;
  std::optional<CaptureError> failure;
  try {
    capture_->take(taken_);
  } catch (const CaptureError& error) {
    failure = error;
  }
  for (std::size_t slot = 0; slot < taken_.size(); ++slot) {
    if (taken_[slot].empty()) continue;
    // Levels as recorded, so that the meters move before the helper is ready.
    levels_[slot].add(taken_[slot], kCaptureSampleRate);
    aligner_.add(slot, taken_[slot]);
    taken_[slot].clear();
    lastDelivery_[slot] = now;
    delivered_[slot] = true;
  }
  if (!failure && !stopping_) {
    for (std::size_t slot = 0; slot < inputs_.size(); ++slot) {
      const auto quiet = now - lastDelivery_[slot];
      if (quiet < (delivered_[slot] ? kStallAfter : kFirstAudioWithin)) continue;
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(quiet).count();
      failure = CaptureError("the " + inputs_[slot].role + " '" + inputs_[slot].device + "' delivered no audio for " +
                             std::to_string(seconds) + " s");
      break;
    }
  }
  if (!ready_) {
    if (!failure) return false;
    over_ = true;  // nothing was sent; the audio at hand goes nowhere
    throw *failure;
  }
  bool more = true;
  while (more && aligner_.next(chunk_)) more = send(chunk_, helper, now);
  if (failure || stopping_ || !more) {
    if (more && aligner_.rest(chunk_)) send(chunk_, helper, now);
    over_ = true;
    if (failure) throw *failure;
  }
  return over_;
}

void LiveFeed::decoded(int slot, int64_t endMs, bool isFinal, Clock::time_point now) {
  lag_.decoded(static_cast<std::size_t>(slot), endMs);
  if (!isFinal) return;
  const int64_t endFrame = endMs * kCaptureSampleRate / 1000;
  const auto sent = std::find_if(sentAt_.begin(), sentAt_.end(), [&](const auto& entry) { return entry.first >= endFrame; });
  if (sent != sentAt_.end()) finalDelays_.push_back(std::chrono::duration<double>(now - sent->second).count());
}

// The helper shows how far it decoded only through upserts, none of which
// come in silence. When its input pipe is empty and all its threads sleep,
// it has decoded everything sent: it waits for more.
void LiveFeed::watch(Clock::time_point now, HelperProcess& helper) {
  if (!ready_ || now - lastIdleCheck_ < kIdleCheckEvery) return;
  lastIdleCheck_ = now;
  int unread = 0;
  if (helper.pendingInput() != 0 || helper.inputFd() < 0 || ::ioctl(helper.inputFd(), FIONREAD, &unread) != 0 ||
      unread != 0) {
    return;
  }
  const std::optional<ActivitySample> sample = sampleActivity(helper.pid());
  if (sample && sample->allThreadsSleeping) lag_.caughtUp();
}

Clock::time_point LiveFeed::nextWake(Clock::time_point now, const HelperProcess&) const {
  // Status redraws, idle and stall checks; audio wakes the loop through wakeFd().
  return now + 100ms;
}

void LiveFeed::showStatus(TranscriptView& view, Clock::time_point now) {
  LiveStatus status;
  status.elapsedSeconds = std::chrono::duration<double>(now - recordingSince_).count();
  for (std::size_t slot = 0; slot < inputs_.size(); ++slot) {
    status.levels.push_back(LiveStatus::Level{speakerName(inputs_[slot].sourceId), levels_[slot].levelDb()});
  }
  if (ready_) status.lagSeconds = static_cast<double>(lag_.lagMs()) / 1000;
  status.finishing = stopping_ || over_;
  view.setStatus(statusLine(status));
}

double LiveFeed::sentSeconds() const { return static_cast<double>(framesSent_) / kCaptureSampleRate; }

void LiveFeed::summarize(Summary& summary) const {
  summary.live = true;
  summary.mostLagMs = lag_.mostLagMs();
  summary.queueCapacity = kHelperQueueCapacity;
  summary.queueMs = static_cast<int64_t>(kHelperQueueCapacity) * options_.chunkMs;
  if (!finalDelays_.empty()) {
    std::vector<double> delays = finalDelays_;
    std::sort(delays.begin(), delays.end());
    char text[160];
    std::snprintf(text, sizeof text, "finals:       %.2f s (median; at most %.2f s) after the end of their audio was sent",
                  delays[delays.size() / 2], delays.back());
    summary.notes.push_back(text);
  }
  for (std::size_t slot = 0; slot < inputs_.size(); ++slot) {
    const int64_t filled = aligner_.filledFrames(slot);
    if (filled > 0) {
      char text[160];
      std::snprintf(text, sizeof text, "%s: %.1f s of silence put in where the device delivered nothing",
                    speakerName(inputs_[slot].sourceId).c_str(), static_cast<double>(filled) / kCaptureSampleRate);
      summary.notes.push_back(text);
    }
  }
}

}  // namespace veskar::tools
