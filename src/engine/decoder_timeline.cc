#include "engine/decoder_timeline.h"

#include <algorithm>
#include <iterator>

namespace veskar {

void DecoderTimeline::append(const MediaTime& start, uint32_t length) {
  if (length == 0) return;
  int64_t timelineStart = 0;
  if (start.isNumeric() && start.timescale > 0) {
    // value / timescale seconds in samples, rounded, without overflowing
    // for any realistic value.
    int64_t seconds = start.value / start.timescale;
    int64_t remainder = start.value % start.timescale;
    if (remainder < 0) {
      remainder += start.timescale;
      --seconds;
    }
    timelineStart = seconds * kTimescale + (remainder * kTimescale + start.timescale / 2) / start.timescale;
  } else if (!spans_.empty()) {
    timelineStart = spans_.back().timelineStart + spans_.back().length;
  }
  spans_.push_back(Span{fed_, timelineStart, length});
  fed_ += length;
}

const DecoderTimeline::Span* DecoderTimeline::spanContaining(int64_t sample) const {
  if (spans_.empty()) return nullptr;
  auto after = std::upper_bound(spans_.begin(), spans_.end(), sample,
                                [](int64_t value, const Span& span) { return value < span.decoderStart; });
  return after == spans_.begin() ? &spans_.front() : &*std::prev(after);
}

int64_t DecoderTimeline::timelinePosition(int64_t sample) const {
  const Span* span = spanContaining(sample);
  if (span == nullptr) return sample;
  const int64_t offset = std::clamp<int64_t>(sample - span->decoderStart, 0, span->length);
  return span->timelineStart + offset;
}

int64_t DecoderTimeline::timelineEnd(int64_t end) const {
  if (spans_.empty()) return end;
  end = std::min(end, fed_);
  if (end <= spans_.front().decoderStart) return spans_.front().timelineStart;
  return timelinePosition(end - 1) + 1;
}

void DecoderTimeline::forgetBefore(int64_t sample) {
  while (spans_.size() > 1 && spans_.front().decoderStart + spans_.front().length <= sample) spans_.pop_front();
}

}  // namespace veskar
