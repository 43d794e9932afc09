#include "transcription/source_analyzer.h"

#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <limits>
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

namespace {

constexpr double kInputSampleRate = 16000.0;

}  // namespace

SourceAnalyzer::SourceAnalyzer(SourceId sourceID, std::shared_ptr<EventWriter> writer,
                               std::shared_ptr<SpeechTranscriber> transcriber, const AudioFormat& inputFormat,
                               const AudioFormat& analyzerFormat, std::unique_ptr<AudioConverter> converter)
    : sourceID_(sourceID),
      speaker_(sourceID == 0 ? "user" : "meeting"),
      writer_(std::move(writer)),
      transcriber_(std::move(transcriber)),
      inputFormat_(inputFormat),
      analyzerFormat_(analyzerFormat),
      inputStream_(std::make_shared<AnalyzerInputStream>()),
      converter_(std::move(converter)) {}

SourceAnalyzer::~SourceAnalyzer() = default;

std::shared_ptr<SourceAnalyzer> SourceAnalyzer::make(SourceId sourceID, const Locale& locale,
                                                     std::shared_ptr<EventWriter> writer, SpeechEngine& engine) {
  std::shared_ptr<SpeechTranscriber> transcriber =
      engine.makeTranscriber(locale, TranscriptionPreset::timeIndexedProgressiveTranscription);
  if (!transcriber) throw SpeechEngineError("The speech transcriber could not be created");
  const Modules modules{transcriber};

  const std::optional<AudioFormat> inputFormat = AudioFormat::make(SampleType::int16, kInputSampleRate, 1, false);
  if (!inputFormat) throw HelperError(HelperError::Case::audioFormat);
  const std::optional<AudioFormat> analyzerFormat = engine.bestAvailableAudioFormat(modules);
  if (!analyzerFormat) throw HelperError(HelperError::Case::audioFormat);
  std::unique_ptr<AudioConverter> converter = AudioConverter::make(*inputFormat, *analyzerFormat);
  if (!converter) throw HelperError(HelperError::Case::audioFormat);

  std::shared_ptr<SourceAnalyzer> self(new SourceAnalyzer(sourceID, std::move(writer), transcriber, *inputFormat,
                                                          *analyzerFormat, std::move(converter)));
  self->analyzer_ = engine.makeAnalyzer(
      modules, SpeechAnalyzerOptions{SpeechAnalyzerOptions::Priority::userInitiated,
                                     SpeechAnalyzerOptions::ModelRetention::whileInUse});
  if (!self->analyzer_) throw SpeechEngineError("The speech analyzer could not be created");
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

void SourceAnalyzer::append(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  if (bytes.empty() || bytes.size() % 2 != 0) throw HelperError(HelperError::Case::invalidPCM);
  const std::size_t frames = bytes.size() / 2;
  if (frames > std::numeric_limits<uint32_t>::max()) throw HelperError(HelperError::Case::audioBuffer);

  std::shared_ptr<PcmBuffer> input = PcmBuffer::make(inputFormat_, static_cast<uint32_t>(frames));
  if (!input) throw HelperError(HelperError::Case::audioBuffer);
  int16_t* samples = input->int16ChannelData(0);
  if (samples == nullptr) throw HelperError(HelperError::Case::audioBuffer);
  input->setFrameLength(static_cast<uint32_t>(frames));
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(samples, bytes.data(), bytes.size());
  } else {
    for (std::size_t i = 0; i < frames; ++i) {
      const auto low = static_cast<uint8_t>(bytes[2 * i]);
      const auto high = static_cast<uint8_t>(bytes[2 * i + 1]);
      samples[i] = static_cast<int16_t>(static_cast<uint16_t>(low | (high << 8)));
    }
  }

  const double capacity =
      std::ceil((analyzerFormat_.sampleRate / inputFormat_.sampleRate) * static_cast<double>(frames)) + 16.0;
  if (!(capacity <= static_cast<double>(std::numeric_limits<uint32_t>::max()))) {
    throw HelperError(HelperError::Case::audioBuffer);
  }
  std::shared_ptr<PcmBuffer> output = PcmBuffer::make(analyzerFormat_, static_cast<uint32_t>(capacity));
  if (!output) throw HelperError(HelperError::Case::audioBuffer);

  bool handedOver = false;
  std::exception_ptr error;
  const AudioConverter::OutputStatus status = converter_->convert(
      *output, error,
      [&](uint32_t, AudioConverter::InputStatus& inputStatus) -> std::shared_ptr<const PcmBuffer> {
        if (handedOver) {
          inputStatus = AudioConverter::InputStatus::noDataNow;
          return nullptr;
        }
        handedOver = true;
        inputStatus = AudioConverter::InputStatus::haveData;
        return input;
      });
  if (status == AudioConverter::OutputStatus::error) {
    if (error) std::rethrow_exception(error);
    throw HelperError(HelperError::Case::audioConversion);
  }
  if (error) std::rethrow_exception(error);
  if (output->frameLength() == 0) return;

  const double rate = std::round(analyzerFormat_.sampleRate);  // halves away from zero
  const MediaTime start = MediaTime::make(sampleOffset_, static_cast<int32_t>(rate));
  sampleOffset_ += output->frameLength();
  // Queued, or pushed out later by newer audio: the timeline has advanced
  // either way, so what stays keeps its place.
  inputStream_->yield(AnalyzerInput{std::move(output), start});
}

void SourceAnalyzer::finish() {
  {
    std::lock_guard lock(mutex_);
    inputStream_->finish();
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
