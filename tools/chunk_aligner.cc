#include "chunk_aligner.h"

#include <algorithm>

namespace veskar::tools {

ChunkAligner::ChunkAligner(std::size_t sources, std::size_t chunkFrames, std::size_t mostSkewFrames)
    : chunkFrames_(chunkFrames),
      mostSkewFrames_(mostSkewFrames),
      waiting_(sources),
      delivered_(sources, false),
      dropped_(sources, 0),
      filled_(sources, 0) {}

void ChunkAligner::add(std::size_t slot, std::span<const int16_t> samples) {
  if (samples.empty()) return;
  waiting_[slot].insert(waiting_[slot].end(), samples.begin(), samples.end());
  delivered_[slot] = true;
  if (!started_ && std::all_of(delivered_.begin(), delivered_.end(), [](bool d) { return d; })) start();
  if (started_) keepInStep();
}

void ChunkAligner::start() {
  started_ = true;
  // Every recording's audio ends now; the shortest began latest.
  std::size_t shortest = waiting_[0].size();
  for (const auto& waiting : waiting_) shortest = std::min(shortest, waiting.size());
  for (std::size_t slot = 0; slot < waiting_.size(); ++slot) {
    const std::size_t excess = waiting_[slot].size() - shortest;
    waiting_[slot].erase(waiting_[slot].begin(), waiting_[slot].begin() + static_cast<std::ptrdiff_t>(excess));
    dropped_[slot] += static_cast<int64_t>(excess);
  }
}

void ChunkAligner::keepInStep() {
  std::size_t longest = 0;
  for (const auto& waiting : waiting_) longest = std::max(longest, waiting.size());
  for (std::size_t slot = 0; slot < waiting_.size(); ++slot) {
    const std::size_t behind = longest - waiting_[slot].size();
    if (behind <= mostSkewFrames_) continue;
    waiting_[slot].insert(waiting_[slot].end(), behind, 0);
    filled_[slot] += static_cast<int64_t>(behind);
  }
}

bool ChunkAligner::next(std::vector<std::vector<int16_t>>& chunk) {
  if (!started_) return false;
  for (const auto& waiting : waiting_) {
    if (waiting.size() < chunkFrames_) return false;
  }
  chunk.resize(waiting_.size());
  for (std::size_t slot = 0; slot < waiting_.size(); ++slot) {
    auto& waiting = waiting_[slot];
    const auto end = waiting.begin() + static_cast<std::ptrdiff_t>(chunkFrames_);
    chunk[slot].assign(waiting.begin(), end);
    waiting.erase(waiting.begin(), end);
  }
  return true;
}

bool ChunkAligner::rest(std::vector<std::vector<int16_t>>& chunk) {
  std::size_t longest = 0;
  for (const auto& waiting : waiting_) longest = std::max(longest, waiting.size());
  if (longest == 0) return false;
  chunk.resize(waiting_.size());
  for (std::size_t slot = 0; slot < waiting_.size(); ++slot) {
    chunk[slot].assign(waiting_[slot].begin(), waiting_[slot].end());
    chunk[slot].resize(longest, 0);
    waiting_[slot].clear();
  }
  return true;
}

}  // namespace veskar::tools
