#include "audio/audio_format.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <utility>

namespace veskar {

std::optional<AudioFormat> AudioFormat::make(SampleType type, double sampleRate, uint32_t channels,
                                             bool interleaved) {
  // Rates and channel counts beyond these are no audio anybody records.
  if (!std::isfinite(sampleRate) || sampleRate < 1.0 || sampleRate > 1'000'000.0) return std::nullopt;
  if (channels == 0 || channels > 64) return std::nullopt;
  return AudioFormat{type, sampleRate, channels, interleaved};
}

std::string describe(const AudioFormat& format) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g", format.sampleRate);
  std::string text = format.sampleType == SampleType::int16 ? "int16" : "float32";
  text += ' ';
  text += rate;
  text += " Hz, ";
  text += std::to_string(format.channelCount);
  text += format.channelCount == 1 ? " channel" : " channels";
  text += format.interleaved ? ", interleaved" : ", non-interleaved";
  return text;
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

}  // namespace veskar
