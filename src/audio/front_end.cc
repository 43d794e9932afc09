#include "audio/front_end.h"

#include <cmath>
#include <limits>
#include <utility>

namespace veskar {

FrontEnd::FrontEnd(std::vector<std::unique_ptr<AudioStage>> stages, std::unique_ptr<Resampler> resampler)
    : stages_(std::move(stages)), resampler_(std::move(resampler)) {}

void FrontEnd::runThrough(std::size_t stage, std::vector<int16_t>& frames) {
  if (frames.empty()) return;
  scratch_.clear();
  stages_[stage]->process(frames, scratch_);
  frames.swap(scratch_);
}

std::shared_ptr<PcmBuffer> FrontEnd::process(std::span<const int16_t> samples) {
  if (stages_.empty()) return convert(samples);
  std::vector<int16_t> frames;
  stages_.front()->process(samples, frames);
  for (std::size_t i = 1; i < stages_.size(); ++i) runThrough(i, frames);
  return convert(frames);
}

std::shared_ptr<PcmBuffer> FrontEnd::processReference(int64_t referenceOffset, std::span<const int16_t> samples) {
  std::vector<int16_t> frames;
  for (std::size_t i = 0; i < stages_.size(); ++i) {
    // What an earlier stage released goes through this one first, so that
    // the order of frames is kept.
    runThrough(i, frames);
    stages_[i]->processReference(referenceOffset, samples, frames);
  }
  if (frames.empty()) return nullptr;
  return convert(frames);
}

std::shared_ptr<PcmBuffer> FrontEnd::drain() {
  std::vector<int16_t> frames;
  for (std::size_t i = 0; i < stages_.size(); ++i) {
    runThrough(i, frames);
    stages_[i]->drain(frames);
  }
  if (frames.empty()) return nullptr;
  return convert(frames);
}

std::shared_ptr<PcmBuffer> FrontEnd::convert(std::span<const int16_t> frames) {
  // Room for the frames' share at the output rate, plus headroom for what
  // the filter releases unevenly; frames beyond it wait for the next call.
  const double capacity =
      std::ceil((outputFormat().sampleRate / Resampler::kInputRate) * static_cast<double>(frames.size())) + 16.0;
  if (!(capacity <= static_cast<double>(std::numeric_limits<uint32_t>::max()))) throw AudioBufferUnavailable();
  std::shared_ptr<PcmBuffer> output = PcmBuffer::make(outputFormat(), static_cast<uint32_t>(capacity));
  if (!output) throw AudioBufferUnavailable();
  resampler_->push(frames);
  resampler_->pull(*output);
  if (output->frameLength() == 0) return nullptr;
  return output;
}

}  // namespace veskar
