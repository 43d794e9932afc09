#include "send_gate.h"

#include <algorithm>

namespace veskar::tools {

SendGate::SendGate(const SendGateSettings& settings, Clock::time_point start)
    : settings_(settings), due_(start) {
  sources_.resize(static_cast<std::size_t>(std::max(settings_.sources, 1)));
  for (Source& source : sources_) source.lastUpsert = start;
}

Clock::duration SendGate::interval() const {
  const double seconds = settings_.chunkMs / 1000.0 / settings_.speed;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool SendGate::mayRunAhead(const Source& source, Clock::time_point now) const {
  if (!source.live) return true;
  const int64_t aheadAfter = sent_ + 1 - source.confirmed;
  if (aheadAfter <= settings_.windowChunks) return true;
  return now - source.lastUpsert >= settings_.quietAfter && aheadAfter <= settings_.quietCapChunks;
}

SendGate::Verdict SendGate::verdict(Clock::time_point now) const {
  for (const Source& source : sources_) {
    if (!mayRunAhead(source, now)) return Verdict::waitDecoding;
  }
  return now >= due_ ? Verdict::send : Verdict::notYet;
}

Clock::time_point SendGate::readyAt(Clock::time_point now) const {
  Clock::time_point at = due_;
  for (const Source& source : sources_) {
    if (!mayRunAhead(source, now)) {
      const Clock::time_point quietFrom = source.lastUpsert + settings_.quietAfter;
      at = std::max(at, quietFrom > now ? quietFrom : now);
    }
  }
  return at;
}

void SendGate::sent(Clock::time_point now) {
  ++sent_;
  // After a hold the schedule starts again from now, allowing a catch-up of
  // at most two chunks, so that no burst follows a wait.
  const Clock::duration step = interval();
  due_ = std::max(due_, now - 2 * step) + step;
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    if (sources_[i].live) peakAhead_ = std::max(peakAhead_, aheadChunks(static_cast<int>(i)));
  }
}

void SendGate::confirmed(int source, int64_t endMs, Clock::time_point now) {
  if (source < 0 || static_cast<std::size_t>(source) >= sources_.size()) return;
  Source& s = sources_[static_cast<std::size_t>(source)];
  s.lastUpsert = now;
  // A chunk is known taken only when the decoded position is past its end.
  const int64_t chunks = std::min<int64_t>(std::max<int64_t>(endMs, 0) / settings_.chunkMs, sent_);
  s.confirmed = std::max(s.confirmed, chunks);
}

void SendGate::helperIdle(int64_t sentChunks) {
  for (Source& source : sources_) source.confirmed = std::max(source.confirmed, std::min(sentChunks, sent_));
}

void SendGate::retire(int source) {
  if (source < 0 || static_cast<std::size_t>(source) >= sources_.size()) return;
  sources_[static_cast<std::size_t>(source)].live = false;
}

int64_t SendGate::confirmedChunks(int source) const {
  if (source < 0 || static_cast<std::size_t>(source) >= sources_.size()) return 0;
  return sources_[static_cast<std::size_t>(source)].confirmed;
}

int64_t SendGate::aheadChunks(int source) const {
  if (source < 0 || static_cast<std::size_t>(source) >= sources_.size()) return 0;
  return sent_ - sources_[static_cast<std::size_t>(source)].confirmed;
}

}  // namespace veskar::tools
