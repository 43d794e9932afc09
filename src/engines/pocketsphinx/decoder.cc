#include "engines/pocketsphinx/decoder.h"

#include <algorithm>
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

// The first utterance is decoded again once it has this much speech with
// words. Measured on the LibriVox clips as the first utterance of a stream
// (mean word error rate of the five clips, after 3 s of pink noise at
// -40 dBFS in brackets): the generic mean 29.3 % (54.1 %), decoded again
// 31.0 % (51.3 %), the engine's own tool 40.1 % (51.3 %); in a smaller
// experiment outside the helper, 1 s gave fewer errors than 2 s, and
// decoding it again only after it ended did about as well but made its
// final late by the decoding time.
constexpr int64_t kSpeechBeforeRedecoding = StreamingDecoder::kSampleRate;
// Audio kept from before the detector heard speech, so that the decoder
// hears the same start of speech again.
constexpr std::size_t kLeadIn = 2 * StreamingDecoder::kSampleRate;
constexpr std::size_t kRedecodeBlock = 320;

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

// The live cepstral mean normalisation of the decoder's features (see the
// header).
struct PocketSphinxDecoder::Normalisation {
  // The estimate when the open utterance began, to go back to.
  std::vector<mfcc_t> mean;
  std::vector<mfcc_t> sum;
  int32 frames = 0;
  // An utterance was decoded again on its own mean, and was speech:
  // nothing more to do.
  bool settled = false;
  // The open utterance is the one decoded again.
  bool settledHere = false;
  // Until settled: the open utterance's audio, from kLeadIn before its
  // speech, and how much of it is speech.
  std::vector<int16_t> kept;
  int64_t speechSamples = 0;
  // Frames the decoder counted twice, for audio it was given again.
  int frameOffset = 0;
};

PocketSphinxDecoder::PocketSphinxDecoder(std::shared_ptr<const PocketSphinxLibrary> library)
    : library_(std::move(library)), normalisation_(std::make_unique<Normalisation>()) {}

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
  guarded([&] {
    Normalisation& n = *normalisation_;
    n.settledHere = false;
    n.kept.clear();
    n.speechSamples = 0;
    const cmn_t* cmn = functions().ps_get_feat(decoder_)->cmn_struct;
    n.mean.assign(cmn->cmn_mean, cmn->cmn_mean + cmn->veclen);
    n.sum.assign(cmn->sum, cmn->sum + cmn->veclen);
    n.frames = cmn->nframe;
    check(functions().ps_start_utt(decoder_), "start an utterance");
  });
}

void PocketSphinxDecoder::process(std::span<const int16_t> samples) {
  guarded([&] {
    check(functions().ps_process_raw(decoder_, samples.data(), samples.size(), /*no_search=*/0, /*full_utt=*/0),
          "decode audio");
    Normalisation& n = *normalisation_;
    if (n.settled) return;
    n.kept.insert(n.kept.end(), samples.begin(), samples.end());
    if (n.speechSamples == 0 && functions().ps_get_in_speech(decoder_) == 0) {
      if (n.kept.size() > kLeadIn) n.kept.erase(n.kept.begin(), n.kept.end() - static_cast<std::ptrdiff_t>(kLeadIn));
      return;
    }
    n.speechSamples += static_cast<int64_t>(samples.size());
    if (n.speechSamples >= kSpeechBeforeRedecoding && !hypothesisText().empty()) redecodeWithOwnNormalisation();
  });
}

void PocketSphinxDecoder::redecodeWithOwnNormalisation() {
  const PocketSphinxFunctions& f = functions();
  Normalisation& n = *normalisation_;
  check(f.ps_end_utt(decoder_), "end the utterance");
  // The mean of this utterance's own frames: what the estimate gained since
  // it began. When the library has since scaled its sums down (it does past
  // a few hundred frames), the running mean instead, mostly this speech.
  cmn_t* cmn = f.ps_get_feat(decoder_)->cmn_struct;
  const int32 own = cmn->nframe - n.frames;
  if (own > 0) {
    for (int32 i = 0; i < cmn->veclen; ++i) cmn->cmn_mean[i] = (cmn->sum[i] - n.sum[i]) / static_cast<mfcc_t>(own);
  } else {
    f.cmn_live_update(cmn);
  }
  check(f.ps_start_utt(decoder_), "start an utterance");
  // Whole frames only, so that the frames counted twice are exact.
  const std::size_t whole = n.kept.size() - n.kept.size() % StreamingDecoder::kSamplesPerFrame;
  const int16_t* audio = n.kept.data() + (n.kept.size() - whole);
  for (std::size_t offset = 0; offset < whole; offset += kRedecodeBlock) {
    const std::size_t count = std::min(kRedecodeBlock, whole - offset);
    check(f.ps_process_raw(decoder_, audio + offset, count, /*no_search=*/0, /*full_utt=*/0), "decode audio");
  }
  n.frameOffset += static_cast<int>(whole / StreamingDecoder::kSamplesPerFrame);
  n.settled = true;
  n.settledHere = true;
  n.kept.clear();
  n.kept.shrink_to_fit();
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
    const int offset = normalisation_->frameOffset;
    std::vector<DecodedSegment> result;
    for (ps_seg_t* segment = f.ps_seg_iter(decoder_); segment != nullptr; segment = f.ps_seg_next(segment)) {
      DecodedSegment entry;
      f.ps_seg_frames(segment, &entry.startFrame, &entry.endFrame);
      entry.startFrame = std::max(0, entry.startFrame - offset);
      entry.endFrame = std::max(0, entry.endFrame - offset);
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

void PocketSphinxDecoder::forgetUtterance() {
  guarded([&] {
    Normalisation& n = *normalisation_;
    cmn_t* cmn = functions().ps_get_feat(decoder_)->cmn_struct;
    std::copy(n.mean.begin(), n.mean.end(), cmn->cmn_mean);
    std::copy(n.sum.begin(), n.sum.end(), cmn->sum);
    cmn->nframe = n.frames;
    // Decoded again on its own mean, it settled on noise: the next speech
    // is decoded again instead.
    if (n.settledHere) n.settled = false;
    n.settledHere = false;
  });
}

}  // namespace veskar
