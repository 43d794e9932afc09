// A PocketSphinx decoder with its own configuration, behind the
// StreamingDecoder interface: everything one source needs, shared with
// nothing. The only place, with the library loader, that calls ps_*.
//
// It also keeps the decoder's cepstral mean normalisation on speech. The
// live estimate starts from the model's generic values and is updated from
// each utterance's own frames when it ends, so by itself the first speech
// of a stream is decoded with a mean that never saw this speaker or
// channel, and a burst of noise the detector took for speech pulls the
// mean towards noise. Here, the first utterance is decoded again, from a
// little before its speech, once it has a second of speech with words, with
// the mean of its own frames (a few hundred milliseconds of decoding, once
// per stream); and an utterance the policy calls non-speech leaves the
// estimate as it was before it.
#ifndef VESKAR_ENGINES_POCKETSPHINX_DECODER_H_
#define VESKAR_ENGINES_POCKETSPHINX_DECODER_H_

#include <memory>
#include <string>
#include <vector>

#include "engine/streaming_decoder.h"
#include "engines/pocketsphinx/library.h"

// The library's own types, opaque here (see functions.h).
struct cmd_ln_s;
struct ps_decoder_s;

namespace veskar {

class PocketSphinxDecoder final : public StreamingDecoder {
 public:
  // Loads the model in `modelDirectory` (see ModelPaths). Throws
  // SpeechEngineError naming the missing or damaged file, or with what the
  // library said.
  static std::unique_ptr<PocketSphinxDecoder> load(std::shared_ptr<const PocketSphinxLibrary> library,
                                                   const std::string& modelDirectory);

  ~PocketSphinxDecoder() override;
  PocketSphinxDecoder(const PocketSphinxDecoder&) = delete;
  PocketSphinxDecoder& operator=(const PocketSphinxDecoder&) = delete;

  // Each throws SpeechEngineError; after a fatal error of the library
  // ("PocketSphinx failed while decoding: ...") the decoder is abandoned.
  void startStream() override;
  void startUtterance() override;
  void process(std::span<const int16_t> samples) override;
  bool inSpeech() override;
  std::string hypothesisText() override;
  std::vector<DecodedSegment> segments() override;
  void endUtterance() override;
  void forgetUtterance() override;

 private:
  explicit PocketSphinxDecoder(std::shared_ptr<const PocketSphinxLibrary> library);

  const PocketSphinxFunctions& functions() const { return library_->functions(); }
  // Throws when a call returned a failure status; errors the library logged
  // belong to the call that failed, not to one before it.
  void check(int status, const char* what);
  // Runs `call`, turning the library's fatal error into a SpeechEngineError
  // and abandoning the decoder, whose state is then unknown.
  template <typename Call>
  auto guarded(Call&& call);

  // Ends the open utterance and decodes its kept audio again with the
  // normalisation its own frames give.
  void redecodeWithOwnNormalisation();

  struct Normalisation;

  std::shared_ptr<const PocketSphinxLibrary> library_;
  std::unique_ptr<Normalisation> normalisation_;
  ::cmd_ln_s* config_ = nullptr;
  ::ps_decoder_s* decoder_ = nullptr;
  bool abandoned_ = false;
};

}  // namespace veskar

#endif  // VESKAR_ENGINES_POCKETSPHINX_DECODER_H_
