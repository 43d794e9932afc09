// An audio file as a transcription's audio: sent paced, at a multiple of
// real time, and held back whenever the helper has not shown it decoded
// far enough (SendGate), so that its queue never drops a chunk.
#ifndef VESKAR_TOOLS_FILE_FEED_H_
#define VESKAR_TOOLS_FILE_FEED_H_

#include <optional>
#include <vector>

#include "audio_feed.h"
#include "audio_file.h"
#include "command_line.h"

namespace veskar::tools {

class FileFeed final : public AudioFeed {
 public:
  // `sourceIds`: the helper sources, one per slot.
  FileFeed(const Options& options, AudioFile& audio, std::vector<int> sourceIds);

  void ready(Clock::time_point now) override;
  bool pump(Clock::time_point now, HelperProcess& helper) override;
  void stop() override { ended_ = true; }
  void decoded(int slot, int64_t endMs, bool isFinal, Clock::time_point now) override;
  void retire(int slot) override;
  void watch(Clock::time_point now, HelperProcess& helper) override;
  Clock::time_point nextWake(Clock::time_point now, const HelperProcess& helper) const override;
  void showStatus(TranscriptView& view, Clock::time_point now) override;
  double sentSeconds() const override;
  void summarize(Summary& summary) const override;

 private:
  const Options& options_;
  AudioFile& audio_;
  const std::vector<int> sourceIds_;
  std::optional<SendGate> gate_;
  bool ended_ = false;
  int64_t framesSent_ = 0;
  std::vector<std::vector<int16_t>> chunk_;

  // Watching for an idle helper while the gate waits for decoding.
  std::optional<Clock::time_point> waitingSince_;
  std::optional<ActivitySample> lastSample_;
  Clock::time_point lastSampleAt_;
};

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_FILE_FEED_H_
