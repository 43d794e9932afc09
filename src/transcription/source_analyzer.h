// SourceAnalyzer: the transcription pipeline of one audio source.
//
// It owns the engine's transcriber and analyzer for the source, the input and
// engine formats, the converter between them and the bounded input stream,
// and runs two background tasks: the analysis task runs the engine over the
// input stream; the results task hands each engine result to report(), which
// sends a "transcript.upsert".
//
// Thread rules: append(), finish() and report() are serialised by mutex_,
// which is never held while the engine, the writer or a task is waited for,
// so results keep being reported while finish() waits. The analysis task
// touches no field of the analyzer: only the input stream passes data
// between the two.
#ifndef VESKAR_TRANSCRIPTION_SOURCE_ANALYZER_H_
#define VESKAR_TRANSCRIPTION_SOURCE_ANALYZER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "protocol/event_writer.h"
#include "protocol/events.h"
#include "transcription/audio_converter.h"
#include "transcription/input_stream.h"
#include "transcription/speech_engine.h"

namespace veskar {

class BackgroundTask;

class SourceAnalyzer : public std::enable_shared_from_this<SourceAnalyzer> {
 public:
  // Builds and starts the pipeline of `sourceID`. Throws HelperError
  // audioFormat when the formats or the converter cannot be set up, and the
  // engine's errors unchanged. `engine` is used only during the call.
  static std::shared_ptr<SourceAnalyzer> make(SourceId sourceID, const Locale& locale,
                                              std::shared_ptr<EventWriter> writer, SpeechEngine& engine);

  ~SourceAnalyzer();
  SourceAnalyzer(const SourceAnalyzer&) = delete;
  SourceAnalyzer& operator=(const SourceAnalyzer&) = delete;

  // Checks one chunk of 16 kHz mono little-endian int16 PCM, converts it to
  // the engine's format and queues it with its start time. Throws HelperError
  // invalidPCM, audioBuffer or audioConversion, or the converter's own error;
  // a thrown error changes neither the timeline nor the queue.
  void append(std::string_view bytes);

  // Ends the input, lets the engine finalise, and returns once both tasks
  // have ended, so every result the engine delivered has been reported.
  // Never fails.
  void finish();

  SourceId sourceID() const { return sourceID_; }
  const std::string& speaker() const { return speaker_; }
  int64_t sampleOffset() const;

 private:
  SourceAnalyzer(SourceId sourceID, std::shared_ptr<EventWriter> writer, std::shared_ptr<SpeechTranscriber> transcriber,
                 const AudioFormat& inputFormat, const AudioFormat& analyzerFormat,
                 std::unique_ptr<AudioConverter> converter);

  // Sends the upsert for one result; never fails.
  void report(const TranscriptionResult& result);
  void runResults();

  // Constant after construction.
  const SourceId sourceID_;
  const std::string speaker_;
  const std::shared_ptr<EventWriter> writer_;
  const std::shared_ptr<SpeechTranscriber> transcriber_;
  std::shared_ptr<SpeechAnalyzer> analyzer_;  // set once, before the tasks start
  const AudioFormat inputFormat_;
  const AudioFormat analyzerFormat_;
  const std::shared_ptr<AnalyzerInputStream> inputStream_;
  std::shared_ptr<BackgroundTask> analysisTask_;  // set once, at the end of make()
  std::shared_ptr<BackgroundTask> resultTask_;    // set once, at the end of make()

  // State below is guarded by mutex_.
  mutable std::mutex mutex_;
  std::unique_ptr<AudioConverter> converter_;
  int64_t sampleOffset_ = 0;
  std::map<std::string, int64_t> revisions_;
};

}  // namespace veskar

#endif  // VESKAR_TRANSCRIPTION_SOURCE_ANALYZER_H_
