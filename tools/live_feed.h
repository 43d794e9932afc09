// The sound server as a transcription's audio: the microphone and the
// meeting recorded through PulseCapture, put in step by a ChunkAligner and
// sent as they come, both sources interleaved, a chunk each. The feed knows
// the input levels and how far the helper lags, for the status line.
#ifndef VESKAR_TOOLS_LIVE_FEED_H_
#define VESKAR_TOOLS_LIVE_FEED_H_

#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "audio_feed.h"
#include "chunk_aligner.h"
#include "command_line.h"
#include "live_status.h"
#include "pulse_capture.h"

namespace veskar::tools {

class LiveFeed final : public AudioFeed {
 public:
  // Connects to the sound server, chooses the devices and starts
  // recording. Throws CaptureError.
  explicit LiveFeed(const Options& options);

  const std::vector<CaptureInput>& inputs() const { return inputs_; }

  void ready(Clock::time_point now) override;
  bool pump(Clock::time_point now, HelperProcess& helper) override;
  void stop() override { stopping_ = true; }
  void decoded(int slot, int64_t endMs, bool isFinal, Clock::time_point now) override;
  void retire(int) override {}
  void watch(Clock::time_point now, HelperProcess& helper) override;
  Clock::time_point nextWake(Clock::time_point now, const HelperProcess& helper) const override;
  int wakeFd() const override { return capture_->wakeFd(); }
  void showStatus(TranscriptView& view, Clock::time_point now) override;
  double sentSeconds() const override;
  void summarize(Summary& summary) const override;

 private:
  // Sends one chunk per source; false once --seconds is reached.
  bool send(std::vector<std::vector<int16_t>>& chunk, HelperProcess& helper, Clock::time_point now);

  const Options& options_;
  std::unique_ptr<PulseCapture> capture_;
  std::vector<CaptureInput> inputs_;
  ChunkAligner aligner_;
  std::vector<LevelMeter> levels_;
  LagTracker lag_;
  Clock::time_point recordingSince_;
  std::vector<Clock::time_point> lastDelivery_;
  std::vector<bool> delivered_;
  std::vector<std::vector<int16_t>> taken_, chunk_;
  bool ready_ = false;
  bool stopping_ = false;  // take what is there, send it, end
  bool over_ = false;      // all sent
  int64_t framesSent_ = 0;
  std::optional<int64_t> frameLimit_;
  Clock::time_point lastIdleCheck_;
  // When the audio up to each position went out (the last minute), and how
  // long after the end of its audio went out each final came.
  std::deque<std::pair<int64_t, Clock::time_point>> sentAt_;
  std::vector<double> finalDelays_;
};

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_LIVE_FEED_H_
