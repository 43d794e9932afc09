#include "audio/resampler.h"

#include <gtest/gtest.h>

#include <cmath>

namespace veskar {
namespace {

const AudioFormat kInput = *AudioFormat::make(SampleType::int16, 16000.0, 1, false);

// One conversion of one chunk, as the front end does it.
void convertOnce(Resampler& resampler, const std::vector<int16_t>& input, PcmBuffer& output) {
  resampler.push(input);
  resampler.pull(output);
}

std::vector<int16_t> sine(std::size_t frames, double hz, std::size_t phase = 0) {
  std::vector<int16_t> samples(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    samples[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * hz * double(i + phase) / 16000.0));
  }
  return samples;
}

TEST(Resampler, EqualFormatsCopyExactly) {
  auto resampler = Resampler::make(kInput);
  ASSERT_TRUE(resampler);
  const std::vector<int16_t> samples{0x1234, -1, 32767, -32768, 0, 1};
  auto output = PcmBuffer::make(kInput, 6 + 16);
  convertOnce(*resampler, samples, *output);
  ASSERT_EQ(output->frameLength(), 6u);
  EXPECT_EQ(std::vector<int16_t>(output->int16ChannelData(0), output->int16ChannelData(0) + 6), samples);
}

TEST(Resampler, ResamplesToAnyLayoutAsOneContinuousStream) {
  const struct {
    const char* name;
    AudioFormat to;
  } cases[] = {
      {"48 kHz float stereo planar", *AudioFormat::make(SampleType::float32, 48000.0, 2, false)},
      {"48 kHz float stereo interleaved", *AudioFormat::make(SampleType::float32, 48000.0, 2, true)},
      {"8 kHz int16 mono", *AudioFormat::make(SampleType::int16, 8000.0, 1, false)},
      {"44.1 kHz int16 mono", *AudioFormat::make(SampleType::int16, 44100.0, 1, false)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto resampler = Resampler::make(c.to);
    ASSERT_TRUE(resampler);
    const double ratio = c.to.sampleRate / 16000.0;
    std::size_t delivered = 0;
    constexpr std::size_t kChunk = 320, kChunks = 50;
    std::vector<float> channel0, channel1;
    for (std::size_t k = 0; k < kChunks; ++k) {
      const auto capacity = static_cast<uint32_t>(std::ceil(ratio * kChunk) + 16);
      auto output = PcmBuffer::make(c.to, capacity);
      convertOnce(*resampler, sine(kChunk, 440.0, k * kChunk), *output);
      ASSERT_LE(output->frameLength(), capacity);
      for (uint32_t i = 0; i < output->frameLength(); ++i) {
        if (c.to.sampleType == SampleType::float32 && c.to.interleaved) {
          channel0.push_back(output->floatChannelData(0)[2 * i]);
          channel1.push_back(output->floatChannelData(0)[2 * i + 1]);
        } else if (c.to.sampleType == SampleType::float32) {
          channel0.push_back(output->floatChannelData(0)[i]);
          channel1.push_back(output->floatChannelData(1)[i]);
        } else {
          channel0.push_back(output->int16ChannelData(0)[i] / 32768.0f);
        }
      }
      delivered += output->frameLength();
    }
    // Never more than the input's share; what the filter holds back is
    // bounded (the resampler's filter delay, under 150 ms).
    const double expected = ratio * kChunk * kChunks;
    EXPECT_LE(static_cast<double>(delivered), expected + 1);
    EXPECT_GE(static_cast<double>(delivered), expected - 0.15 * c.to.sampleRate);
    if (!channel1.empty()) {
      EXPECT_EQ(channel0, channel1) << "mono is copied to every channel";
    }
    // The tone survives: its level in the second half matches the input's
    // (8000 / 32768 peak, so an RMS of about 0.173).
    double sum = 0;
    const std::size_t half = channel0.size() / 2;
    for (std::size_t i = half; i < channel0.size(); ++i) sum += double(channel0[i]) * channel0[i];
    EXPECT_NEAR(std::sqrt(sum / double(channel0.size() - half)), 0.1726, 0.01);
  }
}

TEST(Resampler, FramesPastTheOutputCapacityComeWithTheNextCall) {
  auto resampler = Resampler::make(kInput);
  auto small = PcmBuffer::make(kInput, 100);
  convertOnce(*resampler, sine(320, 300.0), *small);
  EXPECT_EQ(small->frameLength(), 100u);
  EXPECT_EQ(resampler->pendingFrames(), 220u);
  auto next = PcmBuffer::make(kInput, 1000);
  convertOnce(*resampler, sine(320, 300.0, 320), *next);
  EXPECT_EQ(next->frameLength(), 540u);
  const auto expected = sine(640, 300.0);
  EXPECT_EQ(std::vector<int16_t>(next->int16ChannelData(0), next->int16ChannelData(0) + 540),
            std::vector<int16_t>(expected.begin() + 100, expected.end()));
}

}  // namespace
}  // namespace veskar
