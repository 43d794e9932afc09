#include "transcription/pocketsphinx_engine.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "transcription/locale_match.h"
#include "transcription/pocketsphinx_functions.h"
#include "veskar_config.h"

namespace veskar {
namespace {

constexpr int kSampleRate = 16000;
// The decoder's frames: 100 a second, one every 160 samples, counted from
// the start of the stream.
constexpr int64_t kSamplesPerFrame = 160;
// Non-final results at most five times a second of audio. Audio time, not
// wall time: the same audio gives the same results however fast it comes.
constexpr int64_t kPartialInterval = kSampleRate / 5;
// Unbroken speech longer than this is cut before the next quiet frame...
constexpr int64_t kLongUtterance = 20 * kSampleRate;
// ...or at once when no quiet frame comes within this much more audio.
constexpr int64_t kQuietFrameSearch = 2 * kSampleRate;
// A quiet frame: mean energy under a tenth (-10 dB) of the utterance's mean.
constexpr double kQuietEnergyRatio = 0.1;
// Timeline kept before the speech that starts an utterance: the decoder's
// first frame lies up to 30 frames (pre-speech buffer and start-up) before
// the voice activity detector reports speech.
constexpr int64_t kTimelineMargin = kSampleRate;

// How much audio the decoder takes between two looks at its voice activity.
constexpr uint32_t kVoiceCheckSamples = 320;

// Decoder settings beyond the model files. -maxhmmpf 5000 (default 30000)
// caps the active HMMs per frame and -fwdflat no skips the second, flat
// lexicon pass, which otherwise runs when an utterance ends: about 0.1 of
// real time instead of 0.15, no loss of accuracy on read speech (3000 is
// cheaper still but loses words on short recordings, before the feature
// normalisation has adapted), and a few milliseconds of work at the end of
// an utterance instead of a few hundred. Narrower beams lose accuracy.
// The voice activity settings stay at their defaults: -vad_postspeech 50
// ends an utterance half a second into the pause after speech; 40 and 30
// are quicker but cut sentences at their inner pauses, which costs more
// words than the latency is worth, and the non-final results show the words
// meanwhile.
constexpr std::array<const char*, 4> kDecoderSettings = {"-maxhmmpf", "5000", "-fwdflat", "no"};

struct ModelPaths {
  std::filesystem::path acousticModel;
  std::filesystem::path languageModel;
  std::filesystem::path dictionary;
};

ModelPaths modelPaths(const std::string& directory) {
  const std::filesystem::path root(directory);
  return {root / "en-us", root / "en-us.lm.bin", root / "cmudict-en-us.dict"};
}

// The acoustic model files the decoder reads; mixture weights come from
// sendump or, in models without it, from mixture_weights.
constexpr std::array<const char*, 6> kAcousticModelFiles = {
    "mdef", "means", "variances", "transition_matrices", "feat.params", "noisedict"};

// The first bytes of a regular file, or nullopt when it cannot be read or
// is empty.
std::optional<std::string> readPrefix(const std::filesystem::path& path, std::size_t count) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string prefix(count, '\0');
  file.read(prefix.data(), static_cast<std::streamsize>(count));
  prefix.resize(static_cast<std::size_t>(file.gcount()));
  if (prefix.empty()) return std::nullopt;
  return prefix;
}

bool isReadableFile(const std::filesystem::path& path) { return readPrefix(path, 1).has_value(); }

std::filesystem::path mixtureWeightsFile(const std::filesystem::path& acousticModel) {
  const std::filesystem::path sendump = acousticModel / "sendump";
  return isReadableFile(sendump) ? sendump : acousticModel / "mixture_weights";
}

// The library stops the process on some malformed model files (see
// PocketSphinxFatalError) and names no file when it does; these checks of
// the files' first bytes catch the usual damage first and say which file.
std::optional<std::string> findDamagedModelFile(const std::string& directory) {
  const ModelPaths paths = modelPaths(directory);
  auto damaged = [](const std::filesystem::path& path) { return path.string() + " is not a PocketSphinx model file"; };
  const std::filesystem::path mdef = paths.acousticModel / "mdef";
  const std::string mdefStart = readPrefix(mdef, 4).value_or("");
  // Binary model definitions start with "BMDF" in either byte order; text
  // ones with their format version.
  if (mdefStart != "BMDF" && mdefStart != "FDMB" && mdefStart.rfind("0.3", 0) != 0) return damaged(mdef);
  // Means, variances, transition matrices and mixture weights are "s3"
  // files: a text header, then binary data.
  std::vector<std::filesystem::path> s3Files = {paths.acousticModel / "means", paths.acousticModel / "variances",
                                                paths.acousticModel / "transition_matrices"};
  const std::filesystem::path mixtureWeights = mixtureWeightsFile(paths.acousticModel);
  if (mixtureWeights.filename() == "sendump") {
    // A length-prefixed "BEGIN FILE FORMAT DESCRIPTION" header.
    const std::string start = readPrefix(mixtureWeights, 34).value_or("");
    if (start.size() < 34 || start.compare(4, 29, "BEGIN FILE FORMAT DESCRIPTION") != 0) {
      return damaged(mixtureWeights);
    }
  } else {
    s3Files.push_back(mixtureWeights);
  }
  for (const std::filesystem::path& path : s3Files) {
    if (readPrefix(path, 3).value_or("") != "s3\n") return damaged(path);
  }
  return std::nullopt;
}

std::string describe(const AudioFormat& format) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g", format.sampleRate);
  std::string text = format.sampleType == SampleType::int16 ? "int16" : "float32";
  text += ' ';
  text += rate;
  text += " Hz, ";
  text += std::to_string(format.channelCount);
  text += format.channelCount == 1 ? " channel" : " channels";
  text += format.interleaved ? ", interleaved" : ", non-interleaved";
  return text;
}

