// Decides when the next chunk of audio may go to the helper.
//
// The helper never acknowledges audio, and it keeps only the newest
// `queueCapacity` waiting chunks per source, dropping the oldest when its
// engine falls behind. So the audio goes out paced (a chunk every
// chunk/speed of wall time) and no further than a window ahead of the
// position each source has been seen decoding: the end of its latest
// transcript upsert. During silence no upserts come; once a source has been
// quiet for a while the window gives way to a hard cap on the chunks beyond
// the confirmed position, kept well under the queue's capacity. When the
// helper is seen idle, everything sent so far has been decoded.
//
// Pure bookkeeping: the caller passes the time in.
#ifndef VESKAR_TOOLS_SEND_GATE_H_
#define VESKAR_TOOLS_SEND_GATE_H_

#include <chrono>
#include <cstdint>
#include <vector>

namespace veskar::tools {

using Clock = std::chrono::steady_clock;

// The helper's waiting chunks per source: past this many unread chunks it
// drops the oldest. A test pins it to the helper's own constant.
inline constexpr int kHelperQueueCapacity = 500;

struct SendGateSettings {
  int chunkMs = 100;
  double speed = 1.0;               // multiple of real time; > 0
  int windowChunks = 50;            // beyond the confirmed position
  std::chrono::milliseconds quietAfter{1500};  // without upserts: window gives way
  int quietCapChunks = 400;         // beyond the confirmed position, when quiet
  int queueCapacity = kHelperQueueCapacity;
  int sources = 1;
};

class SendGate {
 public:
  enum class Verdict {
    send,          // the next chunk may go now
    notYet,        // paced: wait until readyAt()
    waitDecoding,  // too far ahead of what the helper has decoded
  };

  SendGate(const SendGateSettings& settings, Clock::time_point start);

  Verdict verdict(Clock::time_point now) const;
  // When the pacing lets the next chunk go (meaningful for notYet; for
  // waitDecoding, when the quiet rule may next change the verdict).
  Clock::time_point readyAt(Clock::time_point now) const;

  // One chunk went to every source that is still live.
  void sent(Clock::time_point now);
  // A transcript upsert of `source` reached `endMs` of that source's audio.
  void confirmed(int source, int64_t endMs, Clock::time_point now);
  // The helper was seen idle after `sentChunks` chunks had gone out: it has
  // taken all of them.
  void helperIdle(int64_t sentChunks);
  // A source that failed is no longer waited for.
  void retire(int source);

  int64_t sentChunks() const { return sent_; }
  int64_t confirmedChunks(int source) const;
  // Chunks sent beyond the confirmed position: an upper bound of what waits
  // in the helper's queue for that source.
  int64_t aheadChunks(int source) const;
  // The most that was ever ahead, over all sources, right after a send.
  int64_t peakAheadChunks() const { return peakAhead_; }
  // True when some source ever had more chunks beyond its confirmed position
  // than the helper's queue holds: the oldest of them may have been dropped.
  bool mayHaveDropped() const { return peakAhead_ > settings_.queueCapacity; }

 private:
  struct Source {
    int64_t confirmed = 0;  // chunks known to be taken
    Clock::time_point lastUpsert;
    bool live = true;
  };

  bool mayRunAhead(const Source& source, Clock::time_point now) const;
  Clock::duration interval() const;

  SendGateSettings settings_;
  std::vector<Source> sources_;
  int64_t sent_ = 0;
  Clock::time_point due_;
  int64_t peakAhead_ = 0;
};

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_SEND_GATE_H_
