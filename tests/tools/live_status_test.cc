// The live status line: levels, meters, lag.
#include "live_status.h"

#include <gtest/gtest.h>

#include <cmath>

namespace veskar::tools {
namespace {

TEST(LiveStatus, LevelsAreRmsInDecibelsBelowFullScale) {
  struct Case {
    const char* name;
    std::vector<int16_t> samples;
    double db;
  };
  const std::vector<Case> cases = {
      {"nothing", {}, LevelMeter::kFloorDb},
      {"silence", std::vector<int16_t>(160, 0), LevelMeter::kFloorDb},
      {"full scale", {-32768, -32768, -32768, -32768}, 0.0},
      {"half scale", {16384, -16384, 16384, -16384}, 20 * std::log10(0.5)},
      {"one in a hundred", {328, -328}, 20 * std::log10(328.0 / 32768)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(rmsDb(c.samples), c.db, 0.01);
  }
}

TEST(LiveStatus, TheMeterRisesAtOnceAndFallsTwentyDecibelsASecond) {
  LevelMeter meter;
  EXPECT_EQ(meter.levelDb(), LevelMeter::kFloorDb);
  const std::vector<int16_t> loud(800, 16384);  // 50 ms at 16 kHz, -6 dB
  meter.add(loud, 16000);
  EXPECT_NEAR(meter.levelDb(), -6.02, 0.01);
  const std::vector<int16_t> quiet(8000, 0);  // half a second
  meter.add(quiet, 16000);
  EXPECT_NEAR(meter.levelDb(), -16.02, 0.01);
  for (int i = 0; i < 20; ++i) meter.add(quiet, 16000);
  EXPECT_EQ(meter.levelDb(), LevelMeter::kFloorDb);
}

TEST(LiveStatus, MetersSpanSixtyDecibels) {
  const std::vector<std::pair<double, std::string>> cases = {
      {LevelMeter::kFloorDb, "[----------]"}, {-60, "[----------]"}, {-54, "[#---------]"},
      {-30, "[#####-----]"},                    {-3, "[##########]"},  {0, "[##########]"},
  };
  for (const auto& [db, bar] : cases) {
    SCOPED_TRACE(db);
    EXPECT_EQ(levelBar(db, 10), bar);
  }
}

TEST(LiveStatus, TheLineShowsTimeLevelsAndLag) {
  LiveStatus status;
  status.elapsedSeconds = 83.4;
  status.levels = {{"You", -23.4}, {"Meeting", LevelMeter::kFloorDb}};
  EXPECT_EQ(statusLine(status), "REC 1:23  You [######----] -23 dB  Meeting [----------] silent");
  status.lagSeconds = 0.26;
  status.finishing = true;
  EXPECT_EQ(statusLine(status), "finishing 1:23  You [######----] -23 dB  Meeting [----------] silent  lag 0.3 s");
}

TEST(LiveStatus, LagIsAudioSentBeyondWhatTheHelperShowedItDecoded) {
  LagTracker lag(2);
  EXPECT_EQ(lag.lagMs(), 0);
  lag.sent(0, 2000);
  lag.sent(1, 2000);
  EXPECT_EQ(lag.lagMs(), 2000);
  lag.decoded(0, 1800);
  lag.decoded(1, 900);
  EXPECT_EQ(lag.lagMs(), 1100) << "the source furthest behind";
  lag.decoded(1, 500);
  EXPECT_EQ(lag.lagMs(), 1100) << "an older upsert moves nothing back";
  lag.caughtUp();
  EXPECT_EQ(lag.lagMs(), 0);
  lag.sent(0, 2100);
  lag.sent(1, 2100);
  EXPECT_EQ(lag.lagMs(), 100);
  EXPECT_EQ(lag.mostLagMs(), 2000);
}

}  // namespace
}  // namespace veskar::tools