AudioFormat decoderFormat() { return *AudioFormat::make(SampleType::int16, kSampleRate, 1, false); }

// ": <what the library logged>" when it logged something.
std::string libraryDetail() {
  const std::string error = PocketSphinxLibrary::loggedErrors();
  return error.empty() ? std::string() : ": " + error;
}

// One decoder with its own configuration: everything one source needs,
// shared with nothing.
class Decoder {
 public:
  static std::unique_ptr<Decoder> load(std::shared_ptr<const PocketSphinxLibrary> library,
                                       const std::string& modelDirectory) {
    const std::string failure = "PocketSphinx could not load the speech model from " + modelDirectory;
    if (std::optional<std::string> missing = findMissingModelFile(modelDirectory)) {
      throw SpeechEngineError(failure + ": " + *missing);
    }
    if (std::optional<std::string> damaged = findDamagedModelFile(modelDirectory)) {
      throw SpeechEngineError(failure + ": " + *damaged);
    }
    const ModelPaths paths = modelPaths(modelDirectory);
    std::vector<std::string> arguments = {"-hmm",  paths.acousticModel.string(), "-lm", paths.languageModel.string(),
                                          "-dict", paths.dictionary.string()};
    arguments.insert(arguments.end(), kDecoderSettings.begin(), kDecoderSettings.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());

    std::unique_ptr<Decoder> decoder(new Decoder(std::move(library)));
    const PocketSphinxFunctions& f = decoder->functions();
    PocketSphinxLibrary::clearLoggedErrors();
    try {
      decoder->config_ =
          f.cmd_ln_parse_r(nullptr, f.ps_args(), static_cast<int32>(argv.size()), argv.data(), /*strict=*/1);
      if (decoder->config_ == nullptr) throw SpeechEngineError("PocketSphinx rejected its settings" + libraryDetail());
      decoder->decoder_ = f.ps_init(decoder->config_);
      if (decoder->decoder_ == nullptr) throw SpeechEngineError(failure + libraryDetail());
    } catch (const PocketSphinxFatalError& error) {
      // What the library had built of the decoder is lost; the
      // configuration is still ours to free.
      const std::string logged = PocketSphinxLibrary::loggedErrors();
      throw SpeechEngineError(failure + ": " + (logged.empty() ? "" : logged + "; ") + error.what());
    }
    return decoder;
  }

