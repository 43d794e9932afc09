// An audio file read through libsndfile (WAV, FLAC, OGG and the rest it
// knows) and converted, as it is read, to what the helper takes: 16 kHz
// 16-bit samples, either one mono mix of all channels or each of a stereo
// file's two channels on its own.
#ifndef VESKAR_TOOLS_AUDIO_FILE_H_
#define VESKAR_TOOLS_AUDIO_FILE_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace veskar::tools {

inline constexpr int kHelperSampleRate = 16000;

class AudioFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ChannelLayout {
  monoMix,      // every channel averaged into one
  splitStereo,  // channel 0 and channel 1 apart; needs a two-channel file
};

class AudioFile {
 public:
  // Throws AudioFileError when the file cannot be opened or decoded, or when
  // splitStereo meets a file without exactly two channels.
  static std::unique_ptr<AudioFile> open(const std::string& path, ChannelLayout layout);
  ~AudioFile();
  AudioFile(const AudioFile&) = delete;
  AudioFile& operator=(const AudioFile&) = delete;

  int fileSampleRate() const { return fileRate_; }
  int fileChannels() const { return fileChannels_; }
  // The container and encoding, as libsndfile names them ("WAV (Microsoft)").
  const std::string& formatName() const { return formatName_; }
  // 1 for monoMix, 2 for splitStereo.
  int outputChannels() const { return outputChannels_; }
  // Seconds of audio in the file, or a negative number when unknown.
  double durationSeconds() const;

  // Reads up to `frames` frames at 16 kHz into `channels` (resized to
  // outputChannels(), each holding the same number of samples). Fewer only
  // at the end of the file; 0 once it is over. Throws AudioFileError.
  std::size_t read(std::size_t frames, std::vector<std::vector<int16_t>>& channels);

 private:
  struct Impl;
  explicit AudioFile(std::unique_ptr<Impl> impl);
  bool decodeMore();

  std::unique_ptr<Impl> impl_;
  int fileRate_ = 0;
  int fileChannels_ = 0;
  int outputChannels_ = 1;
  std::string formatName_;
};

// A float sample (full scale ±1, as libsndfile reads 16-bit audio: s/32768)
// as a 16-bit sample, rounded and clipped.
int16_t toInt16(float sample);

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_AUDIO_FILE_H_
