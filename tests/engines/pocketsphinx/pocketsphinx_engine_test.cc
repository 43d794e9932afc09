// The PocketSphinx engine over the real libraries and the en-us model,
// decoding the LibriVox clips of pocketsphinx-testdata. Each fixture skips
// its tests when what it needs is not installed.
#include "engine/decoder_timeline.h"
#include "engines/pocketsphinx/hypothesis_text.h"
#include "engines/pocketsphinx/model_files.h"
#include "engines/pocketsphinx/pocketsphinx_engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <latch>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_folder.h"
#include "support/word_error_rate.h"
#include "transcription/input_stream.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;
using testing::wordErrorRate;

constexpr int64_t kRate = 16000;
constexpr uint32_t kInputSamples = 320;  // 20 ms, as the pipeline feeds
const fs::path kClipFolder = "/usr/share/pocketsphinx/test/data/librivox";
const std::string kClipPrefix = "sense_and_sensibility_01_austen_64kb-";

int64_t samples(double seconds) { return static_cast<int64_t>(seconds * kRate); }

std::shared_ptr<const PocketSphinxLibrary> sharedLibrary() {
  static const std::shared_ptr<const PocketSphinxLibrary> library = PocketSphinxLibrary::load();
  return library;
}


// The model files, relative to the model folder.
const std::vector<std::string>& modelFiles() {
  static const std::vector<std::string> files = {
      "en-us/mdef",      "en-us/means",   "en-us/variances", "en-us/transition_matrices", "en-us/feat.params",
      "en-us/noisedict", "en-us/sendump", "en-us.lm.bin",    "cmudict-en-us.dict"};
  return files;
}

const char kGarbage[] = "this is not a speech model file\n";