  ~Decoder() {
    if (abandoned_) return;
    try {
      if (decoder_ != nullptr) functions().ps_free(decoder_);
      if (config_ != nullptr) functions().cmd_ln_free_r(config_);
    } catch (const PocketSphinxFatalError&) {
      // Nothing more can be done for it.
    }
  }

  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  const PocketSphinxFunctions& functions() const { return library_->functions(); }
  ps_decoder_t* get() const { return decoder_; }
  // After a PocketSphinxFatalError its state is unknown: never touched again.
  void abandon() { abandoned_ = true; }

 private:
  explicit Decoder(std::shared_ptr<const PocketSphinxLibrary> library) : library_(std::move(library)) {}

  std::shared_ptr<const PocketSphinxLibrary> library_;
  cmd_ln_t* config_ = nullptr;
  ps_decoder_t* decoder_ = nullptr;
  bool abandoned_ = false;
};

// Where the current best path lies, in decoder frames.
struct Segmentation {
  bool any = false;
  int firstFrame = 0;  // start of the first segment, filler included
  int lastFrame = 0;   // end (inclusive) of the last segment
  bool anyWord = false;
  int lastWordFrame = 0;  // end (inclusive) of the last word
};

bool isFiller(std::string_view word) {
  return word.empty() || word.front() == '<' || word.front() == '[' || word.front() == '+';
}

// One session of a decoder over one input sequence: utterances, their
// results and the timeline. Runs on the analysis thread only.
class Session {
 public:
  using Deliver = std::function<void(const TranscriptionResult&)>;

  Session(Decoder& decoder, Deliver deliver)
      : f_(decoder.functions()), ps_(decoder.get()), deliver_(std::move(deliver)) {}

  void run(InputSequence& inputs) {
    PocketSphinxLibrary::clearLoggedErrors();
    check(f_.ps_start_stream(ps_), "start the stream");
    openUtterance();
    while (std::optional<AnalyzerInput> input = inputs.next()) {
      if (!input->buffer) throw SpeechEngineError("PocketSphinx was given an input without audio");
      const PcmBuffer& buffer = *input->buffer;
      const int16_t* samples = buffer.int16ChannelData(0);
      if (samples == nullptr || buffer.format().sampleRate != kSampleRate || buffer.format().channelCount != 1) {
        throw SpeechEngineError("PocketSphinx was given audio in another format than 16 kHz mono int16: " +
                                describe(buffer.format()));
      }
      const uint32_t count = buffer.frameLength();
      if (count == 0) continue;
      timeline_.append(input->bufferStartTime, count);
      feed(samples, count);
      timeline_.forgetBefore(speaking_ ? speechBegan_ - kTimelineMargin : processed_ - kTimelineMargin);
    }
    check(f_.ps_end_utt(ps_), "end the utterance");
    if (speaking_) deliverFinal();
  }

 private:
  // Errors the library logged belong to the call that failed, not to one
  // before it.
  void check(int status, const char* what) {
    if (status < 0) throw SpeechEngineError(std::string("PocketSphinx failed to ") + what + libraryDetail());
    PocketSphinxLibrary::clearLoggedErrors();
  }

  void feed(const int16_t* samples, uint32_t count) {
    uint32_t offset = 0;
    while (offset < count) {
      const int64_t spoken = processed_ - speechBegan_;
      if (speaking_ && spoken >= kLongUtterance) {
        // Past the limit: a frame at a time, cutting before the first quiet
        // one (or at once when none has come).
        const uint32_t n = std::min<uint32_t>(kSamplesPerFrame, count - offset);
        if (spoken >= kLongUtterance + kQuietFrameSearch || isQuiet(samples + offset, n)) {
          endUtterance();
        }
        process(samples + offset, n);
        offset += n;
      } else {
        // At most kVoiceCheckSamples at a time, so that the end of speech is
        // seen within 20 ms of the audio that shows it, whatever the size of
        // the host's chunks.
        uint32_t n = std::min<uint32_t>(count - offset, kVoiceCheckSamples);
        // Stop at the limit so that the search for a quiet frame starts there.
        if (speaking_) n = static_cast<uint32_t>(std::min<int64_t>(n, kLongUtterance - spoken));
        process(samples + offset, n);
        offset += n;
      }
    }
  }

  bool isQuiet(const int16_t* samples, uint32_t count) const {
    if (energySamples_ == 0) return false;
    const double meanEnergy = energySum_ / static_cast<double>(energySamples_);
    return energy(samples, count) / count < kQuietEnergyRatio * meanEnergy;
  }

