#include "transcription/input_stream.h"

namespace veskar {

AnalyzerInputStream::AnalyzerInputStream(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

AnalyzerInputStream::YieldResult AnalyzerInputStream::yield(AnalyzerInput input) {
  YieldResult result = YieldResult::enqueued;
  {
    std::lock_guard lock(mutex_);
    if (finished_) return YieldResult::terminated;
    if (waiting_.size() >= capacity_) {
      waiting_.pop_front();
      ++dropped_;
      result = YieldResult::droppedOldest;
    }
    waiting_.push_back(std::move(input));
  }
  inputAvailableOrFinished_.notify_one();
  return result;
}

void AnalyzerInputStream::finish() {
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  inputAvailableOrFinished_.notify_all();
}

std::optional<AnalyzerInput> AnalyzerInputStream::next() {
  std::unique_lock lock(mutex_);
  inputAvailableOrFinished_.wait(lock, [&] { return !waiting_.empty() || finished_; });
  if (waiting_.empty()) return std::nullopt;
  AnalyzerInput input = std::move(waiting_.front());
  waiting_.pop_front();
  return input;
}

std::size_t AnalyzerInputStream::waitingCount() const {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

uint64_t AnalyzerInputStream::droppedCount() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace veskar
