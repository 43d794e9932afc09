#include "audio/echo_cancellation_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <string>
#include <vector>

#include "support/synthetic_audio.h"

namespace veskar {
namespace {

using testing::echoOf;
using testing::meanSquare;
using testing::mix;
using testing::roomResponse;
using testing::speechLike;
using testing::toPcm;

// Negates the microphone, and returns it `latency` frames late as a real
// canceller does: an output frame equal to its input passed the canceller
// by, one equal to its negation went through it (and the stage took the
// latency out).
class NegatingCanceller final : public EchoCanceller {
 public:
  static constexpr std::size_t latency = 37;

  void process(std::span<const int16_t>, std::span<const int16_t> microphone, std::span<int16_t> output) override {
    line_.insert(line_.end(), microphone.begin(), microphone.end());
    std::ranges::transform(line_.begin(), line_.begin() + blockFrames, output.begin(),
                           [](int16_t value) { return static_cast<int16_t>(-value); });
    line_.erase(line_.begin(), line_.begin() + blockFrames);
  }
  void reset() override { line_.assign(latency, 0); }
  std::size_t latencyFrames() const override { return latency; }

 private:
  std::vector<int16_t> line_ = std::vector<int16_t>(latency, 0);
};

constexpr std::size_t chunk = 1600;  // 100 ms, as a live host sends
constexpr int64_t hold = EchoCancellationStage::Settings{}.holdFrames;

// A microphone that hears the meeting (or not) over the user's voice, with
// no sample at zero or at the negative limit so that negation shows.
struct Meeting {
  std::vector<int16_t> microphone;
  std::vector<int16_t> reference;
};

Meeting makeMeeting(std::size_t seconds, bool echo, double echoDelayFrames = 1600) {
  const std::size_t frames = 16000 * seconds;
  const auto reference = speechLike(frames, 21);
  auto microphone = speechLike(frames, 22, 1500);
  if (echo) microphone = mix(microphone, echoOf(reference, frames, echoDelayFrames, 0.5, roomResponse(2400, 23)));
  Meeting meeting{toPcm(microphone), toPcm(reference)};
  for (int16_t& sample : meeting.microphone) {
    if (sample == 0) sample = 1;
    if (sample == -32768) sample = -32767;
  }
  return meeting;
}

// What the reference does while the microphone streams: from `stopsAt`
// (seconds) it is withheld; at `resumesAt` everything withheld arrives at
// once and it streams again (never: it stays away).
struct ReferencePlan {
  std::string name;
  bool echo;
  double stopsAt;
  double resumesAt;
  std::size_t seconds;
  double echoDelayFrames = 1600;
};

constexpr double never = 1e9;

struct StageRun {
  std::vector<int16_t> output;
  int64_t mostHeld = 0;
  EchoCancellationStage::Mode modeBeforeDrain;
};

StageRun run(const ReferencePlan& plan, const Meeting& meeting) {
  EchoCancellationStage stage(std::make_unique<NegatingCanceller>(), {});
  StageRun result;
  int64_t referenceSent = 0;
  auto sendReference = [&](int64_t upTo) {
    upTo = std::min<int64_t>(upTo, static_cast<int64_t>(meeting.reference.size()));
    if (upTo <= referenceSent) return;
    stage.processReference(referenceSent,
                           std::span(meeting.reference).subspan(static_cast<std::size_t>(referenceSent),
                                                                static_cast<std::size_t>(upTo - referenceSent)),
                           result.output);
    referenceSent = upTo;
  };
  for (std::size_t at = 0; at < meeting.microphone.size(); at += chunk) {
    stage.process(std::span(meeting.microphone).subspan(at, chunk), result.output);
    const double seconds = static_cast<double>(at + chunk) / 16000;
    const bool withheld = seconds > plan.stopsAt && seconds <= plan.resumesAt;
    if (!withheld) sendReference(static_cast<int64_t>(at + chunk));
    result.mostHeld = std::max<int64_t>(result.mostHeld, static_cast<int64_t>(at + chunk) -
                                                             static_cast<int64_t>(result.output.size()));
  }
  result.modeBeforeDrain = stage.mode();
  stage.drain(result.output);
  return result;
}

enum class Frame { passed, cancelled };

// Checks that every frame left once, in order, and says how.
std::vector<Frame> classify(const StageRun& run, const Meeting& meeting) {
  EXPECT_EQ(run.output.size(), meeting.microphone.size());
  std::vector<Frame> frames;
  for (std::size_t i = 0; i < std::min(run.output.size(), meeting.microphone.size()); ++i) {
    if (run.output[i] == meeting.microphone[i]) {
      frames.push_back(Frame::passed);
    } else if (run.output[i] == -meeting.microphone[i]) {
      frames.push_back(Frame::cancelled);
    } else {
      ADD_FAILURE() << "frame " << i << " is neither the input nor its cancellation";
      break;
    }
  }
  return frames;
}

int64_t count(const std::vector<Frame>& frames, std::size_t first, std::size_t last, Frame what) {
  return std::count(frames.begin() + static_cast<std::ptrdiff_t>(std::min(first, frames.size())),
                    frames.begin() + static_cast<std::ptrdiff_t>(std::min(last, frames.size())), what);
}

TEST(EchoCancellationStage, HoldsAndPassesThroughByTheRules) {
  using enum EchoCancellationStage::Mode;
  struct Case {
    ReferencePlan plan;
    EchoCancellationStage::Mode modeBeforeDrain;
    // Frames from 6 s (after the gate opened) to the end, passed untouched.
    int64_t passedAfterSixSeconds;
  };
  const std::size_t end = 16000 * 14;
  const Case cases[] = {
      // Nothing to cancel: never held, never touched.
      {{"headphones", false, never, never, 14}, passing, static_cast<int64_t>(end - 16000 * 6)},
      {{"interleaved", true, never, never, 14}, cancelling, 0},
      // The echo comes 1 s before its reference: the microphone waits 1 s,
      // within the hold.
      {{"echo 1 s early", true, never, never, 14, -16000}, cancelling, -1},
      // Source 1 late by less than the hold: the microphone waits for it.
      {{"late 0.5 s", true, 6.0, 6.5, 14}, cancelling, 0},
      // Late by more than the hold: one hold's worth and what comes while the
      // reference is still missing pass; once it catches up, cancelling resumes.
      {{"late 2 s", true, 6.0, 8.0, 14}, cancelling, -1},
      // Stalled or failed: after one hold, everything passes without waiting.
      {{"stalled", true, 6.0, never, 14}, bypassing, -1},
      // Absent from the start: never held.
      {{"absent", true, 0.0, never, 14}, passing, static_cast<int64_t>(end - 16000 * 6)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plan.name);
    const Meeting meeting = makeMeeting(c.plan.seconds, c.plan.echo, c.plan.echoDelayFrames);
    const StageRun result = run(c.plan, meeting);
    EXPECT_EQ(result.modeBeforeDrain, c.modeBeforeDrain);
    EXPECT_LE(result.mostHeld, hold);
    const auto frames = classify(result, meeting);
    const auto passedLate = count(frames, 16000 * 6, end, Frame::passed);
    if (c.passedAfterSixSeconds >= 0) {
      EXPECT_EQ(passedLate, c.passedAfterSixSeconds);
    }
    if (c.plan.name == "absent" || c.plan.name == "headphones") {
      EXPECT_EQ(result.mostHeld, 0);
    }
    if (c.plan.name == "interleaved") {
      // The gate opened within 4 s and stayed open.
      const auto firstCancelled = std::ranges::find(frames, Frame::cancelled) - frames.begin();
      EXPECT_LT(firstCancelled, 16000 * 4);
      EXPECT_EQ(count(frames, static_cast<std::size_t>(firstCancelled), end, Frame::passed), 0);
      // Waiting for interleaved 100 ms chunks holds at most one chunk and one block.
      EXPECT_LE(result.mostHeld, static_cast<int64_t>(chunk + EchoCanceller::blockFrames));
    }
    if (c.plan.name == "echo 1 s early") {
      EXPECT_GT(result.mostHeld, 16000);
      // Only the last second, whose reference never comes, passes at finish.
      EXPECT_EQ(count(frames, 16000 * 6, end - 17000, Frame::passed), 0);
    }
    if (c.plan.name == "late 2 s") {
      EXPECT_GT(count(frames, 16000 * 6, 16000 * 8, Frame::passed), hold / 2);
      EXPECT_EQ(count(frames, 16000 * 9, end, Frame::passed), 0);
    }
    if (c.plan.name == "stalled") {
      EXPECT_EQ(count(frames, 16000 * 8, end, Frame::passed), static_cast<int64_t>(end - 16000 * 8));
    }
  }
}

TEST(EchoCancellationStage, FinishEmitsEveryHeldFrame) {
  struct Case {
    std::string name;
    std::size_t microphoneFrames;
    // The reference stays this many chunks behind the microphone; at the
    // end it catches up, or not.
    std::size_t chunksBehind;
    bool referenceCatchesUp;
    // The last frames that finish passes untouched, and that it cancels.
    int64_t tailPassed;
    int64_t tailCancelled;
  };
  const Case cases[] = {
      // Finish while waiting for a reference that never comes: everything held passes.
      {"reference withheld", 16000 * 8 + 800, 5, false, 4800, 0},
      // The reference arrives before finish: a partial last block is cancelled too.
      {"partial last block", 16000 * 8 + 1234, 5, true, 0, 4800},
      {"whole blocks", 16000 * 8, 5, true, 0, 4800},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Meeting meeting = makeMeeting(9, true);
    meeting.microphone.resize(c.microphoneFrames);
    EchoCancellationStage stage(std::make_unique<NegatingCanceller>(), {});
    StageRun result;
    std::size_t referenceSent = 0;
    for (std::size_t at = 0; at < meeting.microphone.size(); at += chunk) {
      const std::size_t size = std::min(chunk, meeting.microphone.size() - at);
      stage.process(std::span(meeting.microphone).subspan(at, size), result.output);
      if (at >= c.chunksBehind * chunk) {
        stage.processReference(static_cast<int64_t>(referenceSent), std::span(meeting.reference).subspan(referenceSent, chunk),
                               result.output);
        referenceSent += chunk;
      }
    }
    if (c.referenceCatchesUp) {
      stage.processReference(static_cast<int64_t>(referenceSent), std::span(meeting.reference).subspan(referenceSent),
                             result.output);
    }
    ASSERT_EQ(stage.mode(), EchoCancellationStage::Mode::cancelling);
    // Held: waiting for the reference, or for a whole block.
    if (!c.referenceCatchesUp || c.microphoneFrames % EchoCanceller::blockFrames != 0) {
      EXPECT_LT(result.output.size(), meeting.microphone.size());
    }
    stage.drain(result.output);
    const auto frames = classify(result, meeting);
    const auto tail = meeting.microphone.size() - 4800;
    EXPECT_EQ(count(frames, tail, frames.size(), Frame::passed), c.tailPassed);
    EXPECT_EQ(count(frames, tail, frames.size(), Frame::cancelled), c.tailCancelled);
  }
}

TEST(WebRtcEchoCanceller, WithoutAReferenceTheMicrophoneComesOutLatencyFramesLater) {
  const auto microphone = toPcm(speechLike(16000 * 4, 41));
  const std::vector<int16_t> silence(EchoCanceller::blockFrames, 0);
  auto canceller = makeWebRtcEchoCanceller();
  std::vector<int16_t> output(microphone.size());
  for (std::size_t at = 0; at < microphone.size(); at += EchoCanceller::blockFrames) {
    canceller->process(silence, std::span(microphone).subspan(at, EchoCanceller::blockFrames),
                       std::span(output).subspan(at, EchoCanceller::blockFrames));
  }
  const std::size_t latency = canceller->latencyFrames();
  double difference = 0;
  for (std::size_t i = 16000; i + latency < microphone.size(); ++i) {
    const double d = static_cast<double>(output[i + latency]) - microphone[i];
    difference += d * d;
  }
  difference /= static_cast<double>(microphone.size() - latency - 16000);
  // Only its high-pass filter changes the signal.
  EXPECT_LT(10 * std::log10(difference / meanSquare(microphone, 16000, microphone.size())), -15.0);
}

// The real canceller behind the stage, on a loudspeaker echo with a room
// response, an offset between the streams and clock drift.
TEST(EchoCancellationStage, RemovesASyntheticEcho) {
  struct Case {
    std::string name;
    double delayMs;
    double drift;
  };
  for (const Case& c : {Case{"150 ms", 150, 0}, Case{"-300 ms", -300, 0}, Case{"40 ms, 100 ppm", 40, 1e-4}}) {
    SCOPED_TRACE(c.name);
    const std::size_t frames = 16000 * 20;
    const auto reference = speechLike(frames + 16000, 31);
    const auto echo = toPcm(echoOf(reference, frames, c.delayMs * 16, 0.5, roomResponse(2400, 32), c.drift));
    const auto referencePcm = toPcm(reference);
    EchoCancellationStage stage(makeWebRtcEchoCanceller(), {});
    std::vector<int16_t> output;
    for (std::size_t at = 0; at < frames; at += chunk) {
      stage.process(std::span(echo).subspan(at, chunk), output);
      stage.processReference(static_cast<int64_t>(at), std::span(referencePcm).subspan(at, chunk), output);
    }
    stage.drain(output);
    ASSERT_EQ(output.size(), frames);
    EXPECT_EQ(stage.mode(), EchoCancellationStage::Mode::cancelling);
    ASSERT_TRUE(stage.delayFrames().has_value());
    EXPECT_NEAR(*stage.delayFrames(), c.delayMs * 16 - c.drift * static_cast<double>(frames), 16);
    // Echo return loss enhancement from 10 s on, short of the last frames
    // whose reference (after a negative delay) never came.
    const std::size_t last = frames - 8000;
    const double erle = 10 * std::log10(meanSquare(echo, frames / 2, last) / std::max(1.0, meanSquare(output, frames / 2, last)));
    std::printf("[ ERLE     ] %s: %.1f dB\n", c.name.c_str(), erle);
    EXPECT_GE(erle, 25.0);
  }
}

}  // namespace
}  // namespace veskar