// The first `count` bytes of an installed model file.
std::string installedPrefix(const std::string& file, std::size_t count) {
  std::ifstream in(fs::path(PocketSphinxEngine::defaultModelDirectory()) / file, std::ios::binary);
  std::string bytes(count, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// A model folder of links to the installed model, with the files in
// `replaced` holding the text given instead and `missing` files left out.
void makeModelFolder(const fs::path& folder, const std::map<std::string, std::string>& replaced,
                     const std::vector<std::string>& missing = {}) {
  const fs::path installed = PocketSphinxEngine::defaultModelDirectory();
  fs::create_directories(folder / "en-us");
  for (const std::string& file : modelFiles()) {
    if (std::find(missing.begin(), missing.end(), file) != missing.end()) continue;
    if (auto replacement = replaced.find(file); replacement != replaced.end()) {
      std::ofstream(folder / file) << replacement->second;
    } else {
      fs::create_symlink(installed / file, folder / file);
    }
  }
}

// ---- Clips and references

struct Clip {
  std::string id;
  std::vector<int16_t> samples;
  std::vector<std::string> words;
};

std::vector<std::string> wordsOf(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

uint32_t littleEndian(const std::string& bytes, std::size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
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


// ---- What the pipeline would feed

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
Plan paddedClips(const std::vector<std::string>& ids) {
  Plan plan;
  for (const std::string& id : ids) {
    plan.silence(1.0);
    plan.speech(clip(id));
  }
  plan.silence(1.0);
  return plan;
}

// ---- Running the engine as the pipeline does

struct Outcome {
  std::vector<TranscriptionResult> results;
  std::string startError;  // what() of what start() threw
  std::string finalizeError;
};

// Analyses `inputs` as one source: start() on an analysis thread,
// finalizeAndFinishThroughEndOfInput() on another once the stream is
// finished, results read here. `prepared`, if given, is counted down after
// the model is loaded and waited for before the analysis starts.
Outcome analyse(PocketSphinxEngine& engine, const std::vector<AnalyzerInput>& inputs, std::latch* prepared = nullptr) {
  auto transcriber = engine.makeTranscriber(PocketSphinxEngine::servedLocale(),
                                            TranscriptionPreset::timeIndexedProgressiveTranscription);
  const Modules modules = {transcriber};
  auto analyzer = engine.makeAnalyzer(modules, SpeechAnalyzerOptions{});
  analyzer->prepareToAnalyze(*engine.bestAvailableAudioFormat(modules));
  if (prepared != nullptr) prepared->arrive_and_wait();

  // Room for every input: none is dropped however slowly the engine goes.
  auto stream = std::make_shared<AnalyzerInputStream>(inputs.size() + 1);
  for (const AnalyzerInput& input : inputs) stream->yield(input);
  stream->finish();

  Outcome outcome;
  std::thread analysis([&] {
    try {
      analyzer->start(stream);
    } catch (const std::exception& error) {
      outcome.startError = error.what();
    }
  });
  std::thread finalizer([&] {
    try {
      analyzer->finalizeAndFinishThroughEndOfInput();
    } catch (const std::exception& error) {
      outcome.finalizeError = error.what();
    }
  });
  while (std::optional<TranscriptionResult> result = transcriber->results().next()) {
    outcome.results.push_back(*result);
  }
  analysis.join();
  finalizer.join();
  return outcome;
}

std::vector<TranscriptionResult> transcribe(PocketSphinxEngine& engine, const std::vector<AnalyzerInput>& inputs) {
  Outcome outcome = analyse(engine, inputs);
  EXPECT_EQ(outcome.startError, "");
  EXPECT_EQ(outcome.finalizeError, "");
  return std::move(outcome.results);
}

// Everything a result holds, exactly, for comparing sessions.
std::vector<std::string> keysOf(const std::vector<TranscriptionResult>& results) {
  std::vector<std::string> keys;
  for (const TranscriptionResult& r : results) {
    keys.push_back((r.isFinal ? "final " : "partial ") + std::to_string(r.range.start.value) + "/" +
                   std::to_string(r.range.start.timescale) + "+" + std::to_string(r.range.duration.value) + "/" +
                   std::to_string(r.range.duration.timescale) + " " + r.text);
  }
  return keys;
}

int64_t startOf(const TranscriptionResult& result) { return result.range.start.value; }
int64_t endOf(const TranscriptionResult& result) { return result.range.start.value + result.range.duration.value; }

std::string describe(const TranscriptionResult& result) {
  std::ostringstream text;
  text << (result.isFinal ? "final" : "partial") << " [" << startOf(result) / double(kRate) << " s, "
       << endOf(result) / double(kRate) << " s] \"" << result.text << "\"";
  return text.str();
}

// The results of one utterance: the same start, non-finals, one final.
using Utterance = std::vector<TranscriptionResult>;

std::vector<Utterance> utterancesOf(const std::vector<TranscriptionResult>& results) {
  std::vector<Utterance> utterances;
  bool open = false;
  for (const TranscriptionResult& result : results) {
    if (open && result.range.start != utterances.back().front().range.start) {
      ADD_FAILURE() << "an utterance changed its start or ended without a final result: "
                    << describe(utterances.back().back()) << " then " << describe(result);
      open = false;
    }
    if (!open) utterances.emplace_back();
    utterances.back().push_back(result);
    open = !result.isFinal;
  }
  if (open) ADD_FAILURE() << "the last utterance has no final result: " << describe(utterances.back().back());
  return utterances;
}

// The shape every result must have, whatever was said.
void expectWellFormed(const TranscriptionResult& result) {
  SCOPED_TRACE(describe(result));
  EXPECT_TRUE(result.range.start.isNumeric());
  EXPECT_EQ(result.range.start.timescale, kRate);
  EXPECT_TRUE(result.range.duration.isNumeric());
  EXPECT_EQ(result.range.duration.timescale, kRate);
  EXPECT_GE(result.range.duration.value, 0);
  EXPECT_EQ(result.text, transcriptText(result.text)) << "fillers, markers or stray spaces in the text";
  EXPECT_EQ(result.text.find_first_of("<>[]()+"), std::string::npos);
  if (!result.isFinal) {
    EXPECT_FALSE(result.text.empty()) << "non-final results carry words";
  }
}

std::vector<std::string> finalWords(const std::vector<Utterance>& utterances) {
  std::vector<std::string> words;
  for (const Utterance& utterance : utterances) {
    for (const std::string& word : wordsOf(utterance.back().text)) words.push_back(word);
  }
  return words;
}

// The checks of a session over clips of read speech: utterances revise
// and finish properly, and lie where the clips are on the timeline.
std::vector<Utterance> expectUtterancesWithinClips(const std::vector<TranscriptionResult>& results, const Plan& plan) {
  for (const TranscriptionResult& result : results) expectWellFormed(result);
  const std::vector<Utterance> utterances = utterancesOf(results);
  std::vector<int> utterancesPerClip(plan.spans().size(), 0);
  int64_t previousStart = -1;
  for (const Utterance& utterance : utterances) {
    const TranscriptionResult& final = utterance.back();
    SCOPED_TRACE("utterance " + describe(final));
    EXPECT_GE(startOf(final), previousStart) << "utterances out of order";
    previousStart = startOf(final);
    for (std::size_t i = 1; i + 1 < utterance.size(); ++i) {
      EXPECT_NE(utterance[i].text, utterance[i - 1].text) << "a non-final result that changed nothing";
    }
    // At most about five non-final results a second of speech (the
    // detector runs on about half a second after it).
    const double seconds = static_cast<double>(endOf(final) - startOf(final)) / kRate + 0.6;
    EXPECT_LE(static_cast<double>(utterance.size() - 1), 5.0 * seconds + 1.0);
    // The start lies within a clip (the decoder's first frame may take in
    // up to a fifth of a second before the speech), so does the end.
    bool inClip = false;
    for (std::size_t i = 0; i < plan.spans().size(); ++i) {
      const Plan::Span& span = plan.spans()[i];
      if (startOf(final) >= span.start - samples(0.3) && startOf(final) < span.end) {
        inClip = true;
        ++utterancesPerClip[i];
        EXPECT_LE(endOf(final), span.end + samples(0.3));
      }
    }
    EXPECT_TRUE(inClip) << "an utterance outside the clips' speech";
  }
  for (std::size_t i = 0; i < plan.spans().size(); ++i) {
    EXPECT_GE(utterancesPerClip[i], 1) << "nothing was recognised in clip " << plan.spans()[i].clip->id;
  }
  return utterances;
}

// Redirects standard output and standard error to a file while alive.
class CapturedStandardStreams {
 public:
  explicit CapturedStandardStreams(const fs::path& file) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    savedOut_ = ::dup(STDOUT_FILENO);
    savedError_ = ::dup(STDERR_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~CapturedStandardStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut_, STDOUT_FILENO);
    ::dup2(savedError_, STDERR_FILENO);
    ::close(savedOut_);
    ::close(savedError_);
  }
  CapturedStandardStreams(const CapturedStandardStreams&) = delete;
  CapturedStandardStreams& operator=(const CapturedStandardStreams&) = delete;

 private:
  int savedOut_;
  int savedError_;
};

// ---- Fixtures

class PocketSphinxLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sharedLibrary()) GTEST_SKIP() << "the PocketSphinx libraries are not installed";
  }
  std::shared_ptr<SpeechTranscriber> newTranscriber(PocketSphinxEngine& engine) {
    return engine.makeTranscriber(PocketSphinxEngine::servedLocale(),
                                  TranscriptionPreset::timeIndexedProgressiveTranscription);
  }
};

