// Runs a speech engine as the pipeline does (start() on an analysis
// thread, finalisation on another, results read on the caller's), and the
// checks every engine's results must pass.
#ifndef VESKAR_TESTS_SUPPORT_ENGINE_SESSION_H_
#define VESKAR_TESTS_SUPPORT_ENGINE_SESSION_H_

#include <latch>
#include <string>
#include <vector>

#include "engine/speech_engine.h"
#include "support/speech_corpus.h"

namespace veskar::testing {

struct Outcome {
  std::vector<TranscriptionResult> results;
  std::string startError;  // what() of what start() threw
  std::string finalizeError;
};

// Analyses `inputs` as one source of `engine` in `locale`. `prepared`, if
// given, is counted down after the model is loaded and waited for before
// the analysis starts.
Outcome analyse(SpeechEngine& engine, const Locale& locale, const std::vector<AnalyzerInput>& inputs,
                std::latch* prepared = nullptr);
// The results of a session that must not fail.
std::vector<TranscriptionResult> transcribe(SpeechEngine& engine, const Locale& locale,
                                            const std::vector<AnalyzerInput>& inputs);

// Everything a result holds, exactly, for comparing sessions.
std::vector<std::string> keysOf(const std::vector<TranscriptionResult>& results);
int64_t startOf(const TranscriptionResult& result);
int64_t endOf(const TranscriptionResult& result);
std::string describe(const TranscriptionResult& result);

// The results of one utterance: the same start, non-finals, one final.
using Utterance = std::vector<TranscriptionResult>;
// Groups results into utterances; a test failure for an utterance that
// changes its start or never ends.
std::vector<Utterance> utterancesOf(const std::vector<TranscriptionResult>& results);

// The shape every result must have, whatever was said.
void expectWellFormed(const TranscriptionResult& result);
std::vector<std::string> finalWords(const std::vector<Utterance>& utterances);
// The checks of a session over clips of read speech: utterances revise
// and finish properly, and lie where the clips are on the timeline.
std::vector<Utterance> expectUtterancesWithinClips(const std::vector<TranscriptionResult>& results, const Plan& plan);

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_SUPPORT_ENGINE_SESSION_H_
