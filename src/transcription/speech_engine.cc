#include "transcription/speech_engine.h"

#include <cmath>
#include <new>
#include <utility>

namespace veskar {

std::optional<AudioFormat> AudioFormat::make(SampleType type, double sampleRate, uint32_t channels,
                                             bool interleaved) {
  // Rates and channel counts beyond these are no audio anybody records.
  if (!std::isfinite(sampleRate) || sampleRate < 1.0 || sampleRate > 1'000'000.0) return std::nullopt;
  if (channels == 0 || channels > 64) return std::nullopt;
  return AudioFormat{type, sampleRate, channels, interleaved};
}

PcmBuffer::PcmBuffer(const AudioFormat& format, uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
  const std::size_t samples = static_cast<std::size_t>(frameCapacity) * format.channelCount;
  if (format.sampleType == SampleType::int16) {
    int16Samples_.resize(samples);
  } else {
    floatSamples_.resize(samples);
  }
}

std::shared_ptr<PcmBuffer> PcmBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
  if (format.channelCount == 0 || format.channelCount > 64) return nullptr;
  try {
    return std::shared_ptr<PcmBuffer>(new PcmBuffer(format, frameCapacity));
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const std::length_error&) {
    return nullptr;
  }
}

int16_t* PcmBuffer::int16ChannelData(uint32_t plane) {
  return const_cast<int16_t*>(std::as_const(*this).int16ChannelData(plane));
}

float* PcmBuffer::floatChannelData(uint32_t plane) {
  return const_cast<float*>(std::as_const(*this).floatChannelData(plane));
}

const int16_t* PcmBuffer::int16ChannelData(uint32_t plane) const {
  if (format_.sampleType != SampleType::int16 || plane >= planeCount()) return nullptr;
  return int16Samples_.data() + static_cast<std::size_t>(plane) * frameCapacity_;
}

const float* PcmBuffer::floatChannelData(uint32_t plane) const {
  if (format_.sampleType != SampleType::float32 || plane >= planeCount()) return nullptr;
  return floatSamples_.data() + static_cast<std::size_t>(plane) * frameCapacity_;
}

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
