// The transcript as files people keep: plain text, SubRip (.srt), WebVTT
// (.vtt) and JSON, the format chosen by the file's extension. Every write
// replaces the whole file atomically (a temporary file beside it, then a
// rename), so a reader or an interrupted run never sees half a file.
//
// Single-threaded: TranscriptFiles is used by the tool's one loop.
#ifndef VESKAR_TOOLS_TRANSCRIPT_FILES_H_
#define VESKAR_TOOLS_TRANSCRIPT_FILES_H_

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veskar::tools {

class TranscriptFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TranscriptFormat { text, srt, vtt, json };

// The format named by the extension of `path` (case-insensitive: .txt,
// .srt, .vtt, .json); nullopt for any other.
std::optional<TranscriptFormat> formatOfPath(std::string_view path);

// The name people read for a source: "You" for 0 (the microphone),
// "Meeting" for any other.
std::string speakerName(int64_t sourceId);

struct FinalUtterance {
  int64_t sourceId = 0;
  std::string id;
  int64_t startMs = 0;
  int64_t endMs = 0;
  std::string text;
};

// "HH:MM:SS,mmm" (SubRip) and "HH:MM:SS.mmm" (WebVTT); hours take as many
// digits as they need, at least two. Negative times count as 0.
std::string srtTime(int64_t ms);
std::string vttTime(int64_t ms);

// `text` made safe for a cue: line breaks become spaces; for SubRip "-->"
// becomes "→" and "<", ">" become "‹", "›" (players read tags there); for
// WebVTT "&", "<", ">" become character references. Invalid UTF-8 becomes
// U+FFFD in both.
std::string srtCueText(std::string_view text);
std::string vttCueText(std::string_view text);

// The whole file for `utterances` (in the order given).
std::string renderTranscript(TranscriptFormat format, const std::vector<FinalUtterance>& utterances);

// Replaces `path` with `contents`: written to a temporary file in the same
// folder, flushed to disk, then renamed over it. Throws TranscriptFileError
// naming the path and the reason; `path` is then left as it was.
void writeFileAtomically(const std::string& path, std::string_view contents);

// The final utterances so far and the files they go to, kept in time order
// (start, then source).
class TranscriptFiles {
 public:
  // REQUIRES: formatOfPath() knows every path.
  explicit TranscriptFiles(std::vector<std::string> paths);

  bool empty() const { return paths_.empty(); }
  // Adds a final utterance; a second final of the same id replaces the first.
  void add(FinalUtterance utterance);
  // True when utterances arrived since the last successful writeAll().
  bool changed() const { return changed_; }
  const std::vector<FinalUtterance>& utterances() const { return utterances_; }

  // Writes every file. Throws TranscriptFileError for the first one that
  // fails (after trying the others).
  void writeAll();

 private:
  std::vector<std::string> paths_;
  std::vector<FinalUtterance> utterances_;
  bool changed_ = true;
};

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_TRANSCRIPT_FILES_H_
