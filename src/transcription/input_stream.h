// The input stream of one source: a queue of AnalyzerInputs from the
// analyzer (one producer) to the engine (one consumer) that holds at most
// `capacity` waiting inputs. The producer never blocks: an input added to a
// full queue pushes out the oldest waiting one. Thread-safe.
#ifndef VESKAR_TRANSCRIPTION_INPUT_STREAM_H_
#define VESKAR_TRANSCRIPTION_INPUT_STREAM_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

#include "engine/speech_engine.h"

namespace veskar {

class AnalyzerInputStream final : public InputSequence {
 public:
  static constexpr std::size_t kDefaultCapacity = 500;

  enum class YieldResult { enqueued, droppedOldest, terminated };

  explicit AnalyzerInputStream(std::size_t capacity = kDefaultCapacity);

  // Producer side.
  YieldResult yield(AnalyzerInput input);
  // After this the consumer gets what is waiting, then the end; later
  // yields are discarded.
  void finish();

  // Consumer side: blocks while nothing is waiting and the stream is open.
  std::optional<AnalyzerInput> next() override;

  std::size_t waitingCount() const;
  // Inputs pushed out of a full queue so far.
  uint64_t droppedCount() const;

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable inputAvailableOrFinished_;
  // State below is guarded by mutex_.
  std::deque<AnalyzerInput> waiting_;
  bool finished_ = false;
  uint64_t dropped_ = 0;
};

}  // namespace veskar

#endif  // VESKAR_TRANSCRIPTION_INPUT_STREAM_H_
