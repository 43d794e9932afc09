// What veskar-transcribe shows: finals as lines that stay, and, in a
// terminal, the partial results of each source revising in place below them
// with a status line (the progress bar of a file, or the live status); plus
// notices and the closing summary. In a terminal the finals stay in the
// order their utterances began (a final waits among the live lines for an
// earlier utterance of the other speaker); in a pipe each comes at once.
#ifndef VESKAR_TOOLS_TRANSCRIPT_VIEW_H_
#define VESKAR_TOOLS_TRANSCRIPT_VIEW_H_

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "helper_events.h"

namespace veskar::tools {

enum class Stream { out, err };

// Where the view writes. The terminal facts are asked once, at the start.
class ViewSink {
 public:
  virtual ~ViewSink() = default;
  virtual void write(Stream stream, std::string_view bytes) = 0;
  virtual bool isTerminal(Stream stream) const = 0;
  // True when both streams are terminals and the same one.
  virtual bool sameTerminal() const = 0;
  // Columns of the terminal that shows the live lines.
  virtual int columns() const = 0;
};

// Standard output and error, written with write(2).
class StandardSink final : public ViewSink {
 public:
  StandardSink();
  void write(Stream stream, std::string_view bytes) override;
  bool isTerminal(Stream stream) const override { return stream == Stream::out ? outTty_ : errTty_; }
  bool sameTerminal() const override { return same_; }
  int columns() const override;
  // Standard output can no longer be written (its reader went away).
  bool outputBroken() const { return outBroken_; }

 private:
  bool outTty_, errTty_, same_;
  bool outBroken_ = false;
};

// "mm:ss.cc", or "h:mm:ss.cc" from an hour on; negative times count as 0.
std::string formatTimestamp(int64_t ms);
// "m:ss" or "h:mm:ss" of whole seconds.
std::string formatDuration(double seconds);
// The final line of an utterance, without the line feed. The speaker is
// named for people: "You" (source 0) or "Meeting".
std::string finalLine(const HelperEvent& upsert);
// The last `columns` code points of `text`, starting with "…" when cut.
std::string fitToColumns(std::string_view text, int columns);

// The first `columns` code points of `text`, ending with "…" when cut.
std::string cutToColumns(std::string_view text, int columns);

// A partial's live line: the final line's layout, its text cut from the
// front to fit `columns`.
std::string partialLine(const HelperEvent& upsert, int columns);

struct ProgressState {
  double sentSeconds = 0;
  double totalSeconds = 0;  // <= 0: unknown
};
std::string progressLine(const ProgressState& progress, int columns);

class TranscriptView {
 public:
  // `showProgress`: draw the bar when standard error is a terminal.
  TranscriptView(ViewSink& sink, bool showProgress, bool color);

  // A transcript.upsert of any source.
  void upsert(const HelperEvent& event);
  // A line for the person, on standard error.
  void notice(std::string_view line);
  void setProgress(const ProgressState& progress);
  // Any status line, in place of the bar; its end is cut to the columns.
  void setStatus(const std::string& line);
  // Redraws the live lines if anything changed since they were drawn.
  void refresh();
  // Takes the live lines away for good, leaving partials that never became
  // final as they last read (marked so); later output goes below.
  void close();

  int finalCount() const { return static_cast<int>(finalized_.size()); }

 private:
  struct Partial {
    int64_t sequence;  // arrival order
    HelperEvent event;
  };
  // Prints the held finals that no earlier-starting partial of another
  // source waits before.
  void releaseFinals();
  bool liveOnTerminal() const { return live_ != LiveRegion::none; }
  // True when writing to `stream` would land in the terminal of the live lines.
  bool touchesLive(Stream stream) const;
  void permanent(Stream stream, const std::string& text);
  void clearLive();
  void drawLive();

  enum class LiveRegion { none, out, err };

  ViewSink& sink_;
  LiveRegion live_ = LiveRegion::none;
  bool partialsLive_ = false;  // partials are drawn (standard output is a terminal)
  bool progressLive_ = false;  // the bar is drawn
  bool color_;
  int drawnLines_ = 0;
  bool dirty_ = false;
  std::optional<std::string> status_;
  std::map<std::string, Partial> partials_;  // by utterance id, not final yet
  // Finals waiting for an utterance of another source that began earlier,
  // by start time; shown with the partials meanwhile.
  std::multimap<int64_t, HelperEvent> heldFinals_;
  std::map<std::string, int64_t> revisions_;  // newest revision seen per utterance
  std::set<std::string> finalized_;
  int64_t sequence_ = 0;
};

struct Summary {
  double audioSeconds = 0;
  int sources = 1;
  double startupSeconds = 0;  // until stream.ready
  double wallSeconds = 0;     // from stream.ready to stream.finished (or the end)
  std::optional<double> helperCpuSeconds;
  int utterances = 0;
  bool mayHaveDropped = false;
  int64_t peakAheadChunks = 0;
  int queueCapacity = 500;
  bool complete = true;       // the stream ended with stream.finished
  bool interrupted = false;
  // Live capture: the queue's length in time, and the most the helper lagged.
  bool live = false;
  int64_t queueMs = 0;
  int64_t mostLagMs = 0;
  std::optional<double> toolCpuSeconds;
  std::vector<std::string> notes;  // one line each
};
std::string summaryText(const Summary& summary);

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_TRANSCRIPT_VIEW_H_
