// Identifiers shared by every layer: audio sources and locales.
#ifndef VESKAR_BASICS_IDS_H_
#define VESKAR_BASICS_IDS_H_

#include <cstdint>
#include <string>

namespace veskar {

// An audio source: 0 is the user's microphone, 1 the meeting audio.
using SourceId = int64_t;
inline constexpr SourceId kUserSource = 0;
inline constexpr SourceId kMeetingSource = 1;

// A locale identifier as the host or the engine spells it.
struct Locale {
  std::string identifier;
  bool operator==(const Locale&) const = default;
};

}  // namespace veskar

#endif  // VESKAR_BASICS_IDS_H_
