// SourceAnalyzer: the transcription pipeline of one audio source.
//
// It owns the engine's transcriber and analyzer for the source, the audio
// front end (stages, then the resampler into the engine's format) and the
// bounded input stream, and runs two background tasks: the analysis task
// runs the engine over the input stream; the results task hands each engine
// result to report(), which sends a "transcript.upsert".
//
// Thread rules: append(), appendReference(), finish() and report() are
// serialised by mutex_, which is never held while the engine, the writer or
// a task is waited for, so results keep being reported while finish()
// waits. append() and appendReference() are called only by the Coordinator,
// on the input loop's thread, one input line at a time: the reference a
// source receives is therefore in step with the lines as they were read.
// The analysis task touches no field of the analyzer: only the input stream
// passes data between the two.
#ifndef VESKAR_TRANSCRIPTION_SOURCE_ANALYZER_H_
#define VESKAR_TRANSCRIPTION_SOURCE_ANALYZER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_stage.h"
#include "audio/front_end.h"
#include "engine/speech_engine.h"
#include "protocol/event_writer.h"
#include "protocol/events.h"
#include "transcription/input_stream.h"

namespace veskar {

class BackgroundTask;

// The samples of a chunk that append() accepted, for the reference tap.
struct AcceptedAudio {
  // Where the samples start on the source's input timeline: 16 kHz frames
  // accepted before them.
  int64_t inputOffset = 0;
  std::vector<int16_t> samples;
};

class SourceAnalyzer : public std::enable_shared_from_this<SourceAnalyzer> {
 public:
  // Builds and starts the pipeline of `sourceID`, with `stages` in its
  // front end before the resampler. Throws HelperError audioFormat when the
  // formats or the resampler cannot be set up, and the engine's errors
  // unchanged. `engine` is used only during the call.
  static std::shared_ptr<SourceAnalyzer> make(SourceId sourceID, const Locale& locale,
                                              std::shared_ptr<EventWriter> writer, SpeechEngine& engine,
                                              std::vector<std::unique_ptr<AudioStage>> stages = {});

  ~SourceAnalyzer();
  SourceAnalyzer(const SourceAnalyzer&) = delete;
  SourceAnalyzer& operator=(const SourceAnalyzer&) = delete;

  // Checks one chunk of 16 kHz mono little-endian int16 PCM, runs it
  // through the front end and queues what comes out, stamped with its start
  // on the timeline. Returns the chunk's samples. Throws HelperError
  // invalidPCM or audioBuffer, or the resampler's own error; a thrown error
  // changes neither the timeline nor the queue.
  AcceptedAudio append(std::string_view bytes);

  // Reference audio from another source (the meeting, for the microphone),
  // for the front end's stages; whatever they release is queued as append()
  // queues. Throws as append() does.
  void appendReference(const AcceptedAudio& reference);
  // True when the front end uses reference audio.
  bool takesReference() const { return takesReference_; }

  // Ends the input, lets the engine finalise, and returns once both tasks
  // have ended, so every result the engine delivered has been reported.
  // Never fails.
  void finish();

  SourceId sourceID() const { return sourceID_; }
  const std::string& speaker() const { return speaker_; }
  int64_t sampleOffset() const;

 private:
  SourceAnalyzer(SourceId sourceID, std::shared_ptr<EventWriter> writer, std::shared_ptr<SpeechTranscriber> transcriber,
                 const AudioFormat& analyzerFormat, std::unique_ptr<FrontEnd> frontEnd);

  // Stamps `buffer` with the next start on the timeline and queues it.
  // REQUIRES: mutex_ held.
  void enqueue(std::shared_ptr<PcmBuffer> buffer);

  // Sends the upsert for one result; never fails.
  void report(const TranscriptionResult& result);
  void runResults();

  // Constant after construction.
  const SourceId sourceID_;
  const std::string speaker_;
  const std::shared_ptr<EventWriter> writer_;
  const std::shared_ptr<SpeechTranscriber> transcriber_;
  std::shared_ptr<SpeechAnalyzer> analyzer_;  // set once, before the tasks start
  const AudioFormat analyzerFormat_;
  const bool takesReference_;
  const std::shared_ptr<AnalyzerInputStream> inputStream_;
  std::shared_ptr<BackgroundTask> analysisTask_;  // set once, at the end of make()
  std::shared_ptr<BackgroundTask> resultTask_;    // set once, at the end of make()

  // State below is guarded by mutex_.
  mutable std::mutex mutex_;
  std::unique_ptr<FrontEnd> frontEnd_;
  int64_t inputFrames_ = 0;   // 16 kHz frames accepted
  int64_t sampleOffset_ = 0;  // engine-format frames queued: the next start
  std::map<std::string, int64_t> revisions_;
};

}  // namespace veskar

#endif  // VESKAR_TRANSCRIPTION_SOURCE_ANALYZER_H_
