#include "file_feed.h"

#include <algorithm>
#include <cmath>

#include "wire_encoding.h"

namespace veskar::tools {

namespace {

using namespace std::chrono_literals;

constexpr int kQuietCapChunks = 400;
constexpr std::size_t kMostPendingInput = 256 * 1024;

}  // namespace

FileFeed::FileFeed(const Options& options, AudioFile& audio, std::vector<int> sourceIds)
    : options_(options), audio_(audio), sourceIds_(std::move(sourceIds)) {}

void FileFeed::ready(Clock::time_point now) {
  SendGateSettings settings;
  settings.chunkMs = options_.chunkMs;
  settings.speed = options_.speed;
  settings.windowChunks = std::clamp(static_cast<int>(std::lround(options_.windowSeconds * 1000 / options_.chunkMs)),
                                     1, kQuietCapChunks);
  settings.quietCapChunks = kQuietCapChunks;
  settings.queueCapacity = kHelperQueueCapacity;
  settings.sources = static_cast<int>(sourceIds_.size());
  gate_.emplace(settings, now);
}

bool FileFeed::pump(Clock::time_point now, HelperProcess& helper) {
  if (ended_) return true;
  if (!gate_) return false;
  const auto chunkFrames = static_cast<std::size_t>(kHelperSampleRate * options_.chunkMs / 1000);
  while (helper.pendingInput() < kMostPendingInput) {
    if (gate_->verdict(now) != SendGate::Verdict::send) break;
    std::size_t frames = 0;
    try {
      frames = audio_.read(chunkFrames, chunk_);
    } catch (...) {
      ended_ = true;
      throw;
    }
    if (frames == 0) {
      ended_ = true;
      break;
    }
    std::string lines;
    for (std::size_t slot = 0; slot < sourceIds_.size(); ++slot) {
      appendAudioLine(lines, sourceIds_[slot], chunk_[std::min(slot, chunk_.size() - 1)]);
    }
    helper.queueInput(lines);
    gate_->sent(now);
    framesSent_ += static_cast<int64_t>(frames);
    waitingSince_.reset();
    lastSample_.reset();
  }
  return ended_;
}

void FileFeed::decoded(int slot, int64_t endMs, bool, Clock::time_point now) {
  if (gate_) gate_->confirmed(slot, endMs, now);
}

void FileFeed::retire(int slot) {
  if (gate_) gate_->retire(slot);
}

// The helper only shows how far it decoded through its upserts, and none
// come during silence. When the gate holds the audio back, a helper whose
// threads all sleep with their CPU time standing still has decoded all it
// was sent: it waits for input.
void FileFeed::watch(Clock::time_point now, HelperProcess& helper) {
  const bool waiting = gate_ && !ended_ && helper.pendingInput() == 0 &&
                       gate_->verdict(now) == SendGate::Verdict::waitDecoding;
  if (!waiting) {
    waitingSince_.reset();
    lastSample_.reset();
    return;
  }
  if (!waitingSince_) waitingSince_ = now;
  if (now - *waitingSince_ < 150ms || (lastSample_ && now - lastSampleAt_ < 100ms)) return;
  const std::optional<ActivitySample> sample = sampleActivity(helper.pid());
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

Clock::time_point FileFeed::nextWake(Clock::time_point now, const HelperProcess& helper) const {
  Clock::time_point wake = now + 100ms;  // progress, signals, idle checks
  if (gate_ && !ended_ && helper.pendingInput() < kMostPendingInput) {
    const SendGate::Verdict verdict = gate_->verdict(now);
    if (verdict == SendGate::Verdict::notYet) wake = std::min(wake, gate_->readyAt(now));
    if (verdict == SendGate::Verdict::waitDecoding) wake = std::min(wake, std::max(now + 20ms, gate_->readyAt(now)));
  }
  return std::max(wake, now);
}

void FileFeed::showStatus(TranscriptView& view, Clock::time_point) {
  view.setProgress(ProgressState{sentSeconds(), audio_.durationSeconds()});
}

double FileFeed::sentSeconds() const { return static_cast<double>(framesSent_) / kHelperSampleRate; }

void FileFeed::summarize(Summary& summary) const {
  summary.mayHaveDropped = gate_ && gate_->mayHaveDropped();
  summary.peakAheadChunks = gate_ ? gate_->peakAheadChunks() : 0;
  summary.queueCapacity = kHelperQueueCapacity;
}

}  // namespace veskar::tools
