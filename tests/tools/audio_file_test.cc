// Audio files of several formats, rates and channel counts, written here
// with libsndfile and read back as the helper's 16 kHz samples.
#include "audio_file.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <vector>
#include "support/temp_folder.h"

namespace veskar::tools {
namespace {

using TempDir = veskar::testing::TempFolder;


// Writes interleaved float frames to `path` in `format`.
void writeFile(const std::string& path, int format, int rate, int channels, const std::vector<float>& frames) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  ASSERT_EQ(sf_writef_float(file, frames.data(), static_cast<sf_count_t>(frames.size()) / channels),
            static_cast<sf_count_t>(frames.size()) / channels);
  sf_close(file);
}

// `seconds` of a sine of `hz` in channel 0 at `amplitude`, and in channel 1
// (if any) `rightAmplitude` of a sine at twice the frequency.
std::vector<float> tone(int rate, int channels, double seconds, double hz, float amplitude,
                        float rightAmplitude = 0) {
  const auto frames = static_cast<std::size_t>(rate * seconds);
  std::vector<float> out(frames * static_cast<std::size_t>(channels));
  for (std::size_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f) / rate;
    out[f * channels] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * hz * t));
    if (channels > 1) {
      out[f * channels + 1] = rightAmplitude * static_cast<float>(std::sin(2 * std::numbers::pi * 2 * hz * t));
    }
  }
  return out;
}

std::vector<std::vector<int16_t>> readAll(AudioFile& audio) {
  std::vector<std::vector<int16_t>> all(static_cast<std::size_t>(audio.outputChannels()));
  std::vector<std::vector<int16_t>> chunk;
  std::size_t n;
  while ((n = audio.read(1600, chunk)) > 0) {
    EXPECT_LE(n, 1600u);
    EXPECT_EQ(chunk.size(), all.size());
    for (std::size_t c = 0; c < all.size(); ++c) {
      EXPECT_EQ(chunk[c].size(), n);
      all[c].insert(all[c].end(), chunk[c].begin(), chunk[c].end());
    }
  }
  return all;
}

double rms(const std::vector<int16_t>& samples, std::size_t skip = 800) {
  double sum = 0;
  std::size_t count = 0;
  for (std::size_t i = skip; i + skip < samples.size(); ++i, ++count) sum += double(samples[i]) * samples[i];
  return count ? std::sqrt(sum / static_cast<double>(count)) : 0;
}

// Upward zero crossings per second.
double frequency(const std::vector<int16_t>& samples) {
  int crossings = 0;
  for (std::size_t i = 1; i < samples.size(); ++i) crossings += samples[i - 1] < 0 && samples[i] >= 0;
  return crossings / (static_cast<double>(samples.size()) / kHelperSampleRate);
}

TEST(AudioFile, SixteenKilohertzMonoComesThroughSampleForSample) {
  TempDir dir;
  const std::string path = dir.file("mono.wav");
  std::vector<int16_t> samples(4000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>((i * 7919) % 65536 - 32768);
  SF_INFO info{};
  info.samplerate = 16000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);

  const auto audio = AudioFile::open(path, ChannelLayout::monoMix);
  EXPECT_EQ(audio->fileSampleRate(), 16000);
  EXPECT_EQ(audio->fileChannels(), 1);
  EXPECT_EQ(audio->formatName().rfind("WAV", 0), 0u) << audio->formatName();
  EXPECT_DOUBLE_EQ(audio->durationSeconds(), 0.25);
  const auto all = readAll(*audio);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0], samples);
}

TEST(AudioFile, StereoAtFortyEightKilohertzIsMixedAndResampled) {
  TempDir dir;
  const std::string path = dir.file("stereo.wav");
  writeFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, tone(48000, 2, 2.0, 440, 0.5f, 0.0f));
  const auto audio = AudioFile::open(path, ChannelLayout::monoMix);
  EXPECT_EQ(audio->fileChannels(), 2);
  EXPECT_EQ(audio->outputChannels(), 1);
  const auto all = readAll(*audio);
  ASSERT_EQ(all.size(), 1u);
  // Two seconds at 16 kHz, give or take the resampler's edges.
  EXPECT_NEAR(static_cast<double>(all[0].size()), 32000, 16);
  // The mean of a 0.5 sine and silence: a 0.25 sine, RMS 0.25/sqrt(2).
  EXPECT_NEAR(rms(all[0]), 0.25 / std::sqrt(2.0) * 32768, 100);
  EXPECT_NEAR(frequency(all[0]), 440, 3);
}

