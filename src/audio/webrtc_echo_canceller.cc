// The only user of webrtc-audio-processing.
#include <webrtc/common.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <string>

#include "audio/echo_canceller.h"

namespace veskar {

namespace {

constexpr int sampleRate = 16000;

// The reference reaches the canceller already aligned by the stage, a few
// milliseconds ahead of its echo; the delay-agnostic mode refines this
// itself, so the reported delay only seeds its search.
constexpr int reportedDelayMs = 0;

void check(int status, const char* what) {
  if (status != webrtc::AudioProcessing::kNoError) {
    throw EchoCancellerError(std::string("webrtc-audio-processing failed to ") + what + " (error " +
                             std::to_string(status) + ")");
  }
}

class WebRtcEchoCanceller final : public EchoCanceller {
 public:
  WebRtcEchoCanceller() { setUp(); }

  void process(std::span<const int16_t> reference, std::span<const int16_t> microphone,
               std::span<int16_t> output) override {
    fill(farFrame_, reference);
    check(processing_->ProcessReverseStream(&farFrame_), "analyse the reference");
    check(processing_->set_stream_delay_ms(reportedDelayMs), "set the stream delay");
    fill(nearFrame_, microphone);
    check(processing_->ProcessStream(&nearFrame_), "process the microphone");
    std::copy_n(nearFrame_.data_, blockFrames, output.begin());
  }

  void reset() override { setUp(); }

  // The canceller works in 64-frame parts of 80-frame halves of each
  // block and buffers the near end between them.
  std::size_t latencyFrames() const override { return 112; }

 private:
  static void fill(webrtc::AudioFrame& frame, std::span<const int16_t> samples) {
    frame.UpdateFrame(0, 0, samples.data(), blockFrames, sampleRate, webrtc::AudioFrame::kNormalSpeech,
                      webrtc::AudioFrame::kVadUnknown, 1);
  }

  void setUp() {
    webrtc::Config config;
    // The 128 ms filter covers a room's response; the delay-agnostic mode
    // follows what alignment error remains.
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
    config.Set<webrtc::ExperimentalNs>(new webrtc::ExperimentalNs(false));
    processing_.reset(webrtc::AudioProcessing::Create(config));
    if (!processing_) throw EchoCancellerError("webrtc-audio-processing could not be created");
    check(processing_->Initialize(sampleRate, sampleRate, sampleRate, webrtc::AudioProcessing::kMono,
                                  webrtc::AudioProcessing::kMono, webrtc::AudioProcessing::kMono),
          "initialise");
    check(processing_->high_pass_filter()->Enable(true), "enable its high-pass filter");
    check(processing_->noise_suppression()->Enable(false), "disable its noise suppression");
    check(processing_->gain_control()->Enable(false), "disable its gain control");
    webrtc::EchoCancellation& echo = *processing_->echo_cancellation();
    check(echo.enable_drift_compensation(false), "disable its drift compensation");
    // Higher levels also remove the user's own words while the meeting talks.
    check(echo.set_suppression_level(webrtc::EchoCancellation::kLowSuppression), "set the suppression level");
    check(echo.Enable(true), "enable echo cancellation");
  }

  std::unique_ptr<webrtc::AudioProcessing> processing_;
  webrtc::AudioFrame farFrame_;
  webrtc::AudioFrame nearFrame_;
};

}  // namespace

std::unique_ptr<EchoCanceller> makeWebRtcEchoCanceller() { return std::make_unique<WebRtcEchoCanceller>(); }

}  // namespace veskar
