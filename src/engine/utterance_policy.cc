#include "engine/utterance_policy.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace veskar {
namespace {

double energy(std::span<const int16_t> samples) {
  double sum = 0;
  for (const int16_t sample : samples) sum += static_cast<double>(sample) * sample;
  return sum;
}

// Where the current best path lies, in decoder frames.
struct Segmentation {
  bool any = false;
  int firstFrame = 0;  // start of the first segment, filler included
  int lastFrame = 0;   // end (inclusive) of the last segment
  bool anyWord = false;
  int lastWordFrame = 0;  // end (inclusive) of the last word
};

Segmentation segmentation(const std::vector<DecodedSegment>& segments) {
  Segmentation result;
  for (const DecodedSegment& segment : segments) {
    if (!result.any) result.firstFrame = segment.startFrame;
    result.any = true;
    result.lastFrame = segment.endFrame;
    if (!segment.isFiller) {
      result.anyWord = true;
      result.lastWordFrame = segment.endFrame;
    }
  }
  return result;
}

std::size_t wordCount(std::string_view text) {
  std::size_t count = 0;
  bool inWord = false;
  for (const char c : text) {
    const bool space = c == ' ';
    if (!space && !inWord) ++count;
    inWord = !space;
  }
  return count;
}

// At least `perSecond` words a second over `samples` of audio.
bool atLeast(std::size_t words, double perSecond, int64_t samples) {
  return static_cast<double>(words) * StreamingDecoder::kSampleRate >= perSecond * static_cast<double>(samples);
}

}  // namespace

UtterancePolicy::UtterancePolicy(StreamingDecoder& decoder, Emit emit) : decoder_(decoder), emit_(std::move(emit)) {}

void UtterancePolicy::start() {
  decoder_.startStream();
  openUtterance();
}

void UtterancePolicy::feed(std::span<const int16_t> samples) {
  std::size_t offset = 0;
  while (offset < samples.size()) {
    const int64_t spoken = processed_ - speechBegan_;
    const std::size_t remaining = samples.size() - offset;
    if (speaking_ && spoken >= kLongUtterance) {
      // Past the limit: a frame at a time, cutting before the first quiet
      // one (or at once when none has come).
      const auto n = static_cast<std::size_t>(std::min<int64_t>(StreamingDecoder::kSamplesPerFrame,
                                                                static_cast<int64_t>(remaining)));
      const std::span<const int16_t> frame = samples.subspan(offset, n);
      if (spoken >= kLongUtterance + kQuietFrameSearch || isQuiet(frame)) endUtterance();
      process(frame);
      offset += n;
    } else {
      std::size_t n = std::min<std::size_t>(remaining, kVoiceCheckSamples);
      // Stop at the limit so that the search for a quiet frame starts there.
      if (speaking_) n = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(n), kLongUtterance - spoken));
      process(samples.subspan(offset, n));
      offset += n;
    }
  }
}

void UtterancePolicy::finish() { closeUtterance(); }

void UtterancePolicy::closeUtterance() {
  decoder_.endUtterance();
  if (speaking_ && !emitFinal()) decoder_.forgetUtterance();
}

int64_t UtterancePolicy::earliestNeededSample() const {
  return speaking_ ? speechBegan_ - kTimelineMargin : processed_ - kTimelineMargin;
}

bool UtterancePolicy::isQuiet(std::span<const int16_t> samples) const {
  if (energySamples_ == 0) return false;
  const double meanEnergy = energySum_ / static_cast<double>(energySamples_);
  return energy(samples) / static_cast<double>(samples.size()) < kQuietEnergyRatio * meanEnergy;
}

void UtterancePolicy::process(std::span<const int16_t> samples) {
  decoder_.process(samples);
  processed_ += static_cast<int64_t>(samples.size());
  const bool inSpeech = decoder_.inSpeech();
  if (!speaking_ && inSpeech) {
    beginSpeech();
  } else if (speaking_ && !inSpeech) {
    endUtterance();
    return;
  }
  if (speaking_) {
    energySum_ += energy(samples);
    energySamples_ += static_cast<int64_t>(samples.size());
    emitPartialIfDue();
  }
}

