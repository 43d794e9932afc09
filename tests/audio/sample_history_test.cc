#include "audio/sample_history.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace veskar {
namespace {

std::vector<float> read(const SampleHistory& history, int64_t first, std::size_t count) {
  std::vector<float> out(count);
  history.copy(first, out);
  return out;
}

TEST(SampleHistory, FillsGapsWithSilenceAndKeepsFramesAlreadyHeld) {
  SampleHistory history;
  const std::vector<int16_t> first{1, 2, 3};
  const std::vector<int16_t> overlapping{30, 4, 5};
  const std::vector<int16_t> afterGap{9};
  history.append(0, first);
  history.append(2, overlapping);  // frame 2 is already held
  EXPECT_EQ(history.end(), 5);
  history.append(7, afterGap);
  EXPECT_EQ(history.end(), 8);
  EXPECT_EQ(read(history, -2, 11), (std::vector<float>{0, 0, 1, 2, 3, 4, 5, 0, 0, 9, 0}));
  history.append(1, first);  // entirely old: ignored
  EXPECT_EQ(history.end(), 8);
}

TEST(SampleHistory, ForgottenFramesReadAsSilenceOnceDropped) {
  SampleHistory history;
  std::vector<int16_t> samples(40000, 7);
  history.append(0, samples);
  history.forgetBefore(30000);
  EXPECT_EQ(history.end(), 40000);
  EXPECT_EQ(read(history, 29999, 2), (std::vector<float>{0, 7}));
}

TEST(SampleHistory, WholePositionsCopyExactlyAndFractionsInterpolate) {
  SampleHistory history;
  std::vector<int16_t> sine(4000);
  const double hz = 1000;
  for (std::size_t i = 0; i < sine.size(); ++i) {
    sine[i] = static_cast<int16_t>(std::lround(10000 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / 16000)));
  }
  history.append(0, sine);
  std::vector<int16_t> out(100);
  history.interpolate(1000, 1.0, out);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), sine.begin() + 1000));

  struct Case {
    double position;
    double step;
  };
  for (const Case& c : {Case{1000.25, 1.0}, Case{1500.5, 1.0}, Case{2000.9, 1.0001}, Case{2500.0, 0.9999}}) {
    SCOPED_TRACE(c.position);
    history.interpolate(c.position, c.step, out);
    for (std::size_t i = 0; i < out.size(); ++i) {
      const double at = c.position + static_cast<double>(i) * c.step;
      EXPECT_NEAR(out[i], 10000 * std::sin(2 * std::numbers::pi * hz * at / 16000), 30) << i;
    }
  }
}

}  // namespace
}  // namespace veskar
