#include "audio_file.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace veskar::tools {

namespace {

constexpr std::size_t kReadFrames = 4096;

}  // namespace

int16_t toInt16(float sample) {
  if (!(sample == sample)) return 0;  // NaN
  const float scaled = std::nearbyint(sample * 32768.0f);
  if (scaled >= 32767.0f) return 32767;
  if (scaled <= -32768.0f) return -32768;
  return static_cast<int16_t>(scaled);
}

struct AudioFile::Impl {
  SNDFILE* file = nullptr;
  SF_INFO info{};
  soxr_t resampler = nullptr;  // null when the file is at 16 kHz already
  bool fileEnded = false;
  bool flushed = false;
  std::vector<float> fileFrames;   // interleaved, as read
  std::vector<float> mixed;        // interleaved, outputChannels wide
  std::vector<float> resampled;    // interleaved, outputChannels wide
  std::vector<std::vector<int16_t>> ready;  // converted, per output channel
  std::size_t readyOffset = 0;              // taken from the front of ready

  ~Impl() {
    if (resampler != nullptr) soxr_delete(resampler);
    if (file != nullptr) sf_close(file);
  }
};

AudioFile::AudioFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AudioFile::~AudioFile() = default;

std::unique_ptr<AudioFile> AudioFile::open(const std::string& path, ChannelLayout layout) {
  auto impl = std::make_unique<Impl>();
  impl->file = sf_open(path.c_str(), SFM_READ, &impl->info);
  if (impl->file == nullptr) throw AudioFileError(path + ": " + sf_strerror(nullptr));
  const SF_INFO& info = impl->info;
  if (info.channels < 1 || info.samplerate < 1) throw AudioFileError(path + ": no audio in the file");
  if (layout == ChannelLayout::splitStereo && info.channels != 2) {
    throw AudioFileError(path + ": --stereo-sources needs a two-channel file; this one has " +
                         std::to_string(info.channels));
  }
  // Reading a 16-bit file as float gives s/32768 exactly; clipping float
  // files stays in [-1, 1] instead of wrapping.
  sf_command(impl->file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  sf_command(impl->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);

  const int outputChannels = layout == ChannelLayout::splitStereo ? 2 : 1;
  if (info.samplerate != kHelperSampleRate) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    impl->resampler = soxr_create(info.samplerate, kHelperSampleRate, static_cast<unsigned>(outputChannels), &error,
                                  &io, &quality, nullptr);
    if (impl->resampler == nullptr || error != nullptr) {
      throw AudioFileError(path + ": cannot resample from " + std::to_string(info.samplerate) +
                           " Hz: " + (error != nullptr ? error : "soxr failed"));
    }
  }
  impl->ready.resize(static_cast<std::size_t>(outputChannels));

  std::unique_ptr<AudioFile> audio(new AudioFile(std::move(impl)));
  audio->fileRate_ = info.samplerate;
  audio->fileChannels_ = info.channels;
  audio->outputChannels_ = outputChannels;
  SF_FORMAT_INFO format{};
  format.format = info.format & SF_FORMAT_TYPEMASK;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &format, sizeof format) == 0 && format.name != nullptr) {
    audio->formatName_ = format.name;
  }
  return audio;
}

double AudioFile::durationSeconds() const {
  const sf_count_t frames = impl_->info.frames;
  if (frames < 0 || frames == std::numeric_limits<sf_count_t>::max()) return -1;
  return static_cast<double>(frames) / fileRate_;
}

// Moves more converted samples into `ready`; false once nothing more comes.
bool AudioFile::decodeMore() {
  Impl& m = *impl_;
  if (m.flushed) return false;
  const auto width = static_cast<std::size_t>(m.info.channels);
  const auto outWidth = static_cast<std::size_t>(outputChannels_);

  std::size_t frames = 0;
  if (!m.fileEnded) {
    m.fileFrames.resize(kReadFrames * width);
    const sf_count_t got = sf_readf_float(m.file, m.fileFrames.data(), static_cast<sf_count_t>(kReadFrames));
    if (got < 0) throw AudioFileError(sf_strerror(m.file));
    if (got == 0) {
      if (sf_error(m.file) != SF_ERR_NO_ERROR) throw AudioFileError(sf_strerror(m.file));
      m.fileEnded = true;
    }
    frames = static_cast<std::size_t>(got);
  }

  m.mixed.resize(frames * outWidth);
  for (std::size_t f = 0; f < frames; ++f) {
    const float* frame = &m.fileFrames[f * width];
    if (outWidth == 2) {
      m.mixed[2 * f] = frame[0];
      m.mixed[2 * f + 1] = frame[1];
    } else {
      float sum = 0;
      for (std::size_t c = 0; c < width; ++c) sum += frame[c];
      m.mixed[f] = sum / static_cast<float>(width);
    }
  }

  // Drop what was taken before growing.
  if (m.readyOffset > 0) {
    for (auto& channel : m.ready) {
      channel.erase(channel.begin(), channel.begin() + static_cast<std::ptrdiff_t>(m.readyOffset));
    }
    m.readyOffset = 0;
  }
  auto append = [&](const float* samples, std::size_t count) {
    for (std::size_t c = 0; c < outWidth; ++c) {
      std::vector<int16_t>& channel = m.ready[c];
      for (std::size_t f = 0; f < count; ++f) channel.push_back(toInt16(samples[f * outWidth + c]));
    }
  };

  if (m.resampler == nullptr) {
    append(m.mixed.data(), frames);
    if (m.fileEnded) m.flushed = true;
    return frames > 0;
  }

  // Room for the ratio plus what the filter still holds at the end.
  const double ratio = static_cast<double>(kHelperSampleRate) / fileRate_;
  const std::size_t capacity = static_cast<std::size_t>(std::ceil(kReadFrames * ratio)) + 4096;
  m.resampled.resize(capacity * outWidth);
  std::size_t made = 0;
  if (m.fileEnded) {
    // A null input tells soxr that the input is over: it flushes its filter.
    const soxr_error_t error = soxr_process(m.resampler, nullptr, 0, nullptr, m.resampled.data(), capacity, &made);
    if (error != nullptr) throw AudioFileError(std::string("resampling failed: ") + error);
    append(m.resampled.data(), made);
    if (made == 0) m.flushed = true;
    return made > 0;
  }
  std::size_t offset = 0;
  while (offset < frames) {
    std::size_t used = 0;
    const soxr_error_t error = soxr_process(m.resampler, m.mixed.data() + offset * outWidth, frames - offset, &used,
                                            m.resampled.data(), capacity, &made);
    if (error != nullptr) throw AudioFileError(std::string("resampling failed: ") + error);
    append(m.resampled.data(), made);
    offset += used;
    if (used == 0 && made == 0) break;  // no progress: give up on this block rather than spin
  }
  return true;
}

std::size_t AudioFile::read(std::size_t frames, std::vector<std::vector<int16_t>>& channels) {
  Impl& m = *impl_;
  while (m.ready[0].size() - m.readyOffset < frames) {
    if (!decodeMore()) break;
  }
  const std::size_t n = std::min(frames, m.ready[0].size() - m.readyOffset);
  channels.resize(static_cast<std::size_t>(outputChannels_));
  for (std::size_t c = 0; c < channels.size(); ++c) {
    const auto begin = m.ready[c].begin() + static_cast<std::ptrdiff_t>(m.readyOffset);
    channels[c].assign(begin, begin + static_cast<std::ptrdiff_t>(n));
  }
  m.readyOffset += n;
  return n;
}

}  // namespace veskar::tools