class PocketSphinxModelTest : public PocketSphinxLibraryTest {
 protected:
  void SetUp() override {
    PocketSphinxLibraryTest::SetUp();
    if (IsSkipped()) return;
    if (findMissingModelFile(PocketSphinxEngine::defaultModelDirectory())) {
      GTEST_SKIP() << "the en-us speech model is not installed";
    }
  }
};

class PocketSphinxSpeechTest : public PocketSphinxModelTest {
 protected:
  void SetUp() override {
    PocketSphinxModelTest::SetUp();
    if (IsSkipped()) return;
    if (clips().empty()) GTEST_SKIP() << "the LibriVox clips of pocketsphinx-testdata are not installed";
  }
  PocketSphinxEngine engine_{sharedLibrary()};
};

class ForeignTranscriber final : public SpeechTranscriber {
 public:
  ResultSequence& results() override { return channel_; }

 private:
  ResultChannel channel_;
};

// ---- The engine's surface

TEST_F(PocketSphinxLibraryTest, OffersItsFormatAndNoInstaller) {
  PocketSphinxEngine engine(sharedLibrary());
  EXPECT_TRUE(engine.isAvailable());
  const Modules modules = {newTranscriber(engine)};
  EXPECT_EQ(engine.bestAvailableAudioFormat(modules), AudioFormat::make(SampleType::int16, 16000.0, 1, false));
  EXPECT_FALSE(engine.assetInstallationRequest(modules).has_value());
  EXPECT_TRUE(engine.reserve(PocketSphinxEngine::servedLocale()));
  // The results sequence is the transcriber's own channel.
  EXPECT_NE(dynamic_cast<ResultChannel*>(&modules.front()->results()), nullptr);
}

