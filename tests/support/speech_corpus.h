// Read speech for tests: the LibriVox clips of pocketsphinx-testdata with
// their reference words, and plans of speech and silence that become the
// inputs the pipeline would feed an engine.
#ifndef VESKAR_TESTS_SUPPORT_SPEECH_CORPUS_H_
#define VESKAR_TESTS_SUPPORT_SPEECH_CORPUS_H_

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/speech_engine.h"

namespace veskar::testing {

namespace fs = std::filesystem;

constexpr int64_t kRate = 16000;
constexpr uint32_t kInputSamples = 320;  // 20 ms, as the pipeline feeds
inline const fs::path kClipFolder = "/usr/share/pocketsphinx/test/data/librivox";
inline const std::string kClipPrefix = "sense_and_sensibility_01_austen_64kb-";

inline int64_t samples(double seconds) { return static_cast<int64_t>(seconds * kRate); }

struct Clip {
  std::string id;
  std::vector<int16_t> samples;
  std::vector<std::string> words;
};

// The words of `text`, split at white space.
std::vector<std::string> wordsOf(const std::string& text);

// 16 kHz mono 16-bit PCM from a RIFF WAVE file; empty for anything else.
std::vector<int16_t> readWave(const fs::path& path);

// The clips by id ("0870"...), with their reference words; empty when the
// test data is not installed or cannot be read.
const std::map<std::string, Clip>& clips();
const Clip& clip(const std::string& id);

// `clip` without the quiet before and after its speech: frames of 10 ms
// under a hundredth of its mean energy.
Clip withoutQuietEnds(const Clip& clip);

// Audio for one source, on a timeline that starts at 0.
class Plan {
 public:
  struct Span {
    int64_t start;  // timeline samples
    int64_t end;
    const Clip* clip;
  };

  void silence(double seconds) { audio_.resize(audio_.size() + samples(seconds), 0); }

  void speech(const Clip& clip) {
    const int64_t start = static_cast<int64_t>(audio_.size());
    audio_.insert(audio_.end(), clip.samples.begin(), clip.samples.end());
    spans_.push_back(Span{start, start + static_cast<int64_t>(clip.samples.size()), &clip});
  }

  // Inputs of 20 ms stamped with their timeline start in `timescale`.
  std::vector<AnalyzerInput> inputs(int32_t timescale = static_cast<int32_t>(kRate)) const {
    const AudioFormat format = *AudioFormat::make(SampleType::int16, kRate, 1, false);
    std::vector<AnalyzerInput> result;
    for (std::size_t at = 0; at < audio_.size(); at += kInputSamples) {
      const uint32_t length = static_cast<uint32_t>(std::min<std::size_t>(kInputSamples, audio_.size() - at));
      std::shared_ptr<PcmBuffer> buffer = PcmBuffer::make(format, kInputSamples);
      std::copy_n(audio_.begin() + static_cast<std::ptrdiff_t>(at), length, buffer->int16ChannelData(0));
      buffer->setFrameLength(length);
      const int64_t start = static_cast<int64_t>(at) * timescale / kRate;
      result.push_back(AnalyzerInput{buffer, MediaTime::make(start, timescale)});
    }
    return result;
  }

  const std::vector<Span>& spans() const { return spans_; }
  std::vector<std::string> referenceWords() const {
    std::vector<std::string> words;
    for (const Span& span : spans_) words.insert(words.end(), span.clip->words.begin(), span.clip->words.end());
    return words;
  }

 private:
  std::vector<int16_t> audio_;
  std::vector<Span> spans_;
};

// Each clip with a second of silence before it, and one after the last.
Plan paddedClips(const std::vector<std::string>& ids);

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_SUPPORT_SPEECH_CORPUS_H_
