// One run of veskar-transcribe: the helper as a child process fed by an
// AudioFeed, its events shown on a TranscriptView and kept in the
// transcript files, until the helper has finished the stream.
//
// Stopping: a first SIGINT stops the feed and ends the stream through
// "finish", so that the helper's last words are kept (the helper runs in a
// process group of its own, out of reach of a terminal's Ctrl-C); a second
// one, SIGTERM or SIGHUP end it at once. The files are written in every case.
#ifndef VESKAR_TOOLS_SESSION_H_
#define VESKAR_TOOLS_SESSION_H_

#include <csignal>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio_feed.h"
#include "command_line.h"
#include "helper_events.h"
#include "helper_process.h"
#include "transcript_files.h"
#include "transcript_view.h"

namespace veskar::tools {

// Takes SIGINT, SIGTERM and SIGHUP from now on (and ignores SIGPIPE).
void installSignalHandlers();

enum class FeedKind { file, live };

class Session {
 public:
  // `sourceIds`: the helper sources, one per slot of `feed`.
  Session(FeedKind kind, std::vector<int> sourceIds, AudioFeed& feed, HelperProcess& helper, TranscriptView& view,
          StandardSink& sink, TranscriptFiles& files);

  // Runs until the helper's output ends; returns the exit status.
  int run();

 private:
  int slotOf(const HelperEvent& event) const;
  void handle(const HelperEvent& event, Clock::time_point now);
  void handleErrorLine(const std::string& line);
  // The audio failed; the run exits with `status` unless something worse happened.
  void feedFailed(const std::string& message, int status);
  void writeFiles(bool last);

  const FeedKind kind_;
  const std::vector<int> sourceIds_;
  AudioFeed& feed_;
  HelperProcess& helper_;
  TranscriptView& view_;
  StandardSink& sink_;
  TranscriptFiles& files_;
  HelperEventParser parser_;

  Clock::time_point started_;
  std::optional<Clock::time_point> readyAt_, finishedAt_;
  bool finishSent_ = false;
  bool interrupted_ = false;
  bool feedFailed_ = false;
  int feedFailureStatus_ = 0;
  bool fatal_ = false;  // the helper reported a failure of the whole stream
  int failedSources_ = 0;
  std::set<std::string> reportedMessages_;
  std::optional<Clock::time_point> filesWrittenAt_;
  std::string lastFileError_;
  bool filesFailed_ = false;
};

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_SESSION_H_
