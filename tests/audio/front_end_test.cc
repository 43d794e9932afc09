#include "audio/front_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <numeric>

namespace veskar {
namespace {

const AudioFormat kMono16k = *AudioFormat::make(SampleType::int16, 16000.0, 1, false);

std::vector<int16_t> ramp(int16_t first, std::size_t count) {
  std::vector<int16_t> samples(count);
  std::iota(samples.begin(), samples.end(), first);
  return samples;
}

std::vector<int16_t> framesOf(const std::shared_ptr<PcmBuffer>& buffer) {
  if (!buffer) return {};
  return std::vector<int16_t>(buffer->int16ChannelData(0), buffer->int16ChannelData(0) + buffer->frameLength());
}

// Holds every frame until the reference has reached it, as a canceller
// that waits for its reference does; adds the reference sample to it so
// that the test sees which reference each frame met.
class WaitForReference final : public AudioStage {
 public:
  void process(std::span<const int16_t> input, std::vector<int16_t>& output) override {
    held_.insert(held_.end(), input.begin(), input.end());
    release(output);
  }
  void processReference(int64_t offset, std::span<const int16_t> samples, std::vector<int16_t>& output) override {
    EXPECT_EQ(offset, static_cast<int64_t>(reference_.size())) << "reference offsets abut";
    reference_.insert(reference_.end(), samples.begin(), samples.end());
    release(output);
  }
  void drain(std::vector<int16_t>& output) override {
    output.insert(output.end(), held_.begin(), held_.end());
    emitted_ += held_.size();
    held_.clear();
  }

 private:
  void release(std::vector<int16_t>& output) {
    while (!held_.empty() && emitted_ < reference_.size()) {
      output.push_back(static_cast<int16_t>(held_.front() + reference_[emitted_]));
      held_.pop_front();
      ++emitted_;
    }
  }

  std::deque<int16_t> held_;
  std::vector<int16_t> reference_;
  std::size_t emitted_ = 0;
};

// Negates every frame: shows that stages run in order.
class Negate final : public AudioStage {
 public:
  void process(std::span<const int16_t> input, std::vector<int16_t>& output) override {
    for (const int16_t sample : input) output.push_back(static_cast<int16_t>(-sample));
  }
};

TEST(FrontEnd, WithoutStagesTheChunkIsConvertedAtOnce) {
  FrontEnd frontEnd({}, Resampler::make(kMono16k));
  EXPECT_FALSE(frontEnd.takesReference());
  const std::vector<int16_t> chunk = ramp(1, 320);
  const std::shared_ptr<PcmBuffer> output = frontEnd.process(chunk);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->frameCapacity(), 336u) << "the chunk's share plus 16 frames of headroom";
  EXPECT_EQ(framesOf(output), chunk);
  EXPECT_FALSE(frontEnd.drain()) << "nothing is held";
}

TEST(FrontEnd, HeldFramesComeOutWhenTheReferenceArrivesInOrderAndOnce) {
  std::vector<std::unique_ptr<AudioStage>> stages;
  stages.push_back(std::make_unique<WaitForReference>());
  stages.push_back(std::make_unique<Negate>());
  FrontEnd frontEnd(std::move(stages), Resampler::make(kMono16k));
  EXPECT_TRUE(frontEnd.takesReference());

  std::vector<int16_t> delivered;
  auto collect = [&](const std::shared_ptr<PcmBuffer>& buffer) {
    const std::vector<int16_t> frames = framesOf(buffer);
    delivered.insert(delivered.end(), frames.begin(), frames.end());
  };
  collect(frontEnd.process(ramp(0, 300)));
  EXPECT_TRUE(delivered.empty()) << "nothing leaves before its reference";
  collect(frontEnd.processReference(0, std::vector<int16_t>(200, 1000)));
  EXPECT_EQ(delivered.size(), 200u);
  collect(frontEnd.process(ramp(300, 100)));
  EXPECT_EQ(delivered.size(), 200u);
  collect(frontEnd.processReference(200, std::vector<int16_t>(150, 2000)));
  EXPECT_EQ(delivered.size(), 350u);
  collect(frontEnd.drain());
  ASSERT_EQ(delivered.size(), 400u) << "finish lets every held frame out";

  for (int i = 0; i < 400; ++i) {
    SCOPED_TRACE(i);
    const int reference = i < 200 ? 1000 : i < 350 ? 2000 : 0;
    EXPECT_EQ(delivered[static_cast<std::size_t>(i)], -(i + reference));
  }
  EXPECT_FALSE(frontEnd.drain()) << "drained frames are not delivered twice";
}

TEST(FrontEnd, TooLargeAnOutputIsAnAudioBufferFailure) {
  // A rate so high that one chunk's share does not fit a buffer's frame count.
  const AudioFormat huge = *AudioFormat::make(SampleType::float32, 1'000'000.0, 1, false);
  FrontEnd frontEnd({}, Resampler::make(huge));
  const std::vector<int16_t> chunk(80'000'000, 0);
  EXPECT_THROW(frontEnd.process(chunk), AudioBufferUnavailable);
}

}  // namespace
}  // namespace veskar