  static double energy(const int16_t* samples, uint32_t count) {
    double sum = 0;
    for (uint32_t i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return sum;
  }

  void process(const int16_t* samples, uint32_t count) {
    check(f_.ps_process_raw(ps_, samples, count, /*no_search=*/0, /*full_utt=*/0), "decode audio");
    processed_ += count;
    const bool inSpeech = f_.ps_get_in_speech(ps_) != 0;
    if (!speaking_ && inSpeech) {
      beginSpeech();
    } else if (speaking_ && !inSpeech) {
      endUtterance();
      return;
    }
    if (speaking_) {
      energySum_ += energy(samples, count);
      energySamples_ += count;
      deliverPartialIfDue();
    }
  }

  void openUtterance() {
    check(f_.ps_start_utt(ps_), "start an utterance");
    openedAt_ = processed_;
  }

  void beginSpeech() {
    speaking_ = true;
    speechBegan_ = processed_;
    lastPartialAt_ = processed_;
    energySum_ = 0;
    energySamples_ = 0;
    lastText_.clear();
    delivered_ = false;
    start_.reset();
    shift_ = 0;
    lastEnd_ = 0;
  }

  // Ends the decoder's utterance; its result is final. Opens the next one:
  // the decoder takes audio only inside an utterance, and its voice activity
  // detector starts the next speech from there.
  void endUtterance() {
    check(f_.ps_end_utt(ps_), "end the utterance");
    if (speaking_) deliverFinal();
    speaking_ = false;
    openUtterance();
  }

  void deliverPartialIfDue() {
    if (processed_ - lastPartialAt_ < kPartialInterval) return;
    lastPartialAt_ = processed_;
    int32 score = 0;
    const char* hypothesis = f_.ps_get_hyp(ps_, &score);
    std::string text = transcriptText(hypothesis != nullptr ? hypothesis : "");
    if (text.empty() || text == lastText_) return;
    const Segmentation segments = segmentation();
    if (!segments.any) return;
    deliver(std::move(text), segments.firstFrame, segments.lastFrame, false);
  }

  void deliverFinal() {
    int32 score = 0;
    const char* hypothesis = f_.ps_get_hyp(ps_, &score);
    std::string text = transcriptText(hypothesis != nullptr ? hypothesis : "");
    // An utterance that never said anything is no utterance; one that did
    // gets its final result even when the words went away.
    if (text.empty() && !delivered_) return;
    const Segmentation segments = segmentation();
    const int first = segments.any ? segments.firstFrame : 0;
    const int last = segments.anyWord ? segments.lastWordFrame : segments.lastFrame;
    deliver(std::move(text), first, segments.any ? last : -1, true);
  }

  Segmentation segmentation() const {
    Segmentation result;
    for (ps_seg_t* segment = f_.ps_seg_iter(ps_); segment != nullptr; segment = f_.ps_seg_next(segment)) {
      int startFrame = 0;
      int endFrame = 0;
      f_.ps_seg_frames(segment, &startFrame, &endFrame);
      const char* word = f_.ps_seg_word(segment);
      if (!result.any) result.firstFrame = startFrame;
      result.any = true;
      result.lastFrame = endFrame;
      if (!isFiller(word != nullptr ? word : "")) {
        result.anyWord = true;
        result.lastWordFrame = endFrame;
      }
    }
    return result;
  }

  // `lastFrame` < 0: no segmentation; the range ends where it last did.
  void deliver(std::string text, int firstFrame, int lastFrame, bool isFinal) {
    if (!start_) {
      // Every result of the utterance starts here, so that it stays one
      // utterance to the host however the words before it are revised.
      int64_t start = firstFrame * kSamplesPerFrame;
      // The decoder dates the first frame as if its pre-speech buffer were
      // full; right after an utterance began it is not, and the frames come
      // out too early by what is missing.
      shift_ = std::max<int64_t>(0, openedAt_ - start);
      start_ = start + shift_;
      lastEnd_ = *start_;
    }
    int64_t end = lastFrame < 0 ? lastEnd_ : (lastFrame + 1) * kSamplesPerFrame + shift_;
    end = std::clamp(end, *start_, std::max(*start_, processed_));
    lastEnd_ = end;

    const int64_t timelineStart = timeline_.timelinePosition(*start_);
    const int64_t timelineEnd = std::max(timelineStart, timeline_.timelineEnd(end));
    TranscriptionResult result;
    result.text = std::move(text);
    result.range.start = MediaTime::make(timelineStart, DecoderTimeline::kTimescale);
    result.range.duration = MediaTime::make(timelineEnd - timelineStart, DecoderTimeline::kTimescale);
    result.isFinal = isFinal;
    lastText_ = result.text;
    delivered_ = true;
    deliver_(result);
  }

  const PocketSphinxFunctions& f_;
  ps_decoder_t* ps_;
  Deliver deliver_;
  DecoderTimeline timeline_;

  int64_t processed_ = 0;    // decoder samples fed so far
  int64_t openedAt_ = 0;     // where the decoder's current utterance began
  bool speaking_ = false;    // inside speech: results are being made
  int64_t speechBegan_ = 0;  // where the detector reported it
  int64_t lastPartialAt_ = 0;
  double energySum_ = 0;
  int64_t energySamples_ = 0;
  std::string lastText_;
  bool delivered_ = false;
  std::optional<int64_t> start_;  // decoder sample where the results start
  int64_t shift_ = 0;
  int64_t lastEnd_ = 0;
};

class PocketSphinxTranscriber final : public SpeechTranscriber {
 public:
  ResultSequence& results() override { return channel_; }
  ResultChannel& channel() { return channel_; }
  // True for the first analyzer to ask; a transcriber serves one source.
  bool claim() { return !claimed_.exchange(true); }
  void release() { claimed_ = false; }

