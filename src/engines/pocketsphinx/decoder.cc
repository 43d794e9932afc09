#include "engines/pocketsphinx/decoder.h"

#include <array>
#include <utility>

#include "engines/pocketsphinx/functions.h"
#include "engines/pocketsphinx/hypothesis_text.h"
#include "engines/pocketsphinx/model_files.h"

namespace veskar {
namespace {

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

// ": <what the library logged>" when it logged something.
std::string libraryDetail() {
  const std::string error = PocketSphinxLibrary::loggedErrors();
  return error.empty() ? std::string() : ": " + error;
}

}  // namespace

std::unique_ptr<PocketSphinxDecoder> PocketSphinxDecoder::load(std::shared_ptr<const PocketSphinxLibrary> library,
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

  std::unique_ptr<PocketSphinxDecoder> decoder(new PocketSphinxDecoder(std::move(library)));
  const PocketSphinxFunctions& f = decoder->functions();
  PocketSphinxLibrary::clearLoggedErrors();
  try {
    decoder->config_ =
        f.cmd_ln_parse_r(nullptr, f.ps_args(), static_cast<int32>(argv.size()), argv.data(), /*strict=*/1);
    if (decoder->config_ == nullptr) throw SpeechEngineError("PocketSphinx rejected its settings" + libraryDetail());
    decoder->decoder_ = f.ps_init(decoder->config_);
    if (decoder->decoder_ == nullptr) throw SpeechEngineError(failure + libraryDetail());
  } catch (const PocketSphinxFatalError& error) {
    // What the library had built of the decoder is lost; the configuration
    // is still ours to free.
    const std::string logged = PocketSphinxLibrary::loggedErrors();
    throw SpeechEngineError(failure + ": " + (logged.empty() ? "" : logged + "; ") + error.what());
  }
  return decoder;
}

PocketSphinxDecoder::PocketSphinxDecoder(std::shared_ptr<const PocketSphinxLibrary> library)
    : library_(std::move(library)) {}

PocketSphinxDecoder::~PocketSphinxDecoder() {
  if (abandoned_) return;
  try {
    if (decoder_ != nullptr) functions().ps_free(decoder_);
    if (config_ != nullptr) functions().cmd_ln_free_r(config_);
  } catch (const PocketSphinxFatalError&) {
    // Nothing more can be done for it.
  }
}

template <typename Call>
auto PocketSphinxDecoder::guarded(Call&& call) {
  try {
    return call();
  } catch (const PocketSphinxFatalError& error) {
    abandoned_ = true;
    throw SpeechEngineError(std::string("PocketSphinx failed while decoding: ") + error.what());
  }
}

void PocketSphinxDecoder::check(int status, const char* what) {
  if (status < 0) throw SpeechEngineError(std::string("PocketSphinx failed to ") + what + libraryDetail());
  PocketSphinxLibrary::clearLoggedErrors();
}

void PocketSphinxDecoder::startStream() {
  guarded([&] {
    PocketSphinxLibrary::clearLoggedErrors();
    check(functions().ps_start_stream(decoder_), "start the stream");
  });
}

void PocketSphinxDecoder::startUtterance() {
  guarded([&] { check(functions().ps_start_utt(decoder_), "start an utterance"); });
}

void PocketSphinxDecoder::process(std::span<const int16_t> samples) {
  guarded([&] {
    check(functions().ps_process_raw(decoder_, samples.data(), samples.size(), /*no_search=*/0, /*full_utt=*/0),
          "decode audio");
  });
}

bool PocketSphinxDecoder::inSpeech() {
  return guarded([&] { return functions().ps_get_in_speech(decoder_) != 0; });
}

std::string PocketSphinxDecoder::hypothesisText() {
  return guarded([&] {
    int32 score = 0;
    const char* hypothesis = functions().ps_get_hyp(decoder_, &score);
    return transcriptText(hypothesis != nullptr ? hypothesis : "");
  });
}

std::vector<DecodedSegment> PocketSphinxDecoder::segments() {
  return guarded([&] {
    const PocketSphinxFunctions& f = functions();
    std::vector<DecodedSegment> result;
    for (ps_seg_t* segment = f.ps_seg_iter(decoder_); segment != nullptr; segment = f.ps_seg_next(segment)) {
      DecodedSegment entry;
      f.ps_seg_frames(segment, &entry.startFrame, &entry.endFrame);
      const char* word = f.ps_seg_word(segment);
      entry.isFiller = isFillerWord(word != nullptr ? word : "");
      result.push_back(entry);
    }
    return result;
  });
}

void PocketSphinxDecoder::endUtterance() {
  guarded([&] { check(functions().ps_end_utt(decoder_), "end the utterance"); });
}

}  // namespace veskar