TEST_F(PocketSphinxLibraryTest, RefusesWhatItCannotServe) {
  PocketSphinxEngine engine(sharedLibrary());
  EXPECT_THROW(engine.makeTranscriber(Locale{"fr_FR"}, TranscriptionPreset::timeIndexedProgressiveTranscription),
               SpeechEngineError);
  EXPECT_NE(engine.makeTranscriber(Locale{"en-us"}, TranscriptionPreset::timeIndexedProgressiveTranscription), nullptr);

  const std::shared_ptr<SpeechTranscriber> foreign = std::make_shared<ForeignTranscriber>();
  EXPECT_THROW(engine.makeAnalyzer({foreign}, {}), SpeechEngineError);
  EXPECT_THROW(engine.makeAnalyzer({newTranscriber(engine), foreign}, {}), SpeechEngineError);
  EXPECT_EQ(engine.assetStatus({foreign}), AssetStatus::unsupported);
  EXPECT_THROW(engine.makeAnalyzer({}, {}), SpeechEngineError);

  // A transcriber serves one analyzer; one refused stays free.
  const auto transcriber = newTranscriber(engine);
  EXPECT_THROW(engine.makeAnalyzer({transcriber, foreign}, {}), SpeechEngineError);
  EXPECT_NE(engine.makeAnalyzer({transcriber}, {}), nullptr);
  EXPECT_THROW(engine.makeAnalyzer({transcriber}, {}), SpeechEngineError);
  const auto other = newTranscriber(engine);
  EXPECT_THROW(engine.makeAnalyzer({other, other}, {}), SpeechEngineError);

  PocketSphinxEngine withoutLibrary(nullptr);
  EXPECT_FALSE(withoutLibrary.isAvailable());
  EXPECT_THROW(withoutLibrary.makeAnalyzer({newTranscriber(withoutLibrary)}, {}), SpeechEngineError);
}

TEST_F(PocketSphinxLibraryTest, PrepareRejectsEveryFormatButItsOwn) {
  PocketSphinxEngine engine(sharedLibrary());
  struct FormatCase {
    const char* name;
    AudioFormat format;
    const char* named;  // in the description
  };
  const FormatCase cases[] = {
      {"float samples", *AudioFormat::make(SampleType::float32, 16000, 1, false), "float32"},
      {"44.1 kHz", *AudioFormat::make(SampleType::int16, 44100, 1, false), "44100"},
      {"8 kHz", *AudioFormat::make(SampleType::int16, 8000, 1, false), "8000"},
      {"stereo", *AudioFormat::make(SampleType::int16, 16000, 2, false), "2 channels"},
      {"interleaved", *AudioFormat::make(SampleType::int16, 16000, 1, true), ", interleaved"},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto analyzer = engine.makeAnalyzer({newTranscriber(engine)}, {});
    try {
      analyzer->prepareToAnalyze(c.format);
      ADD_FAILURE() << "the format was taken";
    } catch (const SpeechEngineError& error) {
      EXPECT_NE(std::string(error.what()).find(c.named), std::string::npos) << error.what();
    }
  }
}

// ---- The model's files

TEST_F(PocketSphinxModelTest, TheInstalledModelIsInstalled) {
  PocketSphinxEngine engine(sharedLibrary());
  auto transcriber = newTranscriber(engine);
  EXPECT_EQ(engine.assetStatus({transcriber}), AssetStatus::installed);
  EXPECT_EQ(engine.assetStatus({}), AssetStatus::installed);
  auto analyzer = engine.makeAnalyzer({transcriber}, {});
  EXPECT_NO_THROW(analyzer->prepareToAnalyze(*engine.bestAvailableAudioFormat({transcriber})));
}

