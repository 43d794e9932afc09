#include "audio/residual_echo_suppressor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/synthetic_audio.h"

namespace veskar {
namespace {

TEST(ResidualEchoSuppressor, AttenuatesWhatTheCancellerMostlyRemovedAndKeepsSpeech) {
  struct Case {
    const char* name;
    double outputDb;        // the canceller's output against its input
    double expectedGainDb;  // what the suppressor adds, once settled
  };
  const Case cases[] = {
      {"someone speaks: the canceller kept most", -3, 0},
      {"at the keep threshold", -12, 0},
      {"half way", -18, -15},
      {"echo alone: the canceller took most", -30, -30},
  };
  const auto microphone = testing::toPcm(testing::speechLike(1600, 3, 8000));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResidualEchoSuppressor suppressor({});
    std::vector<int16_t> block;
    for (int round = 0; round < 2; ++round) {  // the second block starts at the settled gain
      block.assign(microphone.begin(), microphone.begin() + 160);
      for (int16_t& sample : block) sample = static_cast<int16_t>(std::lround(sample * std::pow(10, c.outputDb / 20)));
      const std::vector<int16_t> before = block;
      suppressor.process(std::span(microphone).first(160), block);
      if (round == 1) {
        const double gainDb = 10 * std::log10(testing::meanSquare(block, 0, 160) / testing::meanSquare(before, 0, 160));
        EXPECT_NEAR(gainDb, c.expectedGainDb, 0.5);
      }
    }
  }
}

TEST(ResidualEchoSuppressor, SilenceIsLeftAlone) {
  ResidualEchoSuppressor suppressor({});
  const std::vector<int16_t> quiet(160, 3);
  std::vector<int16_t> block(160, 1);
  suppressor.process(quiet, block);
  EXPECT_EQ(block, std::vector<int16_t>(160, 1));
}

}  // namespace
}  // namespace veskar
