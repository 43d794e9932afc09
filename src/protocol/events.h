// The wire records: InputEvent (one decoded stdin line) and OutputEvent (one
// stdout line), the catalogue of event types and codes, and the encoder.
// Both records are plain values, copied and never shared.
#ifndef VESKAR_PROTOCOL_EVENTS_H_
#define VESKAR_PROTOCOL_EVENTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "basics/ids.h"

namespace veskar {

namespace event_type {
inline constexpr std::string_view audio = "audio";
inline constexpr std::string_view finish = "finish";
inline constexpr std::string_view streamStatus = "stream.status";
inline constexpr std::string_view streamReady = "stream.ready";
inline constexpr std::string_view transcriptUpsert = "transcript.upsert";
inline constexpr std::string_view streamError = "stream.error";
inline constexpr std::string_view streamFinished = "stream.finished";
}  // namespace event_type

namespace event_code {
inline constexpr std::string_view modelDownloading = "model_downloading";
inline constexpr std::string_view nativeUnavailable = "native_unavailable";
inline constexpr std::string_view invalidInput = "invalid_input";
inline constexpr std::string_view analysisFailed = "analysis_failed";
inline constexpr std::string_view resultsFailed = "results_failed";
}  // namespace event_code

inline constexpr std::string_view kModelDownloadingMessage = "Installing the on-device speech model";

// One input line. Absent optional keys (missing or null) are std::nullopt.
struct InputEvent {
  std::string type;
  std::optional<SourceId> source_id;
  std::optional<uint32_t> sequence;
  std::optional<int64_t> captured_at_ms;
  std::optional<std::string> pcm_base64;
};

// One output line. Members are encoded in declaration order and absent ones
// are left out; build with designated initializers naming only what is set:
//   OutputEvent{.type = "stream.ready", .locale = "en_US"}
struct OutputEvent {
  std::string type;
  std::optional<SourceId> source_id = std::nullopt;
  std::optional<std::string> speaker = std::nullopt;
  std::optional<std::string> utterance_id = std::nullopt;
  std::optional<int64_t> revision = std::nullopt;
  std::optional<std::string> text = std::nullopt;
  std::optional<bool> is_final = std::nullopt;
  std::optional<int64_t> start_ms = std::nullopt;
  std::optional<int64_t> end_ms = std::nullopt;
  std::optional<std::string> locale = std::nullopt;
  std::optional<std::string> code = std::nullopt;
  std::optional<std::string> message = std::nullopt;
  std::optional<bool> fatal = std::nullopt;

  bool operator==(const OutputEvent&) const = default;
};

// Appends the compact JSON object for `event` to `out`, without a line feed.
// Strings escape '"', '\\', '/' and control characters; every other character
// is written as UTF-8, ill-formed bytes as U+FFFD.
void encodeOutputEvent(const OutputEvent& event, std::string& out);
std::string encodeOutputEvent(const OutputEvent& event);

// The error events of the catalogue.
OutputEvent errorEvent(std::string_view code, std::string message, bool fatal,
                       std::optional<SourceId> sourceID = std::nullopt);

}  // namespace veskar

#endif  // VESKAR_PROTOCOL_EVENTS_H_
