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

void UtterancePolicy::finish() {
  decoder_.endUtterance();
  if (speaking_) emitFinal();
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
  decoder_.endUtterance();
  if (speaking_) emitFinal();
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
  emit(std::move(text), segments.firstFrame, segments.lastFrame, false);
}

void UtterancePolicy::emitFinal() {
  std::string text = decoder_.hypothesisText();
  // An utterance that never said anything is no utterance; one that did
  // gets its final result even when the words went away.
  if (text.empty() && !emitted_) return;
  const Segmentation segments = segmentation(decoder_.segments());
  const int first = segments.any ? segments.firstFrame : 0;
  const int last = segments.anyWord ? segments.lastWordFrame : segments.lastFrame;
  emit(std::move(text), first, segments.any ? last : -1, true);
}

void UtterancePolicy::emit(std::string text, int firstFrame, int lastFrame, bool isFinal) {
  if (!start_) {
    // Every result of the utterance starts here, so that it stays one
    // utterance to the host however the words before it are revised.
    const int64_t start = firstFrame * StreamingDecoder::kSamplesPerFrame;
    // The decoder dates the first frame as if its pre-speech buffer were
    // full; right after an utterance began it is not, and the frames come
    // out too early by what is missing.
    shift_ = std::max<int64_t>(0, openedAt_ - start);
    start_ = start + shift_;
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