 private:
  ResultChannel channel_;
  std::atomic<bool> claimed_{false};
};

class PocketSphinxAnalyzer final : public SpeechAnalyzer {
 public:
  PocketSphinxAnalyzer(std::shared_ptr<const PocketSphinxLibrary> library, std::string modelDirectory,
                       std::vector<std::shared_ptr<PocketSphinxTranscriber>> transcribers)
      : library_(std::move(library)),
        modelDirectory_(std::move(modelDirectory)),
        transcribers_(std::move(transcribers)) {}

  void prepareToAnalyze(const AudioFormat& format) override {
    {
      std::lock_guard lock(mutex_);
      if (phase_ == Phase::running || phase_ == Phase::over) {
        throw SpeechEngineError("PocketSphinx cannot prepare an analysis that has begun");
      }
    }
    try {
      if (format != decoderFormat()) {
        throw SpeechEngineError("PocketSphinx decodes " + describe(decoderFormat()) + " audio, not " +
                                describe(format));
      }
      std::unique_ptr<Decoder> decoder = Decoder::load(library_, modelDirectory_);
      std::lock_guard lock(mutex_);
      decoder_ = std::move(decoder);
      phase_ = Phase::prepared;
    } catch (...) {
      {
        std::lock_guard lock(mutex_);
        if (phase_ == Phase::created) phase_ = Phase::prepareFailed;
      }
      phaseChanged_.notify_all();
      throw;
    }
    phaseChanged_.notify_all();
  }

  void start(std::shared_ptr<InputSequence> inputSequence) override {
    // Ends the analysis when start() returns or throws, after the decoder
    // is freed: finalisation waits for it.
    struct MarkOver {
      PocketSphinxAnalyzer& analyzer;
      ~MarkOver() {
        {
          std::lock_guard lock(analyzer.mutex_);
          analyzer.phase_ = Phase::over;
        }
        analyzer.phaseChanged_.notify_all();
      }
    };
    std::unique_ptr<Decoder> prepared;
    {
      std::lock_guard lock(mutex_);
      if (phase_ == Phase::running || phase_ == Phase::over) {
        throw SpeechEngineError("PocketSphinx analysis was started twice");
      }
      if (phase_ != Phase::prepared) {
        phase_ = Phase::over;
        phaseChanged_.notify_all();
        throw SpeechEngineError("PocketSphinx analysis was started without a loaded speech model");
      }
      phase_ = Phase::running;
      prepared = std::move(decoder_);
    }
    MarkOver markOver{*this};
    std::unique_ptr<Decoder> decoder = std::move(prepared);
    if (!inputSequence) throw SpeechEngineError("PocketSphinx analysis was started without input");
    try {
      Session session(*decoder, [this](const TranscriptionResult& result) {
        for (const auto& transcriber : transcribers_) transcriber->channel().yield(result);
      });
      session.run(*inputSequence);
    } catch (const PocketSphinxFatalError& error) {
      decoder->abandon();
      throw SpeechEngineError(std::string("PocketSphinx failed while decoding: ") + error.what());
    }
    decoder.reset();
    finishResults();
  }

