// Converts 16-bit mono PCM into any engine format: rate (libsoxr), sample
// type and channel layout. One converter is one continuous stream: it keeps
// the resampler's state, and frames it cannot yet deliver, from one call to
// the next, and it is never told that the input has ended. The only user of
// libsoxr. Not thread-safe.
#ifndef VESKAR_TRANSCRIPTION_AUDIO_CONVERTER_H_
#define VESKAR_TRANSCRIPTION_AUDIO_CONVERTER_H_

#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "transcription/speech_engine.h"

#include "protocol/errors.h"

namespace veskar {

// A failure of the converter itself; what() is the resampler's text.
class AudioConverterError : public DescribedError {
 public:
  using DescribedError::DescribedError;
};

class AudioConverter {
 public:
  enum class InputStatus { haveData = 0, noDataNow = 1, endOfStream = 2 };
  enum class OutputStatus { haveData = 0, inputRanDry = 1, endOfStream = 2, error = 3 };

  // Called for input as often as the converter likes; sets `status` and
  // returns the next buffer (in the source format) when it is haveData.
  using InputBlock = std::function<std::shared_ptr<const PcmBuffer>(uint32_t framesWanted, InputStatus& status)>;

  // Returns null when the pair of formats is not supported: the source must
  // be one channel.
  static std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to);

  ~AudioConverter();
  AudioConverter(const AudioConverter&) = delete;
  AudioConverter& operator=(const AudioConverter&) = delete;

  // Fills `output` (in the target format) with as many converted frames as
  // are ready, at most its capacity, and sets its frame length. Returns error
  // with `error` set when the resampler fails.
  OutputStatus convert(PcmBuffer& output, std::exception_ptr& error, const InputBlock& input);

  // Frames converted but not yet delivered (past an output's capacity).
  std::size_t pendingFrames() const { return pending_.size() - pendingStart_; }

 private:
  AudioConverter(const AudioFormat& from, const AudioFormat& to, void* resampler);

  void appendInput(const PcmBuffer& buffer);

  const AudioFormat from_;
  const AudioFormat to_;
  void* resampler_;  // soxr_t; null when the rates are equal
  std::vector<float> scratchIn_;
  std::vector<float> scratchOut_;
  std::vector<float> pending_;  // mono frames at the target rate
  std::size_t pendingStart_ = 0;
};

}  // namespace veskar

#endif  // VESKAR_TRANSCRIPTION_AUDIO_CONVERTER_H_
