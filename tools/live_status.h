// The live screen's status line: elapsed time, the input level of each
// source (so that a silent microphone shows), and how far the helper lags
// behind the audio sent to it. Pure bookkeeping; single-threaded.
#ifndef VESKAR_TOOLS_LIVE_STATUS_H_
#define VESKAR_TOOLS_LIVE_STATUS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace veskar::tools {

// The level of the newest audio in dB below full scale: the loudest RMS of
// the last few chunks, falling back slowly, as level meters do.
class LevelMeter {
 public:
  static constexpr double kFloorDb = -90;

  // One chunk of `sampleRate` audio.
  void add(std::span<const int16_t> samples, int sampleRate);
  double levelDb() const { return levelDb_; }

 private:
  double levelDb_ = kFloorDb;
};

// RMS of `samples` in dB below full scale; kFloorDb for silence.
double rmsDb(std::span<const int16_t> samples);

// How far the helper lags: per source, the audio sent minus the audio it has
// shown it decoded (the end of its newest upsert, or everything sent when it
// was seen idle with nothing left to read).
class LagTracker {
 public:
  explicit LagTracker(std::size_t sources) : sentMs_(sources, 0), decodedMs_(sources, 0) {}
  void sent(std::size_t slot, int64_t totalMs);
  void decoded(std::size_t slot, int64_t endMs);
  // The helper was idle with its input read: it has decoded all sent.
  void caughtUp();
  // The largest lag over the sources, in milliseconds (never negative).
  int64_t lagMs() const;
  int64_t mostLagMs() const { return mostLagMs_; }

 private:
  std::vector<int64_t> sentMs_, decodedMs_;
  int64_t mostLagMs_ = 0;
};

struct LiveStatus {
  double elapsedSeconds = 0;
  struct Level {
    std::string label;
    double db = LevelMeter::kFloorDb;
  };
  std::vector<Level> levels;
  std::optional<double> lagSeconds;  // absent before the helper is ready
  bool finishing = false;
};

// "REC 1:23  You [######----] -23 dB  Meeting [#---------] -54 dB  lag 0.2 s";
// a meter spans -60 to 0 dB.
std::string statusLine(const LiveStatus& status);
// The meter alone: `cells` cells, filled in proportion between -60 and 0 dB.
std::string levelBar(double db, int cells);

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_LIVE_STATUS_H_
