#include "engine/speech_engine.h"

#include <utility>

namespace veskar {

void ResultChannel::yield(TranscriptionResult result) {
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    waiting_.push_back(std::move(result));
  }
  resultOrEndAvailable_.notify_one();
}

void ResultChannel::finish() {
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  resultOrEndAvailable_.notify_all();
}

void ResultChannel::fail(std::exception_ptr error) {
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    finished_ = true;
    error_ = std::move(error);
  }
  resultOrEndAvailable_.notify_all();
}

bool ResultChannel::isFinished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

std::optional<TranscriptionResult> ResultChannel::next() {
  std::unique_lock lock(mutex_);
  resultOrEndAvailable_.wait(lock, [&] { return !waiting_.empty() || finished_; });
  if (!waiting_.empty()) {
    TranscriptionResult result = std::move(waiting_.front());
    waiting_.pop_front();
    return result;
  }
  if (error_) {
    // Thrown once; the sequence is over afterwards.
    std::exception_ptr error = std::exchange(error_, nullptr);
    std::rethrow_exception(error);
  }
  return std::nullopt;
}

}  // namespace veskar
