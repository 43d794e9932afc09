// Where a transcription's audio comes from, as the session's loop sees it:
// a file, paced (FileFeed), or the sound server, live (LiveFeed). A feed
// queues audio lines on the helper's input; the session does the rest.
//
// Single-threaded: called from the session's loop only.
#ifndef VESKAR_TOOLS_AUDIO_FEED_H_
#define VESKAR_TOOLS_AUDIO_FEED_H_

#include <cstdint>

#include "helper_process.h"
#include "send_gate.h"
#include "transcript_view.h"

namespace veskar::tools {

class AudioFeed {
 public:
  virtual ~AudioFeed() = default;

  // The helper is ready: sending may begin.
  virtual void ready(Clock::time_point now) = 0;
  // Queues on `helper` the audio that is due. True once the audio is over
  // (all of it sent, or stop() was called and what was taken is sent): the
  // "finish" may follow. Throws (CaptureError, AudioFileError) when the
  // audio fails; the feed is stopped then, and what came before is sent.
  virtual bool pump(Clock::time_point now, HelperProcess& helper) = 0;
  // No more audio after what is at hand.
  virtual void stop() = 0;
  // An upsert of the source in `slot` reached `endMs` of its audio;
  // `isFinal` when it ended an utterance.
  virtual void decoded(int slot, int64_t endMs, bool isFinal, Clock::time_point now) = 0;
  // The source in `slot` failed: it is no longer waited for.
  virtual void retire(int slot) = 0;
  // Between events: whatever the feed watches of the helper.
  virtual void watch(Clock::time_point now, HelperProcess& helper) = 0;
  // When the loop should look again at the latest.
  virtual Clock::time_point nextWake(Clock::time_point now, const HelperProcess& helper) const = 0;
  // A descriptor that turns readable when the feed has news; -1 for none.
  virtual int wakeFd() const { return -1; }
  // Puts the feed's status line (progress, levels, lag) on `view`.
  virtual void showStatus(TranscriptView& view, Clock::time_point now) = 0;
  // Seconds of audio sent per source so far.
  virtual double sentSeconds() const = 0;
  // Fills in what the feed knows for the closing summary.
  virtual void summarize(Summary& summary) const = 0;
};

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_AUDIO_FEED_H_