void UtterancePolicy::openUtterance() {
  decoder_.startUtterance();
  openedAt_ = processed_;
}

void UtterancePolicy::beginSpeech() {
  speaking_ = true;
  speechBegan_ = processed_;
  lastPartialAt_ = processed_;
  energySum_ = 0;
  energySamples_ = 0;
  lastText_.clear();
  emitted_ = false;
  start_.reset();
  shift_ = 0;
  lastEnd_ = 0;
}

// Ends the decoder's utterance; its result is final. Opens the next one:
// the decoder takes audio only inside an utterance, and its voice activity
// detector starts the next speech from there.
void UtterancePolicy::endUtterance() {
  closeUtterance();
  speaking_ = false;
  openUtterance();
}

void UtterancePolicy::emitPartialIfDue() {
  if (processed_ - lastPartialAt_ < kPartialInterval) return;
  lastPartialAt_ = processed_;
  std::string text = decoder_.hypothesisText();
  if (text.empty() || text == lastText_) return;
  const Segmentation segments = segmentation(decoder_.segments());
  if (!segments.any) return;
  if (!emitted_) {
    // Held until the words come like speech: early and dense, or at a
    // speaking rate once the gate can judge.
    const int64_t lasted = processed_ - resultStart(segments.firstFrame);
    const std::size_t words = wordCount(text);
    const bool early = words >= static_cast<std::size_t>(kShownWords) && atLeast(words, kShownWordsPerSecond, lasted);
    const bool passed = lasted >= kDensityGateAfter && atLeast(words, kSpeechWordsPerSecond, lasted);
    if (!early && !passed) return;
  }
  emit(std::move(text), segments.firstFrame, segments.lastFrame, false);
}

bool UtterancePolicy::emitFinal() {
  std::string text = decoder_.hypothesisText();
  const Segmentation segments = segmentation(decoder_.segments());
  const int first = segments.any ? segments.firstFrame : 0;
  const int last = segments.anyWord ? segments.lastWordFrame : segments.lastFrame;
  if (emitted_) {
    // The host shows this utterance: it ends, and with words. When the
    // decoder's last guess dropped them, the words shown last stand, over
    // the range they were shown with.
    if (text.empty()) {
      emit(lastText_, first, -1, true);
    } else {
      emit(std::move(text), first, segments.any ? last : -1, true);
    }
    return true;
  }
  // Never shown: no words, or too few for its length, is no utterance. Its
  // length is all of its audio, the fillers around the words included.
  if (text.empty() || !segments.any) return false;
  const int64_t lasted = (segments.lastFrame + 1 - first) * StreamingDecoder::kSamplesPerFrame;
  if (lasted >= kDensityGateAfter && !atLeast(wordCount(text), kGateWordsPerSecond, lasted)) return false;
  emit(std::move(text), first, last, true);
  return true;
}

int64_t UtterancePolicy::resultStart(int firstFrame) const {
  if (start_) return *start_;
  // The decoder dates the first frame as if its pre-speech buffer were
  // full; right after an utterance began it is not, and the frames come
  // out too early by what is missing.
  const int64_t start = firstFrame * StreamingDecoder::kSamplesPerFrame;
  return std::max(start, openedAt_);
}

void UtterancePolicy::emit(std::string text, int firstFrame, int lastFrame, bool isFinal) {
  if (!start_) {
    // Every result of the utterance starts here, so that it stays one
    // utterance to the host however the words before it are revised.
    start_ = resultStart(firstFrame);
    shift_ = *start_ - firstFrame * StreamingDecoder::kSamplesPerFrame;
    lastEnd_ = *start_;
  }
  int64_t end = lastFrame < 0 ? lastEnd_ : (lastFrame + 1) * StreamingDecoder::kSamplesPerFrame + shift_;
  end = std::clamp(end, *start_, std::max(*start_, processed_));
  lastEnd_ = end;

  UtteranceResult result;
  result.text = std::move(text);
  result.startSample = *start_;
  result.endSample = end;
  result.isFinal = isFinal;
  lastText_ = result.text;
  emitted_ = true;
  emit_(result);
}

}  // namespace veskar
