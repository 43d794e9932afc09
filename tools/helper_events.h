// The helper's output lines, read back into plain structs.
#ifndef VESKAR_TOOLS_HELPER_EVENTS_H_
#define VESKAR_TOOLS_HELPER_EVENTS_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace veskar::tools {

struct HelperEvent {
  std::string type;  // "stream.ready", "transcript.upsert", ...
  // Members absent from the line stay empty.
  std::optional<int64_t> sourceId;
  std::string speaker;
  std::string utteranceId;
  int64_t revision = 0;
  std::string text;
  bool isFinal = false;
  int64_t startMs = 0;
  int64_t endMs = 0;
  std::string locale;
  std::string code;
  std::string message;
  bool fatal = false;
};

inline constexpr std::string_view kStreamReady = "stream.ready";
inline constexpr std::string_view kStreamStatus = "stream.status";
inline constexpr std::string_view kTranscriptUpsert = "transcript.upsert";
inline constexpr std::string_view kStreamError = "stream.error";
inline constexpr std::string_view kStreamFinished = "stream.finished";

// Reads output lines; keeps its parser's buffers between lines.
class HelperEventParser {
 public:
  HelperEventParser();
  ~HelperEventParser();
  HelperEventParser(const HelperEventParser&) = delete;
  HelperEventParser& operator=(const HelperEventParser&) = delete;

  // The event on `line` (no line feed), or nullopt when the line is not a
  // JSON object with a string "type". Members of the wrong type count as
  // absent.
  std::optional<HelperEvent> parse(std::string_view line);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_HELPER_EVENTS_H_
