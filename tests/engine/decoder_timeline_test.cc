#include "engine/decoder_timeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veskar {
namespace {

struct FedInput {
  MediaTime start;
  uint32_t length;
};

struct Probe {
  int64_t decoderSample;
  int64_t position;  // timelinePosition(decoderSample)
  int64_t end;       // timelineEnd(decoderSample)
};

struct TimelineCase {
  const char* name;
  std::vector<FedInput> inputs;
  std::vector<Probe> probes;
};

TEST(DecoderTimelineTest, MapsDecoderSamplesThroughTheInputsStartTimes) {
  const TimelineCase cases[] = {
      {"contiguous inputs",
       {{MediaTime::make(0, 16000), 320}, {MediaTime::make(320, 16000), 320}},
       {{0, 0, 0}, {319, 319, 319}, {320, 320, 320}, {639, 639, 639}, {640, 640, 640}}},
      {"a gap where inputs were dropped",
       {{MediaTime::make(0, 16000), 320}, {MediaTime::make(16320, 16000), 320}},
       // The end of the first input stays before the gap; the start of
       // the second lies after it.
       {{100, 100, 100}, {319, 319, 319}, {320, 16320, 320}, {321, 16321, 16321}, {640, 16640, 16640}}},
      {"a stream that starts late",
       {{MediaTime::make(48000, 16000), 160}},
       {{0, 48000, 48000}, {80, 48080, 48080}, {160, 48160, 48160}}},
      {"start times in another timescale",
       {{MediaTime::make(3, 48000), 100}, {MediaTime::make(48000, 48000), 100}},
       {{0, 1, 1}, {99, 100, 100}, {100, 16000, 101}, {150, 16050, 16050}}},
      {"inputs without a numeric start continue the previous one",
       {{MediaTime::make(1000, 16000), 100}, {MediaTime::invalid(), 100}, {MediaTime::indefinite(), 50}},
       {{0, 1000, 1000}, {150, 1150, 1150}, {250, 1250, 1250}}},
      {"empty inputs change nothing",
       {{MediaTime::make(0, 16000), 100}, {MediaTime::make(5000, 16000), 0}, {MediaTime::make(100, 16000), 100}},
       {{100, 100, 100}, {199, 199, 199}}},
      {"positions beyond what was fed are clamped",
       {{MediaTime::make(500, 16000), 100}},
       {{-50, 500, 500}, {100, 600, 600}, {1000, 600, 600}}},
  };
  for (const TimelineCase& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderTimeline timeline;
    int64_t fed = 0;
    for (const FedInput& input : c.inputs) {
      timeline.append(input.start, input.length);
      fed += input.length;
    }
    EXPECT_EQ(timeline.fedSamples(), fed);
    for (const Probe& probe : c.probes) {
      SCOPED_TRACE("decoder sample " + std::to_string(probe.decoderSample));
      EXPECT_EQ(timeline.timelinePosition(probe.decoderSample), probe.position);
      EXPECT_EQ(timeline.timelineEnd(probe.decoderSample), probe.end);
    }
  }
}

TEST(DecoderTimelineTest, ForgetsOnlyInputsThatEndBeforeTheGivenSample) {
  DecoderTimeline timeline;
  for (int i = 0; i < 10; ++i) timeline.append(MediaTime::make(i * 1000, 16000), 100);
  timeline.forgetBefore(350);
  EXPECT_EQ(timeline.rememberedInputs(), 7u);
  // Still mapped: the input holding sample 350 and everything after.
  EXPECT_EQ(timeline.timelinePosition(350), 3050);
  EXPECT_EQ(timeline.timelinePosition(999), 9099);
  timeline.forgetBefore(5000);
  EXPECT_EQ(timeline.rememberedInputs(), 1u) << "the last input stays";
  EXPECT_EQ(timeline.timelinePosition(950), 9050);
}

}  // namespace
}  // namespace veskar
