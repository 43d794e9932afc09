#include "transcription/source_analyzer.h"

#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <thread>

#include "protocol/errors.h"
#include "transcription/result_reporting.h"

namespace veskar {

// A function run on a thread of its own, with a handle to wait for its end.
// The thread is detached rather than joined: the results task holds its
// analyzer, so the analyzer may be destroyed on that very thread, and at end
// of input the process exits without waiting for any task.
class BackgroundTask {
 public:
  static std::shared_ptr<BackgroundTask> start(std::function<void()> body) {
    auto task = std::make_shared<BackgroundTask>();
    std::thread([task, body = std::move(body)]() mutable {
      try {
        body();
      } catch (...) {
        // Task bodies report their own failures; nothing may escape a thread.
      }
      body = nullptr;  // drop what the body holds before anyone is told it ended
      {
        std::lock_guard lock(task->mutex_);
        task->ended_ = true;
      }
      task->endedSignal_.notify_all();
    }).detach();
    return task;
  }

  void wait() {
    std::unique_lock lock(mutex_);
    endedSignal_.wait(lock, [&] { return ended_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable endedSignal_;
  bool ended_ = false;  // guarded by mutex_
};

SourceAnalyzer::SourceAnalyzer(SourceId sourceID, std::shared_ptr<EventWriter> writer,
                               std::shared_ptr<SpeechTranscriber> transcriber, const AudioFormat& analyzerFormat,
                               std::unique_ptr<FrontEnd> frontEnd)
    : sourceID_(sourceID),
      speaker_(sourceID == kUserSource ? "user" : "meeting"),
      writer_(std::move(writer)),
      transcriber_(std::move(transcriber)),
      analyzerFormat_(analyzerFormat),
      takesReference_(frontEnd->takesReference()),
      inputStream_(std::make_shared<AnalyzerInputStream>()),
      frontEnd_(std::move(frontEnd)) {}

SourceAnalyzer::~SourceAnalyzer() = default;

std::shared_ptr<SourceAnalyzer> SourceAnalyzer::make(SourceId sourceID, const Locale& locale,
                                                     std::shared_ptr<EventWriter> writer, SpeechEngine& engine,
                                                     std::vector<std::unique_ptr<AudioStage>> stages) {
  std::shared_ptr<SpeechTranscriber> transcriber =
      engine.makeTranscriber(locale, TranscriptionPreset::timeIndexedProgressiveTranscription);
  const Modules modules{transcriber};

  const std::optional<AudioFormat> analyzerFormat = engine.bestAvailableAudioFormat(modules);
  if (!analyzerFormat) throw HelperError(HelperError::Case::audioFormat);
  std::unique_ptr<Resampler> resampler = Resampler::make(*analyzerFormat);
  if (!resampler) throw HelperError(HelperError::Case::audioFormat);
  auto frontEnd = std::make_unique<FrontEnd>(std::move(stages), std::move(resampler));

  std::shared_ptr<SourceAnalyzer> self(
      new SourceAnalyzer(sourceID, std::move(writer), transcriber, *analyzerFormat, std::move(frontEnd)));
  self->analyzer_ = engine.makeAnalyzer(
      modules, SpeechAnalyzerOptions{SpeechAnalyzerOptions::Priority::userInitiated,
                                     SpeechAnalyzerOptions::ModelRetention::whileInUse});
  self->analyzer_->prepareToAnalyze(self->analyzerFormat_);

  // The analysis task holds only what it needs, never the SourceAnalyzer.
  self->analysisTask_ = BackgroundTask::start(
      [analyzer = self->analyzer_, stream = self->inputStream_, writer = self->writer_, sourceID] {
        try {
          analyzer->start(stream);
        } catch (...) {
          writer->send(errorEvent(event_code::analysisFailed, describeException(std::current_exception()), true,
                                  sourceID));
        }
      });
  self->resultTask_ = BackgroundTask::start([self] { self->runResults(); });
  return self;
}

void SourceAnalyzer::runResults() {
  ResultSequence& results = transcriber_->results();
  for (;;) {
    std::optional<TranscriptionResult> result;
    try {
      result = results.next();
    } catch (...) {
      writer_->send(errorEvent(event_code::resultsFailed, describeException(std::current_exception()), true,
                               sourceID_));
      return;
    }
    if (!result) return;
    report(*result);
  }
}

AcceptedAudio SourceAnalyzer::append(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  if (bytes.empty() || bytes.size() % 2 != 0) throw HelperError(HelperError::Case::invalidPCM);
  const std::size_t frames = bytes.size() / 2;
  if (frames > std::numeric_limits<uint32_t>::max()) throw HelperError(HelperError::Case::audioBuffer);

  AcceptedAudio accepted;
  accepted.inputOffset = inputFrames_;
  try {
    accepted.samples.resize(frames);
  } catch (const std::bad_alloc&) {
    throw HelperError(HelperError::Case::audioBuffer);
  }
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(accepted.samples.data(), bytes.data(), bytes.size());
  } else {
    for (std::size_t i = 0; i < frames; ++i) {
      const auto low = static_cast<uint8_t>(bytes[2 * i]);
      const auto high = static_cast<uint8_t>(bytes[2 * i + 1]);
      accepted.samples[i] = static_cast<int16_t>(static_cast<uint16_t>(low | (high << 8)));
    }
  }

  std::shared_ptr<PcmBuffer> output;
  try {
    output = frontEnd_->process(accepted.samples);
  } catch (const AudioBufferUnavailable&) {
    throw HelperError(HelperError::Case::audioBuffer);
  }
  inputFrames_ += static_cast<int64_t>(frames);
  enqueue(std::move(output));
  return accepted;
}

void SourceAnalyzer::appendReference(const AcceptedAudio& reference) {
  std::lock_guard lock(mutex_);
  if (!takesReference_) return;
  std::shared_ptr<PcmBuffer> output;
  try {
    output = frontEnd_->processReference(reference.inputOffset, reference.samples);
  } catch (const AudioBufferUnavailable&) {
    throw HelperError(HelperError::Case::audioBuffer);
  }
  enqueue(std::move(output));
}

void SourceAnalyzer::enqueue(std::shared_ptr<PcmBuffer> buffer) {
  if (!buffer || buffer->frameLength() == 0) return;
  const double rate = std::round(analyzerFormat_.sampleRate);  // halves away from zero
  const MediaTime start = MediaTime::make(sampleOffset_, static_cast<int32_t>(rate));
  sampleOffset_ += buffer->frameLength();
  // Queued, or pushed out later by newer audio: the timeline has advanced
  // either way, so what stays keeps its place.
  inputStream_->yield(AnalyzerInput{std::move(buffer), start});
}

void SourceAnalyzer::finish() {
  std::exception_ptr drainFailure;
  {
    std::lock_guard lock(mutex_);
    try {
      enqueue(frontEnd_->drain());
    } catch (...) {
      // The audio queued before what the stages held is still finished and
      // reported; the loss is reported below, outside the lock.
      drainFailure = std::current_exception();
    }
    inputStream_->finish();
  }
  if (drainFailure) {
    writer_->send(errorEvent(event_code::analysisFailed, describeException(drainFailure), true, sourceID_));
  }
  try {
    analyzer_->finalizeAndFinishThroughEndOfInput();
  } catch (...) {
    // A failed finalisation is not reported: the tasks still end and say
    // what went wrong, if anything did.
  }
  // Waited for without mutex_, so report() keeps running meanwhile.
  if (analysisTask_) analysisTask_->wait();
  if (resultTask_) resultTask_->wait();
}

int64_t SourceAnalyzer::sampleOffset() const {
  std::lock_guard lock(mutex_);
  return sampleOffset_;
}

void SourceAnalyzer::report(const TranscriptionResult& result) {
  const int64_t startMs = milliseconds(result.range.start);
  const int64_t endMs = milliseconds(result.range.end());
  const int64_t clampedStart = startMs >= 0 ? startMs : 0;
  std::string id = utteranceId(sourceID_, clampedStart);
  int64_t revision;
  {
    std::lock_guard lock(mutex_);
    // Counted before the text is looked at: an empty result uses up a
    // revision too.
    revision = ++revisions_[id];
  }
  std::string text = normalizeTranscriptText(result.text);
  if (text.empty()) return;
  writer_->send(OutputEvent{.type = std::string(event_type::transcriptUpsert),
                            .source_id = sourceID_,
                            .speaker = speaker_,
                            .utterance_id = std::move(id),
                            .revision = revision,
                            .text = std::move(text),
                            .is_final = result.isFinal,
                            .start_ms = clampedStart,
                            .end_ms = endMs > startMs ? endMs : startMs});
}

}  // namespace veskar
