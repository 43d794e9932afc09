#include "support/engine_session.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "transcription/input_stream.h"

namespace veskar::testing {

namespace {

std::string wordsJoined(const std::string& text) {
  std::string joined;
  for (const std::string& word : wordsOf(text)) joined += (joined.empty() ? "" : " ") + word;
  return joined;
}

}  // namespace


// Analyses `inputs` as one source: start() on an analysis thread,
// finalizeAndFinishThroughEndOfInput() on another once the stream is
// finished, results read here. `prepared`, if given, is counted down after
// the model is loaded and waited for before the analysis starts.
Outcome analyse(SpeechEngine& engine, const Locale& locale, const std::vector<AnalyzerInput>& inputs,
                std::latch* prepared) {
  auto transcriber = engine.makeTranscriber(locale, TranscriptionPreset::timeIndexedProgressiveTranscription);
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

std::vector<TranscriptionResult> transcribe(SpeechEngine& engine, const Locale& locale,
                                             const std::vector<AnalyzerInput>& inputs) {
  Outcome outcome = analyse(engine, locale, inputs);
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
  EXPECT_GT(result.range.start.timescale, 0);
  EXPECT_TRUE(result.range.duration.isNumeric());
  EXPECT_GT(result.range.duration.timescale, 0);
  EXPECT_GE(result.range.duration.value, 0);
  EXPECT_EQ(result.text, std::string(wordsJoined(result.text))) << "stray spaces in the text";
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

}  // namespace veskar::testing
