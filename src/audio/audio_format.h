// PCM audio: the layout of samples (AudioFormat) and a buffer of them
// (PcmBuffer). Plain values, no locking: a buffer is filled by one owner and
// shared read-only after that.
#ifndef VESKAR_AUDIO_AUDIO_FORMAT_H_
#define VESKAR_AUDIO_AUDIO_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veskar {

enum class SampleType { int16, float32 };

// The layout of PCM audio. Build with make(), which refuses layouts that no
// buffer can hold.
struct AudioFormat {
  SampleType sampleType = SampleType::int16;
  double sampleRate = 0;
  uint32_t channelCount = 0;
  bool interleaved = false;

  static std::optional<AudioFormat> make(SampleType type, double sampleRate, uint32_t channels, bool interleaved);
  std::size_t bytesPerSample() const { return sampleType == SampleType::int16 ? 2 : 4; }
  bool operator==(const AudioFormat&) const = default;
};

// "int16 16000 Hz, 1 channel, non-interleaved", for messages.
std::string describe(const AudioFormat& format);

// A PCM buffer: frameCapacity frames of storage, of which frameLength are
// valid. Non-interleaved audio has one plane per channel; interleaved audio
// one plane holding every channel.
class PcmBuffer {
 public:
  // Returns null when the storage cannot be allocated.
  static std::shared_ptr<PcmBuffer> make(const AudioFormat& format, uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  uint32_t frameCapacity() const { return frameCapacity_; }
  uint32_t frameLength() const { return frameLength_; }
  // REQUIRES: length <= frameCapacity().
  void setFrameLength(uint32_t length) { frameLength_ = length; }

  uint32_t planeCount() const { return format_.interleaved ? 1 : format_.channelCount; }
  // Samples of one plane: frameCapacity (times channelCount when interleaved).
  // Null when the sample type differs or the plane does not exist.
  int16_t* int16ChannelData(uint32_t plane);
  float* floatChannelData(uint32_t plane);
  const int16_t* int16ChannelData(uint32_t plane) const;
  const float* floatChannelData(uint32_t plane) const;

 private:
  PcmBuffer(const AudioFormat& format, uint32_t frameCapacity);

  AudioFormat format_;
  uint32_t frameCapacity_;
  uint32_t frameLength_ = 0;
  std::vector<int16_t> int16Samples_;
  std::vector<float> floatSamples_;
};

}  // namespace veskar

#endif  // VESKAR_AUDIO_AUDIO_FORMAT_H_
