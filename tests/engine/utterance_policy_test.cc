// The utterance rules over a scripted decoder: no model needed.
#include "engine/utterance_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace veskar {
namespace {

constexpr int64_t kRate = StreamingDecoder::kSampleRate;
constexpr int64_t kFrame = StreamingDecoder::kSamplesPerFrame;

int64_t ms(int64_t milliseconds) { return milliseconds * kRate / 1000; }

// What the scripted decoder believes from a position on (decoder samples
// fed so far): the words of the utterance's best path, and where its
// segments lie.
struct Belief {
  int64_t from;
  std::string text;
  std::vector<DecodedSegment> segments;
};

struct DecoderScript {
  // Spans [begin, end) of decoder samples in which the detector hears speech.
  std::vector<std::pair<int64_t, int64_t>> speech;
  std::vector<Belief> beliefs;
};

// A StreamingDecoder that follows a script and records how it was driven.
class ScriptedDecoder final : public StreamingDecoder {
 public:
  explicit ScriptedDecoder(DecoderScript script) : script_(std::move(script)) {}

  void startStream() override { calls.push_back("startStream"); }
  void startUtterance() override {
    calls.push_back("startUtterance@" + std::to_string(fed));
    open = true;
    utteranceStart_ = fed;
  }
  void process(std::span<const int16_t> samples) override {
    EXPECT_TRUE(open) << "audio outside an utterance";
    fed += static_cast<int64_t>(samples.size());
    largestBlock = std::max<int64_t>(largestBlock, static_cast<int64_t>(samples.size()));
  }
  bool inSpeech() override {
    return std::any_of(script_.speech.begin(), script_.speech.end(),
                       [&](const auto& span) { return fed > span.first && fed <= span.second; });
  }
  std::string hypothesisText() override { return belief() ? belief()->text : ""; }
  std::vector<DecodedSegment> segments() override { return belief() ? belief()->segments : std::vector<DecodedSegment>{}; }
  void endUtterance() override {
    calls.push_back("endUtterance@" + std::to_string(fed));
    open = false;
  }

  std::vector<std::string> calls;
  int64_t fed = 0;
  int64_t largestBlock = 0;
  bool open = false;

 private:
  // The latest belief of the current utterance.
  const Belief* belief() const {
    const Belief* latest = nullptr;
    for (const Belief& b : script_.beliefs) {
      if (b.from > utteranceStart_ && b.from <= fed) latest = &b;
    }
    return latest;
  }

  DecoderScript script_;
  int64_t utteranceStart_ = 0;
};

DecodedSegment word(int64_t fromMs, int64_t toMs) {
  return {static_cast<int>(ms(fromMs) / kFrame), static_cast<int>(ms(toMs) / kFrame) - 1, false};
}
DecodedSegment filler(int64_t fromMs, int64_t toMs) {
  auto segment = word(fromMs, toMs);
  segment.isFiller = true;
  return segment;
}

struct PolicyRun {
  std::vector<UtteranceResult> results;
  std::vector<std::string> calls;
  int64_t largestBlock = 0;
};

// Feeds `seconds` of audio at `level` in chunks of `chunk` samples, then
// finishes; `quietFrom` (samples) makes the audio silent from there on for
// one frame.
PolicyRun runPolicy(const DecoderScript& script, int64_t total, int64_t chunk = ms(100), int16_t level = 1000,
              std::optional<int64_t> quietAt = std::nullopt) {
  ScriptedDecoder decoder(script);
  PolicyRun run;
  UtterancePolicy policy(decoder, [&](const UtteranceResult& r) { run.results.push_back(r); });
  policy.start();
  for (int64_t at = 0; at < total; at += chunk) {
    std::vector<int16_t> samples(static_cast<std::size_t>(std::min(chunk, total - at)), level);
    if (quietAt && *quietAt >= at && *quietAt < at + chunk) {
      const auto from = static_cast<std::size_t>(*quietAt - at);
      std::fill(samples.begin() + static_cast<std::ptrdiff_t>(from),
                samples.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(samples.size(), from + kFrame)), 0);
    }
    policy.feed(samples);
  }
  policy.finish();
  run.calls = decoder.calls;
  run.largestBlock = decoder.largestBlock;
  return run;
}

std::string describe(const std::vector<UtteranceResult>& results) {
  std::string text;
  for (const auto& r : results) {
    text += "[" + std::to_string(r.startSample) + "-" + std::to_string(r.endSample) + (r.isFinal ? " final " : " ") +
            "\"" + r.text + "\"] ";
  }
  return text;
}

