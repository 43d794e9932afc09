// Coordinator: readies the speech engine for the locale, creates one
// SourceAnalyzer per source, routes every input event and ends the stream.
// It owns the EventWriter through which its own events and everything its
// analyzers send reach standard output.
//
// Thread rules: driven by the input loop alone, one call at a time; mutex_
// keeps the map consistent should anyone else look at it.
#ifndef VESKAR_COORDINATION_COORDINATOR_H_
#define VESKAR_COORDINATION_COORDINATOR_H_

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/speech_engine.h"
#include "protocol/event_writer.h"
#include "protocol/events.h"
#include "transcription/source_analyzer.h"

namespace veskar {

// What the input loop needs of the stream: a start and one call per event.
class StreamCoordinator {
 public:
  virtual ~StreamCoordinator() = default;
  // Readies the stream; returns the locale in use. Throws on any failure.
  virtual Locale start(const Locale& locale, const std::vector<SourceId>& sources) = 0;
  // Handles one event. Returns false once the stream is over ("finish").
  // Throws when the event is rejected; the stream goes on.
  virtual bool consume(const InputEvent& event) = 0;
};

class Coordinator final : public StreamCoordinator {
 public:
  // `engine` must outlive the Coordinator and its analyzers.
  explicit Coordinator(SpeechEngine& engine, OutputSink& sink = standardOutput());

  // Checks availability, resolves the locale, installs the model when it is
  // missing ("stream.status"), reserves the locale, creates the analyzers in
  // the order given and sends "stream.ready". Throws HelperError
  // transcriberUnavailable, unsupportedLocale or assetRequestUnavailable,
  // and the engine's and the analyzers' errors unchanged.
  Locale start(const Locale& locale, const std::vector<SourceId>& sources) override;

  // "audio": decodes the Base64 audio and appends it to the source's
  // analyzer; the meeting's audio also goes, as reference, to the
  // microphone's front end when that uses it. "finish": finishes every
  // analyzer in turn, sends
  // "stream.finished" and returns false. Throws HelperError invalidEvent
  // for any other type and for unusable audio fields, and the analyzer's
  // errors unchanged.
  bool consume(const InputEvent& event) override;

 private:
  SpeechEngine& engine_;
  const std::shared_ptr<EventWriter> writer_;
  // State below is guarded by mutex_.
  std::mutex mutex_;
  std::map<SourceId, std::shared_ptr<SourceAnalyzer>> analyzers_;
};

}  // namespace veskar

#endif  // VESKAR_COORDINATION_COORDINATOR_H_
