#include "audio/resampler.h"

#include <algorithm>
#include <cmath>

#include <soxr.h>

namespace veskar {
namespace {

constexpr float kInt16Scale = 32768.0f;

int16_t toInt16(float sample) {
  const float scaled = std::nearbyint(sample * kInt16Scale);
  return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

}  // namespace

std::unique_ptr<Resampler> Resampler::make(const AudioFormat& to) {
  if (to.channelCount == 0) return nullptr;
  void* resampler = nullptr;
  if (to.sampleRate != kInputRate) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_t soxr = soxr_create(kInputRate, to.sampleRate, 1, &error, &io, &quality, nullptr);
    if (error != nullptr || soxr == nullptr) return nullptr;
    resampler = soxr;
  }
  return std::unique_ptr<Resampler>(new Resampler(to, resampler));
}

Resampler::Resampler(const AudioFormat& to, void* soxr) : to_(to), soxr_(soxr) {}

Resampler::~Resampler() {
  if (soxr_ != nullptr) soxr_delete(static_cast<soxr_t>(soxr_));
}

void Resampler::push(std::span<const int16_t> input) {
  const std::size_t frames = input.size();
  scratchIn_.resize(frames);
  for (std::size_t i = 0; i < frames; ++i) scratchIn_[i] = static_cast<float>(input[i]) / kInt16Scale;
  if (soxr_ == nullptr) {
    pending_.insert(pending_.end(), scratchIn_.begin(), scratchIn_.end());
    return;
  }
  const double ratio = to_.sampleRate / kInputRate;
  const std::size_t pendingBefore = pending_.size();
  std::size_t consumed = 0;
  // soxr takes all the input it can buffer; loop in case the output space
  // was too small for it to take everything at once.
  for (;;) {
    scratchOut_.resize(static_cast<std::size_t>(std::ceil(static_cast<double>(frames - consumed) * ratio)) + 256);
    std::size_t inDone = 0, outDone = 0;
    soxr_error_t error = soxr_process(static_cast<soxr_t>(soxr_), scratchIn_.data() + consumed, frames - consumed,
                                      &inDone, scratchOut_.data(), scratchOut_.size(), &outDone);
    if (error != nullptr) {
      pending_.resize(pendingBefore);
      throw ResamplerError(error);
    }
    pending_.insert(pending_.end(), scratchOut_.begin(), scratchOut_.begin() + static_cast<std::ptrdiff_t>(outDone));
    consumed += inDone;
    if (consumed >= frames && outDone < scratchOut_.size()) break;
    if (inDone == 0 && outDone == 0) break;
  }
}

void Resampler::pull(PcmBuffer& output) {
  const std::size_t frames = std::min<std::size_t>(pendingFrames(), output.frameCapacity());
  const float* source = pending_.data() + pendingStart_;
  const uint32_t channels = to_.channelCount;
  for (uint32_t plane = 0; plane < output.planeCount(); ++plane) {
    const std::size_t stride = to_.interleaved ? channels : 1;
    const uint32_t copies = to_.interleaved ? channels : 1;
    if (int16_t* out = output.int16ChannelData(plane)) {
      for (std::size_t i = 0; i < frames; ++i) {
        const int16_t sample = toInt16(source[i]);
        for (uint32_t c = 0; c < copies; ++c) out[i * stride + c] = sample;
      }
    } else if (float* outFloat = output.floatChannelData(plane)) {
      for (std::size_t i = 0; i < frames; ++i) {
        for (uint32_t c = 0; c < copies; ++c) outFloat[i * stride + c] = source[i];
      }
    }
  }
  output.setFrameLength(static_cast<uint32_t>(frames));
  pendingStart_ += frames;
  if (pendingStart_ == pending_.size()) {
    pending_.clear();
    pendingStart_ = 0;
  } else if (pendingStart_ > 4096 && pendingStart_ * 2 > pending_.size()) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingStart_));
    pendingStart_ = 0;
  }
}

}  // namespace veskar
