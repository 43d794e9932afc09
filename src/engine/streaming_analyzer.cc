#include "engine/streaming_analyzer.h"

#include <algorithm>
#include <optional>
#include <span>
#include <utility>

#include "engine/decoder_timeline.h"
#include "engine/readable_text.h"
#include "engine/utterance_policy.h"

namespace veskar {

AudioFormat streamingDecoderFormat() {
  return *AudioFormat::make(SampleType::int16, StreamingDecoder::kSampleRate, 1, false);
}

StreamingAnalyzer::StreamingAnalyzer(std::string engineName, DecoderLoader loadDecoder,
                                     std::vector<std::shared_ptr<StreamingTranscriber>> transcribers)
    : engineName_(std::move(engineName)),
      loadDecoder_(std::move(loadDecoder)),
      transcribers_(std::move(transcribers)) {}

void StreamingAnalyzer::prepareToAnalyze(const AudioFormat& format) {
  {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::running || phase_ == Phase::over) {
      throw SpeechEngineError(engineName_ + " cannot prepare an analysis that has begun");
    }
  }
  try {
    if (format != streamingDecoderFormat()) {
      throw SpeechEngineError(engineName_ + " decodes " + describe(streamingDecoderFormat()) + " audio, not " +
                              describe(format));
    }
    // Loaded without the lock: it takes a while, and nothing else may
    // happen to a created analyzer meanwhile.
    std::unique_ptr<StreamingDecoder> decoder = loadDecoder_();
    std::lock_guard lock(mutex_);
    decoder_ = std::move(decoder);
    phase_ = Phase::prepared;
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      if (phase_ == Phase::created) phase_ = Phase::prepareFailed;
    }
    phaseChanged_.notify_all();
    throw;
  }
  phaseChanged_.notify_all();
}

void StreamingAnalyzer::start(std::shared_ptr<InputSequence> inputSequence) {
  // Ends the analysis when start() returns or throws, after the decoder is
  // freed: finalisation waits for it.
  struct MarkOver {
    StreamingAnalyzer& analyzer;
    ~MarkOver() {
      {
        std::lock_guard lock(analyzer.mutex_);
        analyzer.phase_ = Phase::over;
      }
      analyzer.phaseChanged_.notify_all();
    }
  };
  std::unique_ptr<StreamingDecoder> prepared;
  {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::running || phase_ == Phase::over) {
      throw SpeechEngineError(engineName_ + " analysis was started twice");
    }
    if (phase_ != Phase::prepared) {
      phase_ = Phase::over;
      phaseChanged_.notify_all();
      throw SpeechEngineError(engineName_ + " analysis was started without a loaded speech model");
    }
    phase_ = Phase::running;
    prepared = std::move(decoder_);
  }
  MarkOver markOver{*this};
  std::unique_ptr<StreamingDecoder> decoder = std::move(prepared);
  if (!inputSequence) throw SpeechEngineError(engineName_ + " analysis was started without input");
  run(*decoder, *inputSequence);
  decoder.reset();
  finishResults();
}

void StreamingAnalyzer::run(StreamingDecoder& decoder, InputSequence& inputs) {
  DecoderTimeline timeline;
  UtterancePolicy policy(decoder, [&](const UtteranceResult& utterance) {
    const int64_t timelineStart = timeline.timelinePosition(utterance.startSample);
    const int64_t timelineEnd = std::max(timelineStart, timeline.timelineEnd(utterance.endSample));
    TranscriptionResult result;
    result.text = readableText(utterance.text, utterance.isFinal ? Finality::final : Finality::partial);
    result.range.start = MediaTime::make(timelineStart, DecoderTimeline::kTimescale);
    result.range.duration = MediaTime::make(timelineEnd - timelineStart, DecoderTimeline::kTimescale);
    result.isFinal = utterance.isFinal;
    deliver(result);
  });
  policy.start();
  while (std::optional<AnalyzerInput> input = inputs.next()) {
    if (!input->buffer) throw SpeechEngineError(engineName_ + " was given an input without audio");
    const PcmBuffer& buffer = *input->buffer;
    const int16_t* samples = buffer.int16ChannelData(0);
    if (samples == nullptr || buffer.format().sampleRate != StreamingDecoder::kSampleRate ||
        buffer.format().channelCount != 1) {
      throw SpeechEngineError(engineName_ + " was given audio in another format than 16 kHz mono int16: " +
                              describe(buffer.format()));
    }
    const uint32_t count = buffer.frameLength();
    if (count == 0) continue;
    timeline.append(input->bufferStartTime, count);
    policy.feed(std::span<const int16_t>(samples, count));
    timeline.forgetBefore(policy.earliestNeededSample());
  }
  policy.finish();
}

void StreamingAnalyzer::deliver(const TranscriptionResult& result) {
  for (const auto& transcriber : transcribers_) transcriber->channel().yield(result);
}

void StreamingAnalyzer::finalizeAndFinishThroughEndOfInput() {
  {
    std::unique_lock lock(mutex_);
    // Waits for start() to end, or for a failed preparation that means it
    // never will run.
    phaseChanged_.wait(lock, [&] { return phase_ == Phase::over || phase_ == Phase::prepareFailed; });
  }
  finishResults();
}

void StreamingAnalyzer::finishResults() {
  for (const auto& transcriber : transcribers_) transcriber->channel().finish();
}

}  // namespace veskar