TEST_F(PocketSphinxModelTest, AnIncompleteModelIsSupportedButNotInstalled) {
  struct MissingCase {
    const char* name;
    std::vector<std::string> missing;
    std::string named;  // in the description
  };
  std::vector<MissingCase> cases = {{"an empty folder", modelFiles(), "en-us"}};
  for (const std::string& file : modelFiles()) cases.push_back({file.c_str(), {file}, file});
  for (const MissingCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    // The empty folder has nothing at all, not even the acoustic model folder.
    if (c.missing.size() != modelFiles().size()) makeModelFolder(folder.path(), {}, c.missing);
    PocketSphinxEngine engine(sharedLibrary(), folder.path().string());
    auto transcriber = newTranscriber(engine);
    EXPECT_EQ(engine.assetStatus({transcriber}), AssetStatus::supported);
    const std::optional<std::string> missing = findMissingModelFile(folder.path().string());
    ASSERT_TRUE(missing.has_value());
    EXPECT_NE(missing->find((folder.path() / c.named).string()), std::string::npos) << *missing;

    auto analyzer = engine.makeAnalyzer({transcriber}, {});
    try {
      analyzer->prepareToAnalyze(*engine.bestAvailableAudioFormat({transcriber}));
      ADD_FAILURE() << "an incomplete model was loaded";
    } catch (const SpeechEngineError& error) {
      EXPECT_NE(std::string(error.what()).find(*missing), std::string::npos) << error.what();
    }
  }
}

TEST_F(PocketSphinxModelTest, ADamagedModelFailsToLoadWithTheReason) {
  std::map<std::string, std::string> everyFile;
  for (const std::string& file : modelFiles()) everyFile[file] = kGarbage;
  struct DamageCase {
    const char* name;
    std::map<std::string, std::string> replaced;
    std::string named;  // the file the description names, if any
  };
  const DamageCase cases[] = {
      // Files the library would answer by ending the process; the engine
      // finds them damaged first.
      {"mdef", {{"en-us/mdef", kGarbage}}, "en-us/mdef"},
      {"means", {{"en-us/means", kGarbage}}, "en-us/means"},
      {"variances", {{"en-us/variances", kGarbage}}, "en-us/variances"},
      {"transition_matrices", {{"en-us/transition_matrices", kGarbage}}, "en-us/transition_matrices"},
      {"sendump", {{"en-us/sendump", kGarbage}}, "en-us/sendump"},
      {"every file", everyFile, "en-us/mdef"},
      // Damage past the first bytes, which the library answers by ending
      // the process: its fatal error arrives as an exception instead.
      {"a text mdef of garbage", {{"en-us/mdef", std::string("0.3\n") + kGarbage}}, ""},
      {"truncated transition matrices",
       {{"en-us/transition_matrices", installedPrefix("en-us/transition_matrices", 100)}},
       ""},
      // Damage the library reports.
      {"means with a broken header", {{"en-us/means", std::string("s3\n") + kGarbage}}, ""},
      // The library refuses these itself.
      {"feat.params", {{"en-us/feat.params", kGarbage}}, ""},
      {"language model", {{"en-us.lm.bin", kGarbage}}, ""},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    makeModelFolder(folder.path(), c.replaced);
    PocketSphinxEngine engine(sharedLibrary(), folder.path().string());
    auto transcriber = newTranscriber(engine);
    // Every file is there: the damage shows only on loading.
    EXPECT_EQ(engine.assetStatus({transcriber}), AssetStatus::installed);
    auto analyzer = engine.makeAnalyzer({transcriber}, {});
    try {
      analyzer->prepareToAnalyze(*engine.bestAvailableAudioFormat({transcriber}));
      ADD_FAILURE() << "a damaged model was loaded";
    } catch (const SpeechEngineError& error) {
      const std::string what = error.what();
      EXPECT_NE(what.find("could not load the speech model from " + folder.path().string() + ": "), std::string::npos)
          << what;
      if (!c.named.empty()) {
        EXPECT_NE(what.find((folder.path() / c.named).string()), std::string::npos) << what;
      }
    }
  }
}