TEST(UtterancePolicy, RevisesEveryFifthOfASecondWhenTheWordsChangeThenFinalises) {
  DecoderScript script;
  script.speech = {{ms(1000), ms(3000)}};
  script.beliefs = {{ms(1300), "hello", {filler(900, 1000), word(1000, 1300)}},
                    {ms(1500), "hello", {filler(900, 1000), word(1000, 1500)}},
                    {ms(2100), "hello world", {filler(900, 1000), word(1000, 1500), word(1500, 2100)}},
                    {ms(2900), "hello world", {filler(900, 1000), word(1000, 1500), word(1500, 2700), filler(2700, 2900)}}};
  const PolicyRun run = runPolicy(script, ms(5000));
  SCOPED_TRACE(describe(run.results));
  ASSERT_EQ(run.results.size(), 3u);
  EXPECT_EQ(run.results[0].text, "hello");
  EXPECT_FALSE(run.results[0].isFinal);
  EXPECT_EQ(run.results[1].text, "hello world");
  EXPECT_FALSE(run.results[1].isFinal);
  EXPECT_EQ(run.results[2].text, "hello world");
  EXPECT_TRUE(run.results[2].isFinal);
  for (const auto& r : run.results) EXPECT_EQ(r.startSample, ms(900)) << "one start for the whole utterance";
  EXPECT_EQ(run.results[2].endSample, ms(2700)) << "the final ends with its last word, not the silence after it";
  EXPECT_LE(run.results[0].endSample, run.results[1].endSample);
  EXPECT_LE(run.largestBlock, UtterancePolicy::kVoiceCheckSamples) << "the detector is looked at every 20 ms";
}

TEST(UtterancePolicy, TheFirstFrameIsNeverDatedBeforeTheUtteranceOpened) {
  // The second utterance opens where the first ended (3.0 s); the decoder
  // dates its first segment half a second earlier, as if its pre-speech
  // buffer had been full.
  DecoderScript script;
  script.speech = {{ms(1000), ms(3000)}, {ms(3100), ms(4000)}};
  script.beliefs = {{ms(2000), "one", {word(1000, 2000)}},
                    {ms(3500), "two", {filler(2500, 3200), word(3200, 3500)}}};
  const PolicyRun run = runPolicy(script, ms(5000));
  SCOPED_TRACE(describe(run.results));
  ASSERT_FALSE(run.results.empty());
  const auto second = std::find_if(run.results.begin(), run.results.end(), [](const auto& r) { return r.text == "two"; });
  ASSERT_NE(second, run.results.end());
  EXPECT_GE(second->startSample, ms(3000));
}

TEST(UtterancePolicy, WhatAFinalCarries) {
  struct Case {
    const char* name;
    std::vector<Belief> beliefs;
    std::vector<std::pair<std::string, bool>> expected;  // text, final
  };
  const Case cases[] = {
      {"speech without words gives no result", {{ms(1500), "", {filler(1000, 1500)}}}, {}},
      {"words that went away still end their utterance",
       {{ms(1300), "oh", {word(1000, 1300)}}, {ms(2500), "", {filler(1000, 2500)}}},
       {{"oh", false}, {"", true}}},
      {"the last words are the final's", {{ms(1300), "oh", {word(1000, 1300)}}, {ms(2500), "oh no", {word(1000, 1300), word(1300, 2500)}}},
       {{"oh", false}, {"oh no", false}, {"oh no", true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderScript script;
    script.speech = {{ms(1000), ms(3000)}};
    script.beliefs = c.beliefs;
    const PolicyRun run = runPolicy(script, ms(4000));
    SCOPED_TRACE(describe(run.results));
    ASSERT_EQ(run.results.size(), c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(run.results[i].text, c.expected[i].first);
      EXPECT_EQ(run.results[i].isFinal, c.expected[i].second);
    }
  }
}

TEST(UtterancePolicy, EndOfInputFinalisesTheUtteranceInProgress) {
  DecoderScript script;
  script.speech = {{ms(1000), ms(60000)}};
  script.beliefs = {{ms(1500), "still talking", {word(1000, 1500)}}};
  const PolicyRun run = runPolicy(script, ms(2000));
  ASSERT_FALSE(run.results.empty());
  EXPECT_TRUE(run.results.back().isFinal);
  EXPECT_EQ(run.results.back().text, "still talking");
  EXPECT_EQ(run.calls.back(), "endUtterance@" + std::to_string(ms(2000)));
}

TEST(UtterancePolicy, UnbrokenSpeechIsCutAfterTwentySeconds) {
  struct Case {
    const char* name;
    std::optional<int64_t> quietAt;
    int64_t cutAt;
  };
  // Speech is heard from 0.5 s on (it begins when the detector says so).
  const int64_t began = ms(500) + UtterancePolicy::kVoiceCheckSamples - ms(500) % UtterancePolicy::kVoiceCheckSamples;
  const Case cases[] = {
      {"before the first quiet frame", ms(21000), ms(21000)},
      {"two seconds later when no quiet frame comes", std::nullopt, began + UtterancePolicy::kLongUtterance +
                                                                        UtterancePolicy::kQuietFrameSearch},
      {"a quiet frame before the limit does not count", ms(15000),
       began + UtterancePolicy::kLongUtterance + UtterancePolicy::kQuietFrameSearch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderScript script;
    script.speech = {{ms(500), ms(40000)}};
    script.beliefs = {{ms(1000), "words", {word(500, 1000)}}};
    const PolicyRun run = runPolicy(script, ms(30000), ms(100), 1000, c.quietAt);
    const std::string expected = "endUtterance@" + std::to_string(c.cutAt);
    EXPECT_NE(std::find(run.calls.begin(), run.calls.end(), expected), run.calls.end())
        << "calls: " << ::testing::PrintToString(run.calls);
    ASSERT_GE(run.results.size(), 2u);
    const auto firstFinal = std::find_if(run.results.begin(), run.results.end(), [](const auto& r) { return r.isFinal; });
    ASSERT_NE(firstFinal, run.results.end());
    EXPECT_LE(firstFinal->endSample, c.cutAt);
  }
}

}  // namespace
}  // namespace veskar
