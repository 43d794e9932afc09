// The pacing and holding back of audio, with the time passed in.
#include "send_gate.h"

#include <gtest/gtest.h>

#include "transcription/input_stream.h"

namespace veskar::tools {
namespace {

TEST(SendGate, AssumesTheHelpersQueueCapacity) {
  EXPECT_EQ(static_cast<std::size_t>(kHelperQueueCapacity), AnalyzerInputStream::kDefaultCapacity);
}

using namespace std::chrono_literals;
using Verdict = SendGate::Verdict;

const Clock::time_point t0 = Clock::time_point{} + 1000s;

SendGateSettings settings(double speed, int window, int sources = 1) {
  SendGateSettings s;
  s.chunkMs = 100;
  s.speed = speed;
  s.windowChunks = window;
  s.quietAfter = 1500ms;
  s.quietCapChunks = 400;
  s.queueCapacity = 500;
  s.sources = sources;
  return s;
}

// Sends whatever the gate lets through at `now`; returns how many.
int sendAllowed(SendGate& gate, Clock::time_point now) {
  int count = 0;
  while (gate.verdict(now) == Verdict::send) {
    gate.sent(now);
    ++count;
  }
  return count;
}

// Sends, letting the time run on as the pacing asks, until the gate holds
// for decoding (or `most` went); returns how many.
int sendUntilHeld(SendGate& gate, Clock::time_point& now, int most = 100000) {
  int count = 0;
  while (count < most) {
    const Verdict verdict = gate.verdict(now);
    if (verdict == Verdict::waitDecoding) break;
    if (verdict == Verdict::notYet) {
      const Clock::time_point at = gate.readyAt(now);
      EXPECT_GT(at, now);
      now = at;
      continue;
    }
    gate.sent(now);
    ++count;
  }
  return count;
}

TEST(SendGate, PacesChunksAtTheGivenMultipleOfRealTime) {
  SendGate gate(settings(2.0, 1000), t0);
  EXPECT_EQ(gate.verdict(t0), Verdict::send);
  gate.sent(t0);
  // 100 ms of audio at twice real time: the next one 50 ms later.
  EXPECT_EQ(gate.verdict(t0 + 49ms), Verdict::notYet);
  EXPECT_EQ(gate.readyAt(t0 + 10ms), t0 + 50ms);
  EXPECT_EQ(gate.verdict(t0 + 50ms), Verdict::send);
  // Over ten seconds, twenty seconds of audio, give or take the first chunk.
  Clock::time_point now = t0;
  int sent = 1;
  for (; now <= t0 + 10s; now += 5ms) sent += sendAllowed(gate, now);
  EXPECT_GE(sent, 200);
  EXPECT_LE(sent, 202);
}

TEST(SendGate, AfterAHoldTheScheduleRestartsWithoutABurst) {
  SendGate gate(settings(1.0, 1000), t0);
  gate.sent(t0);
  // Nobody sent for ten seconds: a catch-up of at most two chunks besides
  // the one due, then paced again.
  const Clock::time_point later = t0 + 10s;
  EXPECT_EQ(sendAllowed(gate, later), 3);
  EXPECT_EQ(gate.verdict(later + 99ms), Verdict::notYet);
  EXPECT_EQ(gate.verdict(later + 100ms), Verdict::send);
}

TEST(SendGate, HoldsAtTheWindowBeyondTheConfirmedPosition) {
  SendGate gate(settings(1000.0, 5), t0);
  Clock::time_point now = t0;
  int sent = sendUntilHeld(gate, now);
  EXPECT_EQ(sent, 5);
  EXPECT_EQ(gate.verdict(now + 100ms), Verdict::waitDecoding);
  EXPECT_EQ(gate.aheadChunks(0), 5);

  // An upsert ending at 250 ms: two whole chunks are known taken (the third
  // only partly), so two more may go.
  gate.confirmed(0, 250, now);
  EXPECT_EQ(gate.confirmedChunks(0), 2);
  sent += sendUntilHeld(gate, now);
  EXPECT_EQ(sent, 7);
  EXPECT_EQ(gate.aheadChunks(0), 5);
  EXPECT_FALSE(gate.mayHaveDropped());
}

TEST(SendGate, AConfirmationNeverMovesBackNorPastWhatWasSent) {
  SendGate gate(settings(1000.0, 5), t0);
  Clock::time_point now = t0;
  ASSERT_EQ(sendUntilHeld(gate, now), 5);
  gate.confirmed(0, 400, now);
  gate.confirmed(0, 100, now);  // an older utterance's revision
  EXPECT_EQ(gate.confirmedChunks(0), 4);
  gate.confirmed(0, 99999, now);
  EXPECT_EQ(gate.confirmedChunks(0), 5);
}

TEST(SendGate, WhenNoUpsertsComeTheWindowGivesWayToTheQuietCap) {
  SendGate gate(settings(1000.0, 50), t0);
  gate.confirmed(0, 0, t0);
  Clock::time_point now = t0;
  int sent = sendUntilHeld(gate, now);
  EXPECT_EQ(sent, 50);
  EXPECT_EQ(gate.verdict(t0 + 1499ms), Verdict::waitDecoding);
  // The gate wakes its caller when the quiet rule takes over.
  EXPECT_EQ(gate.readyAt(t0 + 1s), t0 + 1500ms);

  // Silence: upserts stopped. Past quietAfter the sending goes on, up to
  // the cap, and no further however long the quiet lasts.
  now = t0 + 1500ms;
  sent += sendUntilHeld(gate, now);
  EXPECT_EQ(sent, 400);
  EXPECT_EQ(gate.verdict(now + 1h), Verdict::waitDecoding);
  EXPECT_FALSE(gate.mayHaveDropped());
  EXPECT_EQ(gate.peakAheadChunks(), 400);

  // A new upsert means speech again: the window applies from its position.
  const Clock::time_point upsertAt = now;
  gate.confirmed(0, 39000, upsertAt);
  EXPECT_EQ(gate.confirmedChunks(0), 390);
  EXPECT_EQ(sendUntilHeld(gate, now), 40);
  EXPECT_EQ(gate.verdict(upsertAt + 1499ms), Verdict::waitDecoding);
  EXPECT_EQ(gate.verdict(upsertAt + 1500ms), Verdict::send);
}

TEST(SendGate, AnIdleHelperHasTakenEverythingSentBeforeIt) {
  SendGate gate(settings(1000.0, 10), t0);
  Clock::time_point now = t0;
  ASSERT_EQ(sendUntilHeld(gate, now), 10);
  gate.helperIdle(8);  // seen idle when 8 had gone out
  EXPECT_EQ(gate.confirmedChunks(0), 8);
  EXPECT_EQ(sendUntilHeld(gate, now), 8);
  gate.helperIdle(gate.sentChunks());
  EXPECT_EQ(gate.aheadChunks(0), 0);
}

TEST(SendGate, TheSourceFurthestBehindHoldsBoth) {
  SendGate gate(settings(1000.0, 4, 2), t0);
  Clock::time_point now = t0;
  EXPECT_EQ(sendUntilHeld(gate, now), 4);
  gate.confirmed(0, 400, now);
  EXPECT_EQ(gate.verdict(now + 1ms), Verdict::waitDecoding);  // source 1 confirmed nothing
  gate.confirmed(1, 200, now);
  EXPECT_EQ(sendUntilHeld(gate, now), 2);
  EXPECT_EQ(gate.aheadChunks(0), 2);
  EXPECT_EQ(gate.aheadChunks(1), 4);
}

TEST(SendGate, ARetiredSourceHoldsNothing) {
  SendGate gate(settings(1000.0, 4, 2), t0);
  Clock::time_point now = t0;
  sendUntilHeld(gate, now);
  gate.confirmed(0, 400, now);
  gate.retire(1);
  EXPECT_EQ(sendUntilHeld(gate, now), 4);
  // Nor does it count towards what may have been dropped.
  for (int i = 0; i < 200; ++i) {
    gate.confirmed(0, gate.sentChunks() * 100, now);
    sendUntilHeld(gate, now);
  }
  EXPECT_GT(gate.sentChunks(), 500);
  EXPECT_FALSE(gate.mayHaveDropped());
}

TEST(SendGate, RunningFurtherAheadThanTheQueueHoldsMayHaveDroppedAudio) {
  // A window wider than the helper's queue (the tool never sets one up so,
  // but the summary must tell when it happens).
  SendGateSettings wide = settings(1000.0, 600);
  wide.quietCapChunks = 600;
  SendGate gate(wide, t0);
  Clock::time_point now = t0;
  EXPECT_EQ(sendUntilHeld(gate, now, 500), 500);
  EXPECT_FALSE(gate.mayHaveDropped());
  EXPECT_EQ(sendUntilHeld(gate, now, 1), 1);
  EXPECT_TRUE(gate.mayHaveDropped());
  EXPECT_EQ(gate.peakAheadChunks(), 501);
  // Catching up later does not undo it.
  gate.confirmed(0, 50100, now);
  EXPECT_TRUE(gate.mayHaveDropped());
}

}  // namespace
}  // namespace veskar::tools