TEST(AudioFile, StereoSourcesKeepTheChannelsApart) {
  TempDir dir;
  const std::string path = dir.file("stereo.flac");
  writeFile(path, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, tone(44100, 2, 1.5, 300, 0.5f, 0.1f));
  const auto audio = AudioFile::open(path, ChannelLayout::splitStereo);
  EXPECT_EQ(audio->outputChannels(), 2);
  EXPECT_NE(audio->formatName().find("FLAC"), std::string::npos) << audio->formatName();
  const auto all = readAll(*audio);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_NEAR(static_cast<double>(all[0].size()), 24000, 16);
  EXPECT_EQ(all[0].size(), all[1].size());
  EXPECT_NEAR(rms(all[0]), 0.5 / std::sqrt(2.0) * 32768, 150);
  EXPECT_NEAR(rms(all[1]), 0.1 / std::sqrt(2.0) * 32768, 60);
  EXPECT_NEAR(frequency(all[0]), 300, 3);
  EXPECT_NEAR(frequency(all[1]), 600, 3);
}

TEST(AudioFile, OggVorbisIsRead) {
  TempDir dir;
  const std::string path = dir.file("speech.ogg");
  writeFile(path, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 22050, 1, tone(22050, 1, 1.0, 500, 0.4f));
  const auto audio = AudioFile::open(path, ChannelLayout::monoMix);
  const auto all = readAll(*audio);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_NEAR(static_cast<double>(all[0].size()), 16000, 16);
  EXPECT_NEAR(rms(all[0]), 0.4 / std::sqrt(2.0) * 32768, 400);  // lossy
  EXPECT_NEAR(frequency(all[0]), 500, 3);
}

TEST(AudioFile, MoreChannelsAreAveraged) {
  TempDir dir;
  const std::string path = dir.file("four.wav");
  std::vector<float> frames;
  for (int f = 0; f < 1600; ++f) frames.insert(frames.end(), {0.4f, 0.2f, -0.2f, 0.4f});
  writeFile(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 16000, 4, frames);
  const auto all = readAll(*AudioFile::open(path, ChannelLayout::monoMix));
  ASSERT_EQ(all[0].size(), 1600u);
  for (const int16_t sample : all[0]) ASSERT_NEAR(sample, toInt16(0.2f), 1);
}

TEST(AudioFile, StereoSourcesNeedTwoChannels) {
  TempDir dir;
  const std::string path = dir.file("mono.wav");
  writeFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000, 1, tone(16000, 1, 0.1, 440, 0.5f));
  EXPECT_THROW(AudioFile::open(path, ChannelLayout::splitStereo), AudioFileError);
  EXPECT_NO_THROW(AudioFile::open(path, ChannelLayout::monoMix));
}

TEST(AudioFile, FilesThatAreNotAudioAreRefused) {
  TempDir dir;
  EXPECT_THROW(AudioFile::open(dir.file("missing.wav"), ChannelLayout::monoMix), AudioFileError);
  const std::string text = dir.file("text.wav");
  FILE* file = std::fopen(text.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs("this is not a sound file, only some text\n", file);
  std::fclose(file);
  EXPECT_THROW(AudioFile::open(text, ChannelLayout::monoMix), AudioFileError);
}

TEST(AudioFile, FloatSamplesRoundAndClipToSixteenBits) {
  EXPECT_EQ(toInt16(0.0f), 0);
  EXPECT_EQ(toInt16(1.0f / 32768), 1);
  EXPECT_EQ(toInt16(-1.0f), -32768);
  EXPECT_EQ(toInt16(1.0f), 32767);
  EXPECT_EQ(toInt16(3.5f), 32767);
  EXPECT_EQ(toInt16(-2.0f), -32768);
  EXPECT_EQ(toInt16(0.49f / 32768), 0);
  EXPECT_EQ(toInt16(std::nanf("")), 0);
}

}  // namespace
}  // namespace veskar::tools
