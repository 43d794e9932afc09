#include "audio/delay_estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "audio/delay_track.h"
#include "support/synthetic_audio.h"

namespace veskar {
namespace {

using testing::echoOf;
using testing::mix;
using testing::roomResponse;
using testing::speechLike;

constexpr double framesPerMs = 16.0;

struct Estimates {
  std::vector<DelayEstimate> all;
  std::vector<double> frames;  // the microphone frame each window is centred on
  int quiet = 0;
};

// Runs the estimator over every block the signals allow.
Estimates estimateAll(const std::vector<float>& microphone, const std::vector<float>& reference,
                      const DelayEstimator::Settings& settings = {}) {
  DelayEstimator estimator(settings);
  const auto block = static_cast<std::ptrdiff_t>(settings.blockFrames);
  const auto maxLag = static_cast<std::ptrdiff_t>(settings.maxLagFrames);
  Estimates result;
  std::vector<float> span(estimator.referenceSpanFrames());
  for (std::ptrdiff_t start = 0; start + block <= static_cast<std::ptrdiff_t>(microphone.size()); start += block) {
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(span.size()); ++i) {
      const std::ptrdiff_t at = start - maxLag + i;
      span[static_cast<std::size_t>(i)] =
          at >= 0 && at < static_cast<std::ptrdiff_t>(reference.size()) ? reference[static_cast<std::size_t>(at)] : 0.0f;
    }
    const auto estimate = estimator.addBlock(std::span(microphone).subspan(static_cast<std::size_t>(start), settings.blockFrames), span);
    if (!estimate) {
      ++result.quiet;
      continue;
    }
    result.all.push_back(*estimate);
    result.frames.push_back(static_cast<double>(start + block) -
                            static_cast<double>(estimator.blocksInWindow() * settings.blockFrames) / 2);
  }
  return result;
}

TEST(DelayEstimator, FindsKnownDelaysWithinOneMillisecond) {
  struct Case {
    double delayMs;
    double leakDb;
    int confidentWindows;  // of 10
  };
  const Case cases[] = {{-500, -12, 8}, {-250.5, -12, 8}, {-40, -6, 8},      {0, -12, 8},  {40, -25, 3},
                        {150, -12, 8},  {300, -6, 8},     {512.25, -18, 8}, {800, -12, 8}};
  const auto room = roomResponse(2400, 7);  // 150 ms
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.delayMs << " ms at " << c.leakDb << " dB");
    const std::size_t frames = 16000 * 6;
    const auto reference = speechLike(frames + 32000, 1);
    // The user talks over the meeting at full level, two seconds in three.
    auto user = speechLike(frames, 2);
    for (std::size_t i = 0; i < frames; ++i) {
      if (i % 48000 >= 32000) user[i] = 0;
    }
    const auto microphone =
        mix(user, echoOf(reference, frames, c.delayMs * framesPerMs, std::pow(10, c.leakDb / 20), room));
    const Estimates estimates = estimateAll(microphone, reference);
    ASSERT_EQ(estimates.all.size(), 12U);
    int confident = 0;
    // From the third block on the window holds enough to be sure.
    for (std::size_t i = 2; i < estimates.all.size(); ++i) {
      EXPECT_NEAR(estimates.all[i].delayFrames, c.delayMs * framesPerMs, framesPerMs) << "estimate " << i;
      if (estimates.all[i].echoPresent) ++confident;
    }
    // A faint echo under the user's voice is not always clear of the noise;
    // the gate needs two confident windows in a row.
    EXPECT_GE(confident, c.confidentWindows);
  }
}

TEST(DelayEstimator, ConfidenceStaysAtTheNoEchoLevelWithoutEcho) {
  for (uint32_t seed = 10; seed < 16; ++seed) {
    SCOPED_TRACE(seed);
    const std::size_t frames = 16000 * 8;
    const auto reference = speechLike(frames + 32000, seed);
    const auto microphone = speechLike(frames, seed + 100);  // the user alone: headphones
    const Estimates estimates = estimateAll(microphone, reference);
    ASSERT_FALSE(estimates.all.empty());
    for (const DelayEstimate& estimate : estimates.all) {
      EXPECT_FALSE(estimate.echoPresent) << estimate.confidence;
      EXPECT_GT(estimate.confidence, 2.0);  // a real noise floor, not a degenerate zero
    }
  }
}

TEST(DelayEstimator, SaysNothingWhileTheMeetingIsSilent) {
  const std::size_t frames = 16000 * 4;
  const std::vector<float> reference(frames + 32000, 0.0f);
  const Estimates estimates = estimateAll(speechLike(frames, 3), reference);
  EXPECT_TRUE(estimates.all.empty());
  EXPECT_EQ(estimates.quiet, 8);
}

TEST(DelayEstimator, TracksDriftWithinTenPercentAtOneHundredPpm) {
  for (double drift : {1e-4, -1e-4}) {
    SCOPED_TRACE(drift);
    const std::size_t frames = 16000 * 30;
    const auto reference = speechLike(frames + 48000, 4);
    const auto microphone =
        mix(speechLike(frames, 5, 1500), echoOf(reference, frames, 120 * framesPerMs, 0.3, roomResponse(2400, 8), drift));
    const Estimates estimates = estimateAll(microphone, reference);
    DelayTrack track({});
    for (std::size_t i = 0; i < estimates.all.size(); ++i) {
      if (estimates.all[i].echoPresent) {
        track.add(estimates.frames[i], estimates.all[i].delayFrames);
      }
    }
    // The echo reads the reference faster by `drift`: the delay falls by
    // that much per frame.
    EXPECT_NEAR(track.drift(), -drift, 0.1 * std::abs(drift));
  }
}

TEST(DelayTrack, FollowsRejectsAndJumps) {
  struct Step {
    double frame;
    double delay;
    DelayTrack::Update expected;
    double delayAfter;  // the line's value at this frame afterwards
  };
  using enum DelayTrack::Update;
  const Step steps[] = {
      {0, 1000, started, 1000},
      {8000, 1010, followed, 1005},   // within 2 ms: averaged
      {16000, 5000, rejected, 1005},  // a lone outlier leaves the line alone
      {24000, 1000, followed, 1003.333},
      {32000, 4000, rejected, 1003.333},
      {40000, 4010, jumped, 4005},    // a second agreeing outlier starts a new line
      {48000, 4020, followed, 4010},
  };
  DelayTrack track({});
  EXPECT_FALSE(track.delayAt(0).has_value());
  for (const Step& step : steps) {
    SCOPED_TRACE(step.frame);
    EXPECT_EQ(track.add(step.frame, step.delay), step.expected);
    EXPECT_NEAR(*track.delayAt(step.frame), step.delayAfter, 0.01);
    EXPECT_EQ(track.drift(), 0.0);  // the estimates span less than 6 s
  }
  track.reset();
  EXPECT_FALSE(track.delayAt(0).has_value());
}

TEST(DelayTrack, SlopeIsTheDriftAndPredictsAhead) {
  DelayTrack track({});
  for (int i = 0; i <= 40; ++i) {
    const double frame = 8000.0 * i;
    // 100 ppm with +-0.5 frame of estimator error
    ASSERT_NE(track.add(frame, 2000 + 1e-4 * frame + ((i % 2) ? 0.5 : -0.5)), DelayTrack::Update::rejected);
  }
  EXPECT_NEAR(track.drift(), 1e-4, 2e-6);
  EXPECT_NEAR(*track.delayAt(400000), 2040, 0.5);
}

}  // namespace
}  // namespace veskar
