#include "live_status.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "transcript_view.h"

namespace veskar::tools {

namespace {

constexpr double kMeterFloorDb = -60;
// How fast the meter falls after a loud chunk: as meters commonly do, about
// 20 dB a second.
constexpr double kFallDbPerSecond = 20;

}  // namespace

double rmsDb(std::span<const int16_t> samples) {
  if (samples.empty()) return LevelMeter::kFloorDb;
  double sum = 0;
  for (const int16_t s : samples) sum += static_cast<double>(s) * s;
  const double rms = std::sqrt(sum / static_cast<double>(samples.size())) / 32768.0;
  if (rms <= 0) return LevelMeter::kFloorDb;
  return std::max(LevelMeter::kFloorDb, 20 * std::log10(rms));
}

void LevelMeter::add(std::span<const int16_t> samples, int sampleRate) {
  const double seconds = static_cast<double>(samples.size()) / sampleRate;
  const double fallen = std::max(kFloorDb, levelDb_ - kFallDbPerSecond * seconds);
  levelDb_ = std::max(fallen, rmsDb(samples));
}

void LagTracker::sent(std::size_t slot, int64_t totalMs) {
  sentMs_[slot] = totalMs;
  mostLagMs_ = std::max(mostLagMs_, lagMs());
}

void LagTracker::decoded(std::size_t slot, int64_t endMs) {
  decodedMs_[slot] = std::max(decodedMs_[slot], endMs);
}

void LagTracker::caughtUp() {
  for (std::size_t slot = 0; slot < sentMs_.size(); ++slot) decodedMs_[slot] = std::max(decodedMs_[slot], sentMs_[slot]);
}

int64_t LagTracker::lagMs() const {
  int64_t lag = 0;
  for (std::size_t slot = 0; slot < sentMs_.size(); ++slot) lag = std::max(lag, sentMs_[slot] - decodedMs_[slot]);
  return lag;
}

std::string levelBar(double db, int cells) {
  const double fraction = std::clamp((db - kMeterFloorDb) / -kMeterFloorDb, 0.0, 1.0);
  const auto filled = static_cast<std::size_t>(std::lround(fraction * cells));
  std::string bar(static_cast<std::size_t>(cells) + 2, '-');
  bar.front() = '[';
  bar.back() = ']';
  bar.replace(1, filled, filled, '#');
  return bar;
}

std::string statusLine(const LiveStatus& status) {
  std::string line = status.finishing ? "finishing " : "REC ";
  line += formatDuration(status.elapsedSeconds);
  for (const LiveStatus::Level& level : status.levels) {
    char db[16];
    if (level.db <= kMeterFloorDb) {
      std::snprintf(db, sizeof db, "silent");
    } else {
      std::snprintf(db, sizeof db, "%d dB", static_cast<int>(std::lround(level.db)));
    }
    line += "  " + level.label + " " + levelBar(level.db, 10) + " " + db;
  }
  if (status.lagSeconds) {
    char lag[32];
    std::snprintf(lag, sizeof lag, "  lag %.1f s", *status.lagSeconds);
    line += lag;
  }
  return line;
}

}  // namespace veskar::tools
