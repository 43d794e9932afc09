// The utterance policy over a decoder whose every move comes from the fuzz
// input: when it hears speech, which words and fillers its best path
// gains, drops or changes, how loud the audio is and in what chunks it
// comes. The results are checked against what the host relies on:
//   - every result has words (no empty text), and a range inside the audio;
//   - the results of one utterance share its start, and it ends with one
//     final; a new utterance starts after the previous one did (so that
//     ids never repeat);
//   - at the end of input every utterance that showed a result has ended
//     final;
//   - the decoder is driven as its contract says: audio only inside an
//     open utterance, "forget" only right after one closed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "engine/streaming_decoder.h"
#include "engine/utterance_policy.h"

namespace {

using veskar::DecodedSegment;
using veskar::StreamingDecoder;
using veskar::UtterancePolicy;
using veskar::UtteranceResult;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_utterance_policy: %s\n", what.c_str());
  std::abort();
}

#define CHECK(condition, detail)                                        \
  do {                                                                  \
    if (!(condition)) fail(std::string(#condition) + ": " + (detail)); \
  } while (0)

class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  uint8_t next() { return position_ < size_ ? data_[position_++] : 0; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

class FuzzedDecoder final : public StreamingDecoder {
 public:
  void startStream() override { CHECK(!started_, "the stream started twice"); started_ = true; }
  void startUtterance() override {
    CHECK(started_ && !open_, "an utterance opened inside another or before the stream");
    open_ = true;
    justClosed_ = false;
    path_.clear();
    words_.clear();
  }
  void process(std::span<const int16_t> samples) override {
    CHECK(open_, "audio outside an utterance");
    CHECK(!samples.empty(), "no audio");
    fed_ += static_cast<int64_t>(samples.size());
  }
  bool inSpeech() override { return speech_; }
  std::string hypothesisText() override {
    std::string text;
    for (const std::string& word : words_) {
      if (!text.empty()) text += ' ';
      text += word;
    }
    return text;
  }
  std::vector<DecodedSegment> segments() override { return path_; }
  void endUtterance() override {
    CHECK(open_, "closing no utterance");
    open_ = false;
    justClosed_ = true;
  }
  void forgetUtterance() override {
    CHECK(justClosed_, "forgetting an utterance that is not the one just closed");
    justClosed_ = false;
  }

  // One move of the decoder, from one input byte.
  void move(uint8_t action) {
    speech_ = (action & 1) != 0;
    if (!open_) return;
    const int now = static_cast<int>(fed_ / kSamplesPerFrame);
    const int from = path_.empty() ? std::max(0, now - (action >> 5)) : path_.back().endFrame + 1;
    switch ((action >> 1) & 7) {
      case 1:
      case 2:
        if (from <= now) {
          path_.push_back({from, now, false});
          words_.push_back("w" + std::to_string(words_.size()));
        }
        break;
      case 3:
        if (from <= now) path_.push_back({from, now, true});
        break;
      case 4:  // every word dropped: only silence left
        words_.clear();
        if (!path_.empty()) path_ = {{path_.front().startFrame, std::max(path_.front().startFrame, now), true}};
        break;
      case 5:  // the last word guessed again
        if (!words_.empty()) words_.back() += "x";
        break;
      case 6:  // the last segment undone
        if (!path_.empty()) {
          if (!path_.back().isFiller && !words_.empty()) words_.pop_back();
          path_.pop_back();
        }
        break;
      default:
        break;
    }
  }

  int64_t fed() const { return fed_; }

 private:
  bool started_ = false;
  bool open_ = false;
  bool justClosed_ = false;
  bool speech_ = false;
  int64_t fed_ = 0;
  std::vector<DecodedSegment> path_;
  std::vector<std::string> words_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 4096) return -1;
  Input input(data, size);
  FuzzedDecoder decoder;
  std::optional<int64_t> openStart;  // of the utterance shown and not yet final
  std::optional<int64_t> lastStart;
  UtterancePolicy policy(decoder, [&](const UtteranceResult& r) {
    const std::string what = "\"" + r.text + "\" " + std::to_string(r.startSample) + "-" +
                             std::to_string(r.endSample) + (r.isFinal ? " final" : "");
    CHECK(!r.text.empty(), "a result without words: " + what);
    CHECK(r.startSample >= 0 && r.startSample <= r.endSample && r.endSample <= decoder.fed(), what);
    if (openStart) {
      CHECK(r.startSample == *openStart, "an utterance's results moved their start: " + what);
    } else {
      CHECK(!lastStart || r.startSample > *lastStart, "an utterance starting with or before the last: " + what);
      openStart = r.startSample;
      lastStart = r.startSample;
    }
    if (r.isFinal) openStart.reset();
  });
  policy.start();
  std::vector<int16_t> audio;
  while (!input.empty()) {
    const uint8_t length = input.next();
    const uint8_t action = input.next();
    decoder.move(action);
    // Up to about 1.3 s at a time, loud or quiet.
    audio.assign(static_cast<std::size_t>(length) * 80 + 1, (action & 0x10) ? 2000 : 3);
    policy.feed(audio);
  }
  policy.finish();
  CHECK(!openStart, "an utterance shown without a final at the end of input, starting at " +
                        std::to_string(openStart.value_or(-1)));
  return 0;
}
