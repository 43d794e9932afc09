#include "transcription/audio_converter.h"

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

std::unique_ptr<AudioConverter> AudioConverter::make(const AudioFormat& from, const AudioFormat& to) {
  if (from.channelCount != 1 || to.channelCount == 0) return nullptr;
  void* resampler = nullptr;
  if (from.sampleRate != to.sampleRate) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_t soxr = soxr_create(from.sampleRate, to.sampleRate, 1, &error, &io, &quality, nullptr);
    if (error != nullptr || soxr == nullptr) return nullptr;
    resampler = soxr;
  }
  return std::unique_ptr<AudioConverter>(new AudioConverter(from, to, resampler));
}

AudioConverter::AudioConverter(const AudioFormat& from, const AudioFormat& to, void* resampler)
    : from_(from), to_(to), resampler_(resampler) {}

AudioConverter::~AudioConverter() {
  if (resampler_ != nullptr) soxr_delete(static_cast<soxr_t>(resampler_));
}

void AudioConverter::appendInput(const PcmBuffer& buffer) {
  const uint32_t frames = buffer.frameLength();
  scratchIn_.resize(frames);
  if (const int16_t* samples = buffer.int16ChannelData(0)) {
    for (uint32_t i = 0; i < frames; ++i) scratchIn_[i] = static_cast<float>(samples[i]) / kInt16Scale;
  } else if (const float* floats = buffer.floatChannelData(0)) {
    std::copy(floats, floats + frames, scratchIn_.begin());
  }
  if (resampler_ == nullptr) {
    pending_.insert(pending_.end(), scratchIn_.begin(), scratchIn_.end());
    return;
  }
  const double ratio = to_.sampleRate / from_.sampleRate;
  std::size_t consumed = 0;
  // soxr takes all the input it can buffer; loop in case the output space
  // was too small for it to take everything at once.
  for (;;) {
    scratchOut_.resize(static_cast<std::size_t>(std::ceil((frames - consumed) * ratio)) + 256);
    std::size_t inDone = 0, outDone = 0;
    soxr_error_t error = soxr_process(static_cast<soxr_t>(resampler_), scratchIn_.data() + consumed,
                                      frames - consumed, &inDone, scratchOut_.data(), scratchOut_.size(), &outDone);
    if (error != nullptr) throw AudioConverterError(error);
    pending_.insert(pending_.end(), scratchOut_.begin(), scratchOut_.begin() + static_cast<std::ptrdiff_t>(outDone));
    consumed += inDone;
    if (consumed >= frames && outDone < scratchOut_.size()) break;
    if (inDone == 0 && outDone == 0) break;
  }
}

AudioConverter::OutputStatus AudioConverter::convert(PcmBuffer& output, std::exception_ptr& error,
                                                     const InputBlock& input) {
  error = nullptr;
  OutputStatus status = OutputStatus::inputRanDry;
  try {
    for (;;) {
      InputStatus inputStatus = InputStatus::noDataNow;
      std::shared_ptr<const PcmBuffer> buffer = input(output.frameCapacity(), inputStatus);
      if (inputStatus != InputStatus::haveData) {
        if (inputStatus == InputStatus::endOfStream) status = OutputStatus::endOfStream;
        break;
      }
      if (buffer) appendInput(*buffer);
    }
  } catch (...) {
    error = std::current_exception();
    output.setFrameLength(0);
    return OutputStatus::error;
  }

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
  if (frames > 0 && status == OutputStatus::inputRanDry && pendingFrames() > 0) status = OutputStatus::haveData;
  return status;
}

}  // namespace veskar
