#include "audio/echo_cancellation_stage.h"

#include <algorithm>
#include <cmath>

namespace veskar {

namespace {

constexpr auto blockFrames = static_cast<int64_t>(EchoCanceller::blockFrames);

// The reference may run ahead of the microphone (source 0 stalled) by no
// more than this before its oldest part is let go (20 s).
constexpr int64_t maximumReferenceAheadFrames = 320000;

}  // namespace

EchoCancellationStage::EchoCancellationStage(std::unique_ptr<EchoCanceller> canceller, const Settings& settings)
    : settings_(settings),
      canceller_(std::move(canceller)),
      estimator_(settings.estimator),
      track_(settings.track),
      microphoneBlock_(settings.estimator.blockFrames),
      referenceSpan_(estimator_.referenceSpanFrames()),
      referenceBlock_(EchoCanceller::blockFrames),
      cancelledBlock_(EchoCanceller::blockFrames) {}

void EchoCancellationStage::process(std::span<const int16_t> input, std::vector<int16_t>& output) {
  microphone_.append(received_, input);
  received_ += static_cast<int64_t>(input.size());
  held_.insert(held_.end(), input.begin(), input.end());
  estimate(output);
  emitReady(output);
  forgetOld();
}

void EchoCancellationStage::processReference(int64_t referenceOffset, std::span<const int16_t> samples,
                                             std::vector<int16_t>& output) {
  reference_.append(referenceOffset, samples);
  estimate(output);
  emitReady(output);
  forgetOld();
}

void EchoCancellationStage::drain(std::vector<int16_t>& output) {
  emitReady(output);
  if (mode_ == Mode::cancelling && !held_.empty()) {
    // The last, partial block goes through the canceller padded with
    // silence; only its real frames leave.
    const auto count = static_cast<int64_t>(held_.size());
    if (referenceServes(fed_, count)) {
      std::vector<int16_t> padded(held_);
      padded.resize(EchoCanceller::blockFrames, 0);
      held_.clear();
      feed(padded, count, output);
    }
  }
  if (mode_ == Mode::cancelling) flushCanceller(output);
  passHeld(output);
}

void EchoCancellationStage::estimate(std::vector<int16_t>& output) {
  const auto block = static_cast<int64_t>(settings_.estimator.blockFrames);
  const auto maxLag = static_cast<int64_t>(settings_.estimator.maxLagFrames);
  // The reference is missing for so long that the microphone kept for the
  // estimator would grow without end: start the estimates again past the gap.
  if (received_ - nextEstimate_ > block + 2 * maxLag + settings_.holdFrames) {
    nextEstimate_ = received_ - block;
    estimator_.reset();
  }
  while (nextEstimate_ + block <= received_ && nextEstimate_ + block + maxLag <= reference_.end()) {
    microphone_.copy(nextEstimate_, microphoneBlock_);
    reference_.copy(nextEstimate_ - maxLag, referenceSpan_);
    const auto result = estimator_.addBlock(microphoneBlock_, referenceSpan_);
    const double centre = static_cast<double>(nextEstimate_ + block) -
                          static_cast<double>(estimator_.blocksInWindow() * settings_.estimator.blockFrames) / 2;
    nextEstimate_ += block;
    applyEstimate(result, centre, output);
  }
}

void EchoCancellationStage::applyEstimate(const std::optional<DelayEstimate>& estimate, double frame,
                                          std::vector<int16_t>& output) {
  if (!estimate) return;  // the meeting is silent: no evidence either way
  if (!estimate->echoPresent) {
    agreeing_ = 0;
    if (++unconfident_ >= settings_.estimatesToClose && mode_ != Mode::passing) closeGate(output);
    return;
  }
  unconfident_ = 0;
  switch (track_.add(frame, estimate->delayFrames)) {
    case DelayTrack::Update::rejected:
      agreeing_ = 0;
      return;
    case DelayTrack::Update::started:
      agreeing_ = 1;
      break;
    case DelayTrack::Update::jumped:
      // Two estimates agree on a new delay: the filter adapted to the old
      // alignment is wrong now.
      agreeing_ = 2;
      if (mode_ == Mode::cancelling) openGate(output);
      break;
    case DelayTrack::Update::followed:
      ++agreeing_;
      break;
  }
  if (mode_ == Mode::passing && agreeing_ >= settings_.estimatesToOpen) openGate(output);
}

void EchoCancellationStage::openGate(std::vector<int16_t>& output) {
  if (mode_ == Mode::cancelling) flushCanceller(output);
  mode_ = Mode::cancelling;
  canceller_->reset();
  // Adapt the filter on the microphone audio that already left, so that the
  // first cancelled block is not also the filter's first lesson. What the
  // canceller returns of it is dropped, and so are the frames of it still
  // inside the canceller when the first held block comes out.
  int64_t first = std::max(emitted_ - settings_.warmUpFrames, int64_t{0});
  first = emitted_ - (emitted_ - first) / blockFrames * blockFrames;
  std::vector<int16_t> microphone(EchoCanceller::blockFrames);
  std::vector<float> samples(EchoCanceller::blockFrames);
  for (int64_t frame = first; frame + blockFrames <= emitted_; frame += blockFrames) {
    if (!referenceServes(frame, blockFrames)) break;
    microphone_.copy(frame, samples);
    std::ranges::transform(samples, microphone.begin(), [](float value) { return static_cast<int16_t>(value); });
    cancelBlock(frame, microphone, cancelledBlock_);
  }
  fed_ = emitted_;
  fedWithPadding_ = emitted_;
}

void EchoCancellationStage::closeGate(std::vector<int16_t>& output) {
  if (mode_ == Mode::cancelling) flushCanceller(output);
  mode_ = Mode::passing;
  track_.reset();
  agreeing_ = 0;
}

double EchoCancellationStage::referencePosition(int64_t frame) const {
  const double lead = settings_.referenceLeadFrames;
  return static_cast<double>(frame) + lead - track_.delayAt(static_cast<double>(frame) + lead).value_or(0);
}

bool EchoCancellationStage::referenceServes(int64_t frame, int64_t count) const {
  const double last = referencePosition(frame + count - 1);
  return std::floor(last) + static_cast<double>(SampleHistory::interpolationReach) + 2 <=
         static_cast<double>(reference_.end());
}

void EchoCancellationStage::cancelBlock(int64_t first, std::span<const int16_t> microphone,
                                        std::span<int16_t> output) {
  reference_.interpolate(referencePosition(first), 1 - track_.drift(), referenceBlock_);
  canceller_->process(referenceBlock_, microphone, output);
}

void EchoCancellationStage::feed(std::span<const int16_t> microphone, int64_t real, std::vector<int16_t>& output) {
  cancelBlock(fedWithPadding_, microphone, cancelledBlock_);
  const int64_t firstOut = fedWithPadding_ - static_cast<int64_t>(canceller_->latencyFrames());
  fed_ += real;
  fedWithPadding_ += blockFrames;
  for (int64_t i = 0; i < blockFrames; ++i) {
    const int64_t frame = firstOut + i;
    if (frame >= emitted_ && frame < fed_) {
      output.push_back(cancelledBlock_[static_cast<std::size_t>(i)]);
      emitted_ = frame + 1;
    }
  }
}

void EchoCancellationStage::flushCanceller(std::vector<int16_t>& output) {
  const std::vector<int16_t> silence(EchoCanceller::blockFrames, 0);
  while (emitted_ < fed_) feed(silence, 0, output);
}

void EchoCancellationStage::emitReady(std::vector<int16_t>& output) {
  if (mode_ == Mode::bypassing && !held_.empty() && referenceServes(emitted_, blockFrames)) {
    // The reference caught up: cancel again, from a filter adapted afresh
    // since the break.
    openGate(output);
  }
  if (mode_ != Mode::cancelling) {
    passHeld(output);
    return;
  }
  std::size_t done = 0;
  while (held_.size() - done >= EchoCanceller::blockFrames && referenceServes(fed_, blockFrames)) {
    feed(std::span(held_).subspan(done, EchoCanceller::blockFrames), blockFrames, output);
    done += EchoCanceller::blockFrames;
  }
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(done));
  if (received_ - emitted_ > settings_.holdFrames) {
    // Source 0 ran a whole hold ahead of the reference it needs.
    flushCanceller(output);
    mode_ = Mode::bypassing;
    passHeld(output);
  }
}

void EchoCancellationStage::passHeld(std::vector<int16_t>& output) {
  output.insert(output.end(), held_.begin(), held_.end());
  emitted_ += static_cast<int64_t>(held_.size());
  held_.clear();
}

void EchoCancellationStage::forgetOld() {
  const auto maxLag = static_cast<int64_t>(settings_.estimator.maxLagFrames);
  const int64_t oldestEmittedNeeded = emitted_ - settings_.warmUpFrames - blockFrames;
  microphone_.forgetBefore(std::min(nextEstimate_, oldestEmittedNeeded));
  int64_t referenceNeeded = std::min(nextEstimate_, oldestEmittedNeeded) - maxLag - SampleHistory::interpolationReach -
                            static_cast<int64_t>(settings_.referenceLeadFrames) - blockFrames;
  referenceNeeded = std::max(referenceNeeded, reference_.end() - maximumReferenceAheadFrames);
  reference_.forgetBefore(referenceNeeded);
}

}  // namespace veskar
