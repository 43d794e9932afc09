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
  void forgetUtterance() override {
    EXPECT_FALSE(open) << "forgetting an utterance still open";
    calls.push_back("forgetUtterance@" + std::to_string(fed));
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
  script.beliefs = {
      {ms(1300), "hello", {filler(900, 1000), word(1000, 1300)}},
      {ms(1500), "hello world", {filler(900, 1000), word(1000, 1300), word(1300, 1500)}},
      {ms(1700), "hello world", {filler(900, 1000), word(1000, 1300), word(1300, 1700)}},
      {ms(2100), "hello world again", {filler(900, 1000), word(1000, 1300), word(1300, 1700), word(1700, 2100)}},
      {ms(2900),
       "hello world again",
       {filler(900, 1000), word(1000, 1300), word(1300, 1700), word(1700, 2700), filler(2700, 2900)}}};
  const PolicyRun run = runPolicy(script, ms(5000));
  SCOPED_TRACE(describe(run.results));
  ASSERT_EQ(run.results.size(), 3u);
  EXPECT_EQ(run.results[0].text, "hello world") << "the first word alone is held";
  EXPECT_FALSE(run.results[0].isFinal);
  EXPECT_EQ(run.results[1].text, "hello world again");
  EXPECT_FALSE(run.results[1].isFinal);
  EXPECT_EQ(run.results[2].text, "hello world again");
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

struct Expected {
  std::string text;
  bool isFinal;
};

struct PolicyCase {
  const char* name;
  std::pair<int64_t, int64_t> speech;
  std::vector<Belief> beliefs;
  std::vector<Expected> expected;
  bool forgotten = false;  // the decoder is told the utterance was not speech
};

void expectResults(const PolicyCase& c, const PolicyRun& run) {
  SCOPED_TRACE(describe(run.results));
  ASSERT_EQ(run.results.size(), c.expected.size());
  for (std::size_t i = 0; i < c.expected.size(); ++i) {
    EXPECT_EQ(run.results[i].text, c.expected[i].text);
    EXPECT_EQ(run.results[i].isFinal, c.expected[i].isFinal);
  }
  const bool forgotten = std::any_of(run.calls.begin(), run.calls.end(),
                                     [](const std::string& call) { return call.rfind("forgetUtterance@", 0) == 0; });
  EXPECT_EQ(forgotten, c.forgotten) << "calls: " << ::testing::PrintToString(run.calls);
}

void runCases(const std::vector<PolicyCase>& cases) {
  for (const PolicyCase& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderScript script;
    script.speech = {c.speech};
    script.beliefs = c.beliefs;
    const PolicyRun run = runPolicy(script, c.speech.second + ms(1000));
    expectResults(c, run);
  }
}

TEST(UtterancePolicy, WhatAFinalCarries) {
  runCases({
      {"speech without words gives no result", {ms(1000), ms(3000)}, {{ms(1500), "", {filler(1000, 1500)}}}, {}, true},
      {"words shown and then dropped by the decoder end with the words shown",
       {ms(1000), ms(3000)},
       {{ms(1300), "oh no", {word(1000, 1150), word(1150, 1300)}}, {ms(2500), "", {filler(1000, 2500)}}},
       {{"oh no", false}, {"oh no", true}}},
      {"the last words shown stand even when the decoder's guess changed since",
       {ms(1000), ms(3000)},
       {{ms(1300), "oh no", {word(1000, 1150), word(1150, 1300)}},
        {ms(1700), "oh no not", {word(1000, 1150), word(1150, 1300), word(1300, 1700)}},
        {ms(2500), "", {filler(1000, 2500)}}},
       {{"oh no", false}, {"oh no not", false}, {"oh no not", true}}},
      {"the last words are the final's",
       {ms(1000), ms(3000)},
       {{ms(1300), "oh no", {word(1000, 1150), word(1150, 1300)}},
        {ms(2500), "oh no it's", {word(1000, 1150), word(1150, 1300), word(1300, 2500)}}},
       {{"oh no", false}, {"oh no it's", false}, {"oh no it's", true}}},
      {"a short reply is held, then final",
       {ms(1000), ms(1600)},
       {{ms(1300), "yes", {filler(1000, 1100), word(1100, 1400)}}},
       {{"yes", true}}},
      {"words held until the end of a short utterance show in its final",
       {ms(1000), ms(2500)},
       {{ms(1300), "oh", {word(1000, 1300)}}, {ms(2400), "oh no", {word(1000, 1300), word(1300, 2400)}}},
       {{"oh no", true}}},
  });
}

// Speech from 1 s for `seconds` holding `words` evenly spread words, each
// guessed as it ends.
PolicyCase evenWords(const char* name, int64_t seconds, int words, bool shown) {
  PolicyCase c{name, {ms(1000), ms(1000 + 1000 * seconds)}, {}, {}, !shown};
  const int64_t each = 1000 * seconds / words;
  std::string text;
  std::vector<DecodedSegment> segments;
  for (int i = 0; i < words; ++i) {
    text += (i ? " w" : "w") + std::to_string(i);
    segments.push_back(word(1000 + i * each, i + 1 == words ? 1000 + 1000 * seconds : 1000 + (i + 1) * each));
    c.beliefs.push_back({ms(1000 + (i + 1) * each), text, segments});
  }
  if (shown) c.expected.push_back({text, true});
  return c;
}

TEST(UtterancePolicy, AnUtteranceOfTwoSecondsOrMoreWithFewerThanOneWordASecondIsNotSpeech) {
  std::vector<PolicyCase> cases = {
      {"one word in 1.9 s is a short utterance",
       {ms(1000), ms(3500)},
       {{ms(1200), "hmm", {filler(1000, 1200), word(1200, 2900)}}},
       {{"hmm", true}}},
      {"one word in 2.0 s is not speech",
       {ms(1000), ms(3500)},
       {{ms(1200), "hmm", {filler(1000, 1200), word(1200, 3000)}}},
       {},
       true},
      {"its length counts the fillers after the words",
       {ms(1000), ms(3500)},
       {{ms(1200), "the", {word(1000, 1200)}}, {ms(3100), "the", {word(1000, 1200), filler(1200, 3000)}}},
       {},
       true},
  };
  cases.push_back(evenWords("0.9 words a second over 10 s is not speech", 10, 9, false));
  PolicyCase dense = evenWords("1.1 words a second over 10 s is speech", 10, 11, true);
  cases.push_back(dense);
  // Which results show before the final is the next test's; here only
  // whether the utterance is speech.
  for (PolicyCase& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderScript script;
    script.speech = {c.speech};
    script.beliefs = c.beliefs;
    PolicyRun run = runPolicy(script, c.speech.second + ms(1000));
    std::erase_if(run.results, [](const UtteranceResult& r) { return !r.isFinal; });
    expectResults(c, run);
  }
}

TEST(UtterancePolicy, TheFirstPartialWaitsForWordsComingLikeSpeech) {
  runCases({
      {"two words in 0.4 s show at once",
       {ms(1000), ms(2000)},
       {{ms(1400), "we meet", {word(1000, 1200), word(1200, 1400)}}},
       {{"we meet", false}, {"we meet", true}}},
      {"one word is held however early",
       {ms(1000), ms(2000)},
       {{ms(1300), "we", {word(1000, 1300)}}},
       {{"we", true}}},
      {"two words in 1.2 s are held", {ms(1000), ms(2500)},
       {{ms(1200), "up", {word(1000, 1200)}}, {ms(2200), "up up", {word(1000, 1200), word(1200, 2200)}}},
       {{"up up", true}}},
      {"1.1 words a second is speech, shown in its final only", {ms(1000), ms(4000)},
       {{ms(1900), "so", {word(1000, 1900)}},
        {ms(2800), "so we", {word(1000, 1900), word(1900, 2800)}},
        {ms(3700), "so we met", {word(1000, 1900), word(1900, 2800), word(2800, 3700)}}},
       {{"so we met", true}}},
      {"sparse words are never shown: typing", {ms(1000), ms(4000)},
       {{ms(1200), "up", {word(1000, 1200)}},
        {ms(2200), "up up", {word(1000, 1200), word(1200, 2200)}},
        {ms(3600), "up up", {word(1000, 1200), word(1200, 2200), filler(2200, 3600)}}},
       {},
       true},
  });
  // 1.6 words a second: too slow at first, shown once the gate can judge.
  const PolicyCase steady = evenWords("1.6 words a second", 10, 16, true);
  DecoderScript script;
  script.speech = {steady.speech};
  script.beliefs = steady.beliefs;
  const PolicyRun run = runPolicy(script, steady.speech.second + ms(1000));
  SCOPED_TRACE(describe(run.results));
  ASSERT_GE(run.results.size(), 2u);
  EXPECT_FALSE(run.results.front().isFinal);
  EXPECT_TRUE(run.results.back().isFinal);
  EXPECT_GE(run.results.front().endSample - run.results.front().startSample, ms(2000) - UtterancePolicy::kPartialInterval)
      << "shown once the gate could judge it";
  EXPECT_TRUE(run.results.back().isFinal);
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
    script.beliefs = {{ms(1000), "many words here", {word(500, 700), word(700, 850), word(850, 1000)}}};
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
