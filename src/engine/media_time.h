// Media time: a rational number of seconds with validity flags, and a range
// of a start and a duration. Result ranges and input start times use it.
#ifndef VESKAR_ENGINE_MEDIA_TIME_H_
#define VESKAR_ENGINE_MEDIA_TIME_H_

#include <cstdint>

namespace veskar {

struct MediaTime {
  enum Flags : uint32_t {
    kValid = 1u << 0,
    kHasBeenRounded = 1u << 1,
    kPositiveInfinity = 1u << 2,
    kNegativeInfinity = 1u << 3,
    kIndefinite = 1u << 4,
  };

  int64_t value = 0;
  int32_t timescale = 0;
  uint32_t flags = 0;  // the default-constructed time is invalid

  static MediaTime make(int64_t value, int32_t timescale) {
    return MediaTime{value, timescale, timescale > 0 ? uint32_t{kValid} : 0u};
  }
  static MediaTime invalid() { return MediaTime{}; }
  static MediaTime positiveInfinity() { return MediaTime{0, 1, kValid | kPositiveInfinity}; }
  static MediaTime negativeInfinity() { return MediaTime{0, 1, kValid | kNegativeInfinity}; }
  static MediaTime indefinite() { return MediaTime{0, 1, kValid | kIndefinite}; }

  // A time without a positive timescale is no time at all.
  bool isValid() const { return (flags & kValid) != 0 && timescale > 0; }
  // Valid and neither infinite nor indefinite.
  bool isNumeric() const {
    return isValid() && (flags & (kPositiveInfinity | kNegativeInfinity | kIndefinite)) == 0;
  }
  // value / timescale; 0 for a time that is not numeric.
  double seconds() const;

  bool operator==(const MediaTime&) const = default;
};

// The sum of two times. Not numeric in, not numeric out: invalid wins, then
// indefinite, then infinity (opposite infinities make indefinite). Numeric
// sums use the least common multiple of the timescales when it fits, else the
// larger timescale, rounding and setting kHasBeenRounded.
MediaTime add(MediaTime a, MediaTime b);

struct MediaTimeRange {
  MediaTime start;
  MediaTime duration;

  MediaTime end() const { return add(start, duration); }
  bool operator==(const MediaTimeRange&) const = default;
};

}  // namespace veskar

#endif  // VESKAR_ENGINE_MEDIA_TIME_H_