// ---- The analysis protocol

TEST_F(PocketSphinxModelTest, AFailedPrepareStillEndsTheResults) {
  TempFolder folder;
  PocketSphinxEngine engine(sharedLibrary(), folder.path().string());
  auto transcriber = newTranscriber(engine);
  auto analyzer = engine.makeAnalyzer({transcriber}, {});
  EXPECT_THROW(analyzer->prepareToAnalyze(*engine.bestAvailableAudioFormat({transcriber})), SpeechEngineError);
  auto stream = std::make_shared<AnalyzerInputStream>();
  stream->finish();
  // Whether or not the pipeline still starts the analysis.
  std::thread finalizer([&] { analyzer->finalizeAndFinishThroughEndOfInput(); });
  EXPECT_EQ(transcriber->results().next(), std::nullopt);
  finalizer.join();
  EXPECT_THROW(analyzer->start(stream), SpeechEngineError);
}

TEST_F(PocketSphinxModelTest, FailingAnalysisThrowsAndStillEndsTheResults) {
  PocketSphinxEngine engine(sharedLibrary());
  // A buffer the analysis cannot take: float samples.
  std::shared_ptr<PcmBuffer> floats = PcmBuffer::make(*AudioFormat::make(SampleType::float32, 16000, 1, false), 320);
  floats->setFrameLength(320);
  std::vector<AnalyzerInput> inputs = paddedClips({}).inputs();
  inputs.push_back(AnalyzerInput{floats, MediaTime::make(16000, 16000)});
  const Outcome outcome = analyse(engine, inputs);
  EXPECT_NE(outcome.startError.find("float32"), std::string::npos) << outcome.startError;
  EXPECT_EQ(outcome.finalizeError, "");
  EXPECT_TRUE(outcome.results.empty());
}

TEST_F(PocketSphinxModelTest, NothingReachesStandardOutputOrError) {
  TempFolder folder;
  // Models that make the library log errors, and a fatal one.
  makeModelFolder(folder.path() / "fatal", {{"en-us/mdef", std::string("0.3\n") + kGarbage}});
  makeModelFolder(folder.path() / "unloadable", {{"en-us.lm.bin", kGarbage}});
  const fs::path captured = folder.path() / "captured";
  std::vector<std::string> errors;
  {
    CapturedStandardStreams capture(captured);
    for (const char* model : {"fatal", "unloadable"}) {
      PocketSphinxEngine engine(sharedLibrary(), (folder.path() / model).string());
      auto transcriber = newTranscriber(engine);
      auto analyzer = engine.makeAnalyzer({transcriber}, {});
      try {
        analyzer->prepareToAnalyze(*engine.bestAvailableAudioFormat({transcriber}));
      } catch (const SpeechEngineError& error) {
        errors.push_back(error.what());
      }
    }
    // A whole session over a clip of noise-like audio and silence.
    Plan plan;
    plan.silence(0.5);
    Clip noise;
    noise.samples.resize(samples(1.5));
    uint32_t state = 12345;
    for (int16_t& sample : noise.samples) {
      state = state * 1103515245u + 12345u;
      sample = static_cast<int16_t>(static_cast<int32_t>(state >> 16) % 8000 - 4000);
    }
    plan.speech(noise);
    plan.silence(1.0);
    PocketSphinxEngine engine(sharedLibrary());
    const Outcome outcome = analyse(engine, plan.inputs());
    if (!outcome.startError.empty()) errors.push_back(outcome.startError);
  }
  std::ifstream file(captured);
  const std::string written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, "") << "the engine wrote to a standard stream";
  EXPECT_EQ(errors.size(), 2u) << "the two damaged models, and no failure of the session";
}

