// Turns the audio of one or two recordings, arriving in pieces of any size,
// into chunks of one length for every source, in step, from one common
// start: the moment the last recording began to deliver (what came before
// from the others is dropped, keeping each one's newest audio). A recording
// that falls behind the others by more than a set skew (its device paused,
// or runs on a slower clock) is filled with silence up to them, so that the
// sources stay in step with each other and with the wall clock.
//
// Pure bookkeeping; single-threaded.
#ifndef VESKAR_TOOLS_CHUNK_ALIGNER_H_
#define VESKAR_TOOLS_CHUNK_ALIGNER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace veskar::tools {

class ChunkAligner {
 public:
  // REQUIRES: sources >= 1, chunkFrames >= 1.
  ChunkAligner(std::size_t sources, std::size_t chunkFrames, std::size_t mostSkewFrames);

  // The next samples of recording `slot`.
  void add(std::size_t slot, std::span<const int16_t> samples);

  // True iff every source has a whole chunk: `chunk` then holds one chunk
  // per source (resized to the number of sources).
  bool next(std::vector<std::vector<int16_t>>& chunk);

  // What is left at the end: true iff any source still holds samples;
  // `chunk` then holds each source's rest, the shorter ones filled with
  // silence to one length.
  bool rest(std::vector<std::vector<int16_t>>& chunk);

  // Every recording has delivered: the common start is set.
  bool started() const { return started_; }
  // Samples dropped before the common start, and silence put in to keep
  // up, per source.
  int64_t droppedFrames(std::size_t slot) const { return dropped_[slot]; }
  int64_t filledFrames(std::size_t slot) const { return filled_[slot]; }

 private:
  void start();
  void keepInStep();

  const std::size_t chunkFrames_;
  const std::size_t mostSkewFrames_;
  std::vector<std::deque<int16_t>> waiting_;
  std::vector<bool> delivered_;
  std::vector<int64_t> dropped_, filled_;
  bool started_ = false;
};

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_CHUNK_ALIGNER_H_
