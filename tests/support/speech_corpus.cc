#include "support/speech_corpus.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace veskar::testing {

namespace {

uint32_t littleEndian(const std::string& bytes, std::size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

}  // namespace


std::vector<std::string> wordsOf(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

// 16 kHz mono 16-bit PCM from a RIFF WAVE file; empty for anything else.
std::vector<int16_t> readWave(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) return {};
  bool pcm16kMono = false;
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    const std::string id = bytes.substr(at, 4);
    const std::size_t size = littleEndian(bytes, at + 4, 4);
    const std::size_t body = at + 8;
    if (body + size > bytes.size()) return {};
    if (id == "fmt " && size >= 16) {
      pcm16kMono = littleEndian(bytes, body, 2) == 1 && littleEndian(bytes, body + 2, 2) == 1 &&
                   littleEndian(bytes, body + 4, 4) == kRate && littleEndian(bytes, body + 14, 2) == 16;
    } else if (id == "data") {
      if (!pcm16kMono) return {};
      std::vector<int16_t> result(size / 2);
      for (std::size_t i = 0; i < result.size(); ++i) {
        result[i] = static_cast<int16_t>(littleEndian(bytes, body + 2 * i, 2));
      }
      return result;
    }
    at = body + size + (size & 1);
  }
  return {};
}

// The clips by id ("0870"...), with their reference words; empty when the
// test data is not installed or cannot be read.
const std::map<std::string, Clip>& clips() {
  static const std::map<std::string, Clip> loaded = [] {
    std::map<std::string, Clip> result;
    std::ifstream references(kClipFolder / "transcription");
    for (std::string line; std::getline(references, line);) {
      // "<s> words ... </s> (sense_and_sensibility_01_austen_64kb-0870)"
      const std::size_t open = line.rfind('(');
      const std::size_t close = line.rfind(')');
      if (open == std::string::npos || close == std::string::npos || close < open) continue;
      const std::string name = line.substr(open + 1, close - open - 1);
      Clip clip;
      clip.id = name.substr(name.size() - 4);
      for (const std::string& word : wordsOf(line.substr(0, open))) {
        if (word != "<s>" && word != "</s>") clip.words.push_back(word);
      }
      clip.samples = readWave(kClipFolder / (name + ".wav"));
      if (clip.samples.empty() || clip.words.empty()) return std::map<std::string, Clip>();
      result.emplace(clip.id, std::move(clip));
    }
    if (result.size() != 5) result.clear();
    return result;
  }();
  return loaded;
}

const Clip& clip(const std::string& id) { return clips().at(id); }

// `clip` without the quiet before and after its speech: frames of 10 ms
// under a hundredth of its mean energy.
Clip withoutQuietEnds(const Clip& clip) {
  constexpr std::size_t kFrame = 160;
  const std::size_t frames = clip.samples.size() / kFrame;
  std::vector<double> energy(frames, 0.0);
  double mean = 0;
  for (std::size_t f = 0; f < frames; ++f) {
    for (std::size_t i = f * kFrame; i < (f + 1) * kFrame; ++i) energy[f] += double(clip.samples[i]) * clip.samples[i];
    mean += energy[f] / static_cast<double>(frames);
  }
  std::size_t first = 0;
  std::size_t last = frames;
  while (first < last && energy[first] < 0.01 * mean) ++first;
  while (last > first && energy[last - 1] < 0.01 * mean) --last;
  Clip trimmed = clip;
  trimmed.samples.assign(clip.samples.begin() + static_cast<std::ptrdiff_t>(first * kFrame),
                         clip.samples.begin() + static_cast<std::ptrdiff_t>(last * kFrame));
  return trimmed;
}



// Each clip with a second of silence before it, and one after the last.
Plan paddedClips(const std::vector<std::string>& ids) {
  Plan plan;
  for (const std::string& id : ids) {
    plan.silence(1.0);
    plan.speech(clip(id));
  }
  plan.silence(1.0);
  return plan;
}

}  // namespace veskar::testing