TEST_F(PocketSphinxSpeechTest, FinalizeCalledBeforeTheAnalysisStartsWaitsForIt) {
  const std::vector<AnalyzerInput> inputs = paddedClips({"0880"}).inputs();
  const std::vector<TranscriptionResult> expected = transcribe(engine_, inputs);
  ASSERT_FALSE(expected.empty());

  auto transcriber = newTranscriber(engine_);
  auto analyzer = engine_.makeAnalyzer({transcriber}, {});
  analyzer->prepareToAnalyze(*engine_.bestAvailableAudioFormat({transcriber}));
  auto stream = std::make_shared<AnalyzerInputStream>(inputs.size() + 1);
  for (const AnalyzerInput& input : inputs) stream->yield(input);
  stream->finish();

  std::latch finalizing(1);
  bool finishedWhenFinalizeReturned = false;
  std::size_t inputsLeftWhenFinalizeReturned = 0;
  std::thread finalizer([&] {
    finalizing.count_down();
    analyzer->finalizeAndFinishThroughEndOfInput();
    finishedWhenFinalizeReturned = dynamic_cast<ResultChannel&>(transcriber->results()).isFinished();
    inputsLeftWhenFinalizeReturned = stream->waitingCount();
  });
  finalizing.wait();
  std::string startError;
  std::thread analysis([&] {
    try {
      analyzer->start(stream);
    } catch (const std::exception& error) {
      startError = error.what();
    }
  });
  std::vector<TranscriptionResult> results;
  while (std::optional<TranscriptionResult> result = transcriber->results().next()) results.push_back(*result);
  finalizer.join();
  analysis.join();
  EXPECT_EQ(startError, "");
  EXPECT_TRUE(finishedWhenFinalizeReturned);
  EXPECT_EQ(inputsLeftWhenFinalizeReturned, 0u);
  EXPECT_EQ(keysOf(results), keysOf(expected)) << "finalize returned before the analysis was over";
}

// ---- Speech

TEST_F(PocketSphinxSpeechTest, TranscribesReadSpeechIntoRevisedThenFinalUtterances) {
  const Plan plan = paddedClips({"0870", "0880", "0890", "0920", "0930"});
  const std::vector<TranscriptionResult> results = transcribe(engine_, plan.inputs());
  const std::vector<Utterance> utterances = expectUtterancesWithinClips(results, plan);
  EXPECT_GT(results.size(), utterances.size()) << "no non-final results";
  // About 0.30 on these clips with this model and these settings.
  const double wer = wordErrorRate(plan.referenceWords(), finalWords(utterances));
  RecordProperty("word_error_rate", std::to_string(wer));
  EXPECT_LT(wer, 0.45);
}

TEST_F(PocketSphinxSpeechTest, RangesFollowTheStartTimesOfTheInputs) {
  // The same audio with its inputs stamped differently decodes the same;
  // only the ranges move with the timeline.
  const std::vector<std::string> ids = {"0880", "0930"};
  const std::vector<TranscriptionResult> baseline = transcribe(engine_, paddedClips(ids).inputs());
  const std::vector<Utterance> baseUtterances = expectUtterancesWithinClips(baseline, paddedClips(ids));
  ASSERT_GE(baseUtterances.size(), 2u);
  const int64_t firstClipEnd = paddedClips(ids).spans()[0].end;

  struct JumpCase {
    const char* name;
    int64_t at;  // decoder sample, on a whole input
    int64_t by;
    int32_t timescale;
  };
  const int64_t insideFirst = (paddedClips(ids).spans()[0].start + samples(1.5)) / kInputSamples * kInputSamples;
  const int64_t betweenClips = (firstClipEnd + samples(0.7)) / kInputSamples * kInputSamples;
  const JumpCase cases[] = {
      {"inputs dropped between the clips", betweenClips, samples(10.0), 16000},
      {"inputs dropped inside the first utterance, start times at 48 kHz", insideFirst, samples(3.0), 48000},
  };
  for (const JumpCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<AnalyzerInput> inputs = paddedClips(ids).inputs(c.timescale);
    for (AnalyzerInput& input : inputs) {
      const int64_t decoderSample = input.bufferStartTime.value * kRate / c.timescale;
      if (decoderSample >= c.at) input.bufferStartTime.value += c.by * c.timescale / kRate;
    }
    const std::vector<TranscriptionResult> results = transcribe(engine_, inputs);
    ASSERT_EQ(results.size(), baseline.size());
    bool movedStart = false;
    bool movedEndOnly = false;
    for (std::size_t i = 0; i < results.size(); ++i) {
      SCOPED_TRACE(describe(baseline[i]));
      EXPECT_EQ(results[i].text, baseline[i].text);
      EXPECT_EQ(results[i].isFinal, baseline[i].isFinal);
      EXPECT_EQ(results[i].range.start.timescale, kRate);
      const int64_t start = startOf(baseline[i]) + (startOf(baseline[i]) >= c.at ? c.by : 0);
      const int64_t end = endOf(baseline[i]) + (endOf(baseline[i]) > c.at ? c.by : 0);
      EXPECT_EQ(startOf(results[i]), start);
      EXPECT_EQ(endOf(results[i]), end);
      movedStart = movedStart || startOf(baseline[i]) >= c.at;
      movedEndOnly = movedEndOnly || (startOf(baseline[i]) < c.at && endOf(baseline[i]) > c.at);
    }
    if (c.at == insideFirst) {
      EXPECT_TRUE(movedEndOnly) << "no result spans the jump";
    }
    if (c.at == betweenClips) {
      EXPECT_TRUE(movedStart) << "no utterance after the jump";
    }
  }
}