  void finalizeAndFinishThroughEndOfInput() override {
    {
      std::unique_lock lock(mutex_);
      phaseChanged_.wait(lock, [&] { return phase_ == Phase::over || phase_ == Phase::prepareFailed; });
    }
    finishResults();
  }

 private:
  enum class Phase { created, prepared, prepareFailed, running, over };

  void finishResults() {
    for (const auto& transcriber : transcribers_) transcriber->channel().finish();
  }

  const std::shared_ptr<const PocketSphinxLibrary> library_;
  const std::string modelDirectory_;
  const std::vector<std::shared_ptr<PocketSphinxTranscriber>> transcribers_;

  std::mutex mutex_;
  std::condition_variable phaseChanged_;
  // Guarded by mutex_.
  Phase phase_ = Phase::created;
  std::unique_ptr<Decoder> decoder_;
};

}  // namespace

std::string PocketSphinxEngine::defaultModelDirectory() { return std::string(config::kModelDirectory); }

Locale PocketSphinxEngine::servedLocale() { return Locale{"en_US"}; }

PocketSphinxEngine::PocketSphinxEngine(std::shared_ptr<const PocketSphinxLibrary> library, std::string modelDirectory)
    : library_(std::move(library)), modelDirectory_(std::move(modelDirectory)) {}

bool PocketSphinxEngine::isAvailable() { return library_ != nullptr; }

std::optional<Locale> PocketSphinxEngine::supportedLocale(const Locale& locale) {
  if (!localesAreEquivalent(locale.identifier, servedLocale().identifier)) return std::nullopt;
  return servedLocale();
}

std::shared_ptr<SpeechTranscriber> PocketSphinxEngine::makeTranscriber(const Locale& locale, TranscriptionPreset) {
  if (!supportedLocale(locale)) {
    throw SpeechEngineError("PocketSphinx has no speech model for the locale \"" + locale.identifier + "\"");
  }
  return std::make_shared<PocketSphinxTranscriber>();
}

AssetStatus PocketSphinxEngine::assetStatus(const Modules& modules) {
  for (const auto& module : modules) {
    if (!std::dynamic_pointer_cast<PocketSphinxTranscriber>(module)) return AssetStatus::unsupported;
  }
  return findMissingModelFile(modelDirectory_) ? AssetStatus::supported : AssetStatus::installed;
}

std::unique_ptr<AssetInstallationRequest> PocketSphinxEngine::assetInstallationRequest(const Modules&) {
  return nullptr;
}

bool PocketSphinxEngine::reserve(const Locale&) { return true; }

std::optional<AudioFormat> PocketSphinxEngine::bestAvailableAudioFormat(const Modules&) { return decoderFormat(); }

std::shared_ptr<SpeechAnalyzer> PocketSphinxEngine::makeAnalyzer(const Modules& modules, const SpeechAnalyzerOptions&) {
  if (!library_) throw SpeechEngineError("PocketSphinx is not available");
  if (modules.empty()) throw SpeechEngineError("PocketSphinx was asked for an analyzer without a transcriber");
  std::vector<std::shared_ptr<PocketSphinxTranscriber>> transcribers;
  for (const auto& module : modules) {
    auto transcriber = std::dynamic_pointer_cast<PocketSphinxTranscriber>(module);
    if (!transcriber) throw SpeechEngineError("PocketSphinx cannot drive a transcriber of another engine");
    transcribers.push_back(std::move(transcriber));
  }
  for (std::size_t i = 0; i < transcribers.size(); ++i) {
    if (!transcribers[i]->claim()) {
      for (std::size_t j = 0; j < i; ++j) transcribers[j]->release();
      throw SpeechEngineError("PocketSphinx transcriber already belongs to an analyzer");
    }
  }
  return std::make_shared<PocketSphinxAnalyzer>(library_, modelDirectory_, std::move(transcribers));
}

