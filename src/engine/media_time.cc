#include "engine/media_time.h"

#include <cmath>
#include <limits>
#include <numeric>

namespace veskar {

double MediaTime::seconds() const {
  if (!isNumeric()) return 0.0;
  return static_cast<double>(value) / static_cast<double>(timescale);
}

MediaTime add(MediaTime a, MediaTime b) {
  if (!a.isValid() || !b.isValid()) return MediaTime::invalid();
  if ((a.flags | b.flags) & MediaTime::kIndefinite) return MediaTime::indefinite();
  const uint32_t infinities = (a.flags | b.flags) & (MediaTime::kPositiveInfinity | MediaTime::kNegativeInfinity);
  if (infinities == (MediaTime::kPositiveInfinity | MediaTime::kNegativeInfinity)) return MediaTime::indefinite();
  if (infinities == MediaTime::kPositiveInfinity) return MediaTime::positiveInfinity();
  if (infinities == MediaTime::kNegativeInfinity) return MediaTime::negativeInfinity();

  const int64_t common = std::lcm(static_cast<int64_t>(a.timescale), static_cast<int64_t>(b.timescale));
  uint32_t rounded = (a.flags | b.flags) & MediaTime::kHasBeenRounded;
  int32_t timescale;
  if (common <= std::numeric_limits<int32_t>::max()) {
    timescale = static_cast<int32_t>(common);
  } else {
    timescale = std::max(a.timescale, b.timescale);
  }
  // Long double keeps 64 bits of mantissa, enough for any int64 value.
  const long double sum = static_cast<long double>(a.value) * timescale / a.timescale +
                          static_cast<long double>(b.value) * timescale / b.timescale;
  const long double whole = std::round(sum);
  if (whole != sum) rounded = MediaTime::kHasBeenRounded;
  if (whole >= 9.2233720368547758e18L) return MediaTime::positiveInfinity();
  if (whole < -9.2233720368547758e18L) return MediaTime::negativeInfinity();
  return MediaTime{static_cast<int64_t>(whole), timescale, MediaTime::kValid | rounded};
}

}  // namespace veskar