TEST_F(PocketSphinxSpeechTest, UnbrokenSpeechIsCutIntoUtterancesOfAboutTwentySeconds) {
  // Clips without their quiet ends, back to back: about half a minute of
  // speech without a pause long enough to end an utterance.
  std::vector<Clip> speech;
  for (const char* id : {"0890", "0930", "0880", "0870", "0920", "0890"}) speech.push_back(withoutQuietEnds(clip(id)));
  Plan plan;
  plan.silence(0.5);
  for (const Clip& part : speech) plan.speech(part);
  plan.silence(1.0);

  const std::vector<TranscriptionResult> results = transcribe(engine_, plan.inputs());
  for (const TranscriptionResult& result : results) expectWellFormed(result);
  const std::vector<Utterance> utterances = utterancesOf(results);
  ASSERT_GE(utterances.size(), 2u);
  auto duration = [](const Utterance& utterance) { return utterance.back().range.duration.value; };
  // The first one ran on until it was cut, not to a pause.
  EXPECT_GT(duration(utterances.front()), samples(19.0));
  for (std::size_t i = 0; i < utterances.size(); ++i) {
    SCOPED_TRACE(describe(utterances[i].back()));
    EXPECT_LE(duration(utterances[i]), samples(22.5));
    if (i > 0) {
      EXPECT_GE(startOf(utterances[i].back()), endOf(utterances[i - 1].back())) << "utterances overlap";
    }
  }
  // The words go on across the cut.
  EXPECT_LT(wordErrorRate(plan.referenceWords(), finalWords(utterances)), 0.5);
}

TEST_F(PocketSphinxSpeechTest, AnalyzersOnTwoThreadsDecodeIndependently) {
  const std::vector<AnalyzerInput> first = paddedClips({"0880"}).inputs();
  const std::vector<AnalyzerInput> second = paddedClips({"0930"}).inputs();
  const std::vector<TranscriptionResult> firstAlone = transcribe(engine_, first);
  const std::vector<TranscriptionResult> secondAlone = transcribe(engine_, second);
  ASSERT_FALSE(firstAlone.empty());
  ASSERT_FALSE(secondAlone.empty());
  ASSERT_NE(keysOf(firstAlone), keysOf(secondAlone));

  // Both load their model, then both decode at once.
  std::latch prepared(2);
  Outcome firstTogether;
  Outcome secondTogether;
  std::thread other([&] { secondTogether = analyse(engine_, second, &prepared); });
  firstTogether = analyse(engine_, first, &prepared);
  other.join();
  EXPECT_EQ(firstTogether.startError, "");
  EXPECT_EQ(secondTogether.startError, "");
  EXPECT_EQ(keysOf(firstTogether.results), keysOf(firstAlone));
  EXPECT_EQ(keysOf(secondTogether.results), keysOf(secondAlone));
}

}  // namespace
}  // namespace veskar
