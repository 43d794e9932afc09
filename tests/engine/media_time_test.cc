#include "engine/media_time.h"

#include <gtest/gtest.h>

#include "transcription/result_reporting.h"

namespace veskar {
namespace {

TEST(Milliseconds, RoundsHalvesAwayFromZeroAndZeroesNonNumericTimes) {
  const struct {
    const char* name;
    MediaTime time;
    int64_t ms;
  } cases[] = {
      {"5/2000 s", MediaTime::make(5, 2000), 3},
      {"-5/2000 s", MediaTime::make(-5, 2000), -3},
      {"3/2 s", MediaTime::make(3, 2), 1500},
      {"123 ms at 16 kHz", MediaTime::make(1968, 16000), 123},
      {"just under half", MediaTime::make(7, 16000), 0},
      {"just over half", MediaTime::make(9, 16000), 1},
      {"-4 ms", MediaTime::make(-4, 1000), -4},
      {"invalid", MediaTime::invalid(), 0},
      {"zero timescale", MediaTime{5, 0, MediaTime::kValid}, 0},
      {"+infinity", MediaTime::positiveInfinity(), 0},
      {"-infinity", MediaTime::negativeInfinity(), 0},
      {"indefinite", MediaTime::indefinite(), 0},
      {"saturates", MediaTime::make(INT64_MAX, 1), INT64_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(milliseconds(c.time), c.ms);
  }
}

TEST(MediaTime, RangeEndIsStartPlusDuration) {
  const struct {
    const char* name;
    MediaTimeRange range;
    MediaTime end;
  } cases[] = {
      {"same timescale", {MediaTime::make(100, 16000), MediaTime::make(60, 16000)}, MediaTime::make(160, 16000)},
      {"mixed timescales", {MediaTime::make(1, 2), MediaTime::make(1, 3)}, MediaTime::make(5, 6)},
      {"negative start", {MediaTime::make(-4, 1000), MediaTime::make(504, 1000)}, MediaTime::make(500, 1000)},
      {"invalid start", {MediaTime::invalid(), MediaTime::make(1, 1)}, MediaTime::invalid()},
      {"invalid duration", {MediaTime::make(1, 1), MediaTime::invalid()}, MediaTime::invalid()},
      {"infinite duration", {MediaTime::make(1, 1), MediaTime::positiveInfinity()}, MediaTime::positiveInfinity()},
      {"opposite infinities", {MediaTime::negativeInfinity(), MediaTime::positiveInfinity()}, MediaTime::indefinite()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.range.end(), c.end);
  }
  const MediaTime coarse = add(MediaTime::make(1, 2147483647), MediaTime::make(1, 2147483646));
  EXPECT_TRUE(coarse.isNumeric());
  EXPECT_NEAR(coarse.seconds(), 2.0 / 2147483647.0, 1e-15);
}

}  // namespace
}  // namespace veskar