std::optional<std::string> findMissingModelFile(const std::string& directory) {
  const ModelPaths paths = modelPaths(directory);
  std::error_code error;
  if (!std::filesystem::is_directory(paths.acousticModel, error)) {
    return "the acoustic model folder " + paths.acousticModel.string() + " is missing";
  }
  auto missing = [](const std::filesystem::path& path) { return path.string() + " is missing or unreadable"; };
  for (const char* name : kAcousticModelFiles) {
    const std::filesystem::path path = paths.acousticModel / name;
    if (!isReadableFile(path)) return missing(path);
  }
  const std::filesystem::path mixtureWeights = mixtureWeightsFile(paths.acousticModel);
  if (!isReadableFile(mixtureWeights)) return missing(paths.acousticModel / "sendump");
  if (!isReadableFile(paths.languageModel)) return missing(paths.languageModel);
  if (!isReadableFile(paths.dictionary)) return missing(paths.dictionary);
  return std::nullopt;
}

std::string transcriptText(std::string_view hypothesis) {
  std::string text;
  std::size_t position = 0;
  while (position < hypothesis.size()) {
    const std::size_t start = hypothesis.find_first_not_of(" \t\r\n", position);
    if (start == std::string_view::npos) break;
    std::size_t end = hypothesis.find_first_of(" \t\r\n", start);
    if (end == std::string_view::npos) end = hypothesis.size();
    std::string_view word = hypothesis.substr(start, end - start);
    position = end;
    // word(2): the second pronunciation of word.
    if (word.size() > 2 && word.back() == ')') {
      const std::size_t open = word.rfind('(');
      if (open != std::string_view::npos && open > 0 && open + 2 < word.size() &&
          word.substr(open + 1, word.size() - open - 2).find_first_not_of("0123456789") == std::string_view::npos) {
        word = word.substr(0, open);
      }
    }
    if (isFiller(word)) continue;
    if (!text.empty()) text += ' ';
    text += word;
  }
  return text;
}

void DecoderTimeline::append(const MediaTime& start, uint32_t length) {
  if (length == 0) return;
  int64_t timelineStart = 0;
  if (start.isNumeric() && start.timescale > 0) {
    // value / timescale seconds in samples, rounded, without overflowing
    // for any realistic value.
    int64_t seconds = start.value / start.timescale;
    int64_t remainder = start.value % start.timescale;
    if (remainder < 0) {
      remainder += start.timescale;
      --seconds;
    }
    timelineStart = seconds * kTimescale + (remainder * kTimescale + start.timescale / 2) / start.timescale;
  } else if (!spans_.empty()) {
    timelineStart = spans_.back().timelineStart + spans_.back().length;
  }
  spans_.push_back(Span{fed_, timelineStart, length});
  fed_ += length;
}

const DecoderTimeline::Span* DecoderTimeline::spanContaining(int64_t sample) const {
  if (spans_.empty()) return nullptr;
  auto after = std::upper_bound(spans_.begin(), spans_.end(), sample,
                                [](int64_t value, const Span& span) { return value < span.decoderStart; });
  return after == spans_.begin() ? &spans_.front() : &*std::prev(after);
}

int64_t DecoderTimeline::timelinePosition(int64_t sample) const {
  const Span* span = spanContaining(sample);
  if (span == nullptr) return sample;
  const int64_t offset = std::clamp<int64_t>(sample - span->decoderStart, 0, span->length);
  return span->timelineStart + offset;
}

int64_t DecoderTimeline::timelineEnd(int64_t end) const {
  if (spans_.empty()) return end;
  end = std::min(end, fed_);
  if (end <= spans_.front().decoderStart) return spans_.front().timelineStart;
  return timelinePosition(end - 1) + 1;
}

void DecoderTimeline::forgetBefore(int64_t sample) {
  while (spans_.size() > 1 && spans_.front().decoderStart + spans_.front().length <= sample) spans_.pop_front();
}

}  // namespace veskar
