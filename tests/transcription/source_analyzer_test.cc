#include "transcription/source_analyzer.h"

#include <gtest/gtest.h>

#include "support/captured_pipe.h"
#include "support/helper_error_matchers.h"
#include "support/scripted_engine.h"
#include "support/wire.h"

namespace veskar {
namespace {

using testing::CapturedPipe;
using testing::Gate;
using testing::RecordedInput;
using testing::ScriptedEngine;

class SourceAnalyzerTest : public ::testing::Test {
 protected:
  SourceAnalyzerTest()
      : sink_(pipe_.writeFd(), OutputSink::OnClosed::discard), writer_(std::make_shared<EventWriter>(sink_)) {}

  std::shared_ptr<SourceAnalyzer> make(SourceId id = 0) {
    return SourceAnalyzer::make(id, Locale{"en_US"}, writer_, engine_);
  }
  std::vector<RecordedInput> inputs(std::size_t analyzer = 0) { return engine_.analyzers().at(analyzer)->inputs(); }
  // Every line written; only after every analyzer has finished.
  std::vector<std::string> lines() { return testing::splitLines(pipe_.finish()); }

  ScriptedEngine engine_;
  CapturedPipe pipe_;
  OutputSink sink_;
  std::shared_ptr<EventWriter> writer_;
};

TEST_F(SourceAnalyzerTest, SpeakerFollowsTheSourceId) {
  const std::pair<SourceId, const char*> cases[] = {{0, "user"}, {1, "meeting"}, {7, "meeting"}, {-3, "meeting"}};
  for (const auto& [id, speaker] : cases) {
    auto analyzer = make(id);
    EXPECT_EQ(analyzer->speaker(), speaker);
    analyzer->finish();
  }
  for (const auto& analyzer : engine_.analyzers()) {
    EXPECT_EQ(analyzer->preparedFormat(), AudioFormat::make(SampleType::int16, 16000.0, 1, false));
  }
}

TEST_F(SourceAnalyzerTest, CreationFailures) {
  {
    SCOPED_TRACE("no proposed format");
    ScriptedEngine engine;
    engine.script().proposedFormat = std::nullopt;
    EXPECT_HELPER_ERROR(SourceAnalyzer::make(0, Locale{"en_US"}, writer_, engine), audioFormat);
  }
  {
    SCOPED_TRACE("no converter for the proposed format");
    ScriptedEngine engine;
    engine.script().proposedFormat = AudioFormat{SampleType::float32, 48000.0, 0, false};
    EXPECT_HELPER_ERROR(SourceAnalyzer::make(0, Locale{"en_US"}, writer_, engine), audioFormat);
  }
  {
    SCOPED_TRACE("prepare throws: the engine's error, no task, no event");
    ScriptedEngine engine;
    engine.script().prepareThrows = true;
    try {
      SourceAnalyzer::make(0, Locale{"en_US"}, writer_, engine);
      ADD_FAILURE();
    } catch (const SpeechEngineError& e) {
      EXPECT_STREQ(e.what(), "scripted prepare failure");
    }
    EXPECT_TRUE(engine.analyzers().at(0)->inputs().empty());
  }
  EXPECT_EQ(lines(), std::vector<std::string>{});
}

TEST_F(SourceAnalyzerTest, ChunkChecksAndTheTimeline) {
  auto analyzer = make();
  EXPECT_HELPER_ERROR(analyzer->append(""), invalidPCM);
  EXPECT_HELPER_ERROR(analyzer->append("\x01"), invalidPCM);
  EXPECT_HELPER_ERROR(analyzer->append("\x01\x02\x03"), invalidPCM);
  EXPECT_EQ(analyzer->sampleOffset(), 0);
  analyzer->append(std::string("\x34\x12\xff\xff", 4));  // 0x1234 and -1
  analyzer->append(testing::tone(320));
  analyzer->append(std::string("\x00\x80", 2));  // one frame: -32768
  EXPECT_EQ(analyzer->sampleOffset(), 323);
  analyzer->finish();
  const auto recorded = inputs();
  ASSERT_EQ(recorded.size(), 3u);
  EXPECT_EQ(recorded[0].start, MediaTime::make(0, 16000)) << "the first input starts at 0";
  EXPECT_EQ(recorded[0].int16Samples, (std::vector<int16_t>{0x1234, -1}));
  EXPECT_EQ(recorded[1].start, MediaTime::make(2, 16000));
  EXPECT_EQ(recorded[1].frames, 320u);
  EXPECT_EQ(recorded[1].capacity, 336u) << "ceil(1.0 * 320) + 16";
  EXPECT_EQ(recorded[2].start, MediaTime::make(322, 16000));
  EXPECT_EQ(recorded[2].int16Samples, std::vector<int16_t>{-32768});
  EXPECT_EQ(lines(), std::vector<std::string>{}) << "the analyzer itself sends nothing";
}

TEST_F(SourceAnalyzerTest, AConverterThatHoldsFramesBackKeepsStartTimesAbutting) {
  engine_.script().proposedFormat = AudioFormat::make(SampleType::float32, 48000.0, 2, false);
  auto analyzer = make();
  analyzer->append(std::string(2, '\0'));  // one frame: may give nothing yet
  for (int i = 0; i < 20; ++i) analyzer->append(testing::tone(320));
  analyzer->finish();
  const auto recorded = inputs();
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(recorded[0].start, MediaTime::make(0, 48000));
  int64_t next = 0;
  for (const auto& input : recorded) {
    EXPECT_EQ(input.start, MediaTime::make(next, 48000));
    EXPECT_GT(input.frames, 0u) << "empty conversions are not queued";
    EXPECT_LE(input.capacity, 3u * 320u + 16u);
    next += input.frames;
  }
  EXPECT_EQ(next, analyzer->sampleOffset());
  EXPECT_LE(next, 3 * (20 * 320 + 1));
}

TEST_F(SourceAnalyzerTest, AFullQueueDropsTheOldestAndLeavesAGapOnTheTimeline) {
  auto gate = std::make_shared<Gate>();
  engine_.script().holdAnalysis = gate;
  auto analyzer = make();
  for (int i = 0; i < 510; ++i) analyzer->append(testing::tone(160));
  gate->open();
  analyzer->finish();
  const auto recorded = inputs();
  ASSERT_EQ(recorded.size(), 500u);
  EXPECT_EQ(recorded.front().start, MediaTime::make(10 * 160, 16000)) << "the ten oldest were dropped";
  EXPECT_EQ(recorded.back().start, MediaTime::make(509 * 160, 16000));
  EXPECT_EQ(lines(), std::vector<std::string>{}) << "dropping is silent";
}

TEST_F(SourceAnalyzerTest, FinishWithoutAudioEndsBothTasks) {
  auto analyzer = make();
  analyzer->finish();
  EXPECT_TRUE(engine_.analyzers().at(0)->finalized());
  EXPECT_EQ(lines(), std::vector<std::string>{});
}

TEST_F(SourceAnalyzerTest, AFailedAnalysisIsOneFatalEventAndAudioIsStillAccepted) {
  engine_.script().analysisFailsAfterInputs = 1;
  auto analyzer = make(1);
  analyzer->append(testing::tone(320));
  for (int i = 0; i < 5; ++i) EXPECT_NO_THROW(analyzer->append(testing::tone(320)));
  analyzer->finish();
  EXPECT_EQ(lines(), std::vector<std::string>{
                         R"({"type":"stream.error","source_id":1,"code":"analysis_failed","message":"scripted analysis failure","fatal":true})"});
}

TEST_F(SourceAnalyzerTest, AFailedResultsSequenceIsOneFatalEventAfterTheResultsBeforeIt) {
  engine_.script().resultsFailAfterResults = 1;
  engine_.script().resultsForInput = [](const AnalyzerInput& input, int index) {
    return std::vector<TranscriptionResult>{{"r" + std::to_string(index),
                                             MediaTimeRange{input.bufferStartTime, MediaTime::make(1, 100)}, true}};
  };
  auto analyzer = make(0);
  for (int i = 0; i < 3; ++i) analyzer->append(testing::tone(320));
  analyzer->finish();
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-0","revision":1,"text":"r0","is_final":true,"start_ms":0,"end_ms":10})",
                         R"({"type":"stream.error","source_id":0,"code":"results_failed","message":"scripted results failure","fatal":true})"}));
}

TEST_F(SourceAnalyzerTest, AFailedFinalisationIsNotReportedAndFinishStillWaits) {
  engine_.script().finalizeThrows = true;
  engine_.script().resultsAtEnd = [](const std::vector<RecordedInput>&) {
    return std::vector<TranscriptionResult>{{"last words", MediaTimeRange{MediaTime::make(0, 1), MediaTime::make(1, 1)}, true}};
  };
  auto analyzer = make(0);
  analyzer->append(testing::tone(320));
  analyzer->finish();
  const auto out = lines();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NE(out[0].find("\"text\":\"last words\""), std::string::npos);
}

// Result reporting: each row is one result the engine delivers, in order, and
// the line it must produce (or none).
TEST_F(SourceAnalyzerTest, ResultsBecomeUpserts) {
  auto range = [](int64_t startValue, int32_t scale, int64_t durationValue) {
    return MediaTimeRange{MediaTime::make(startValue, scale), MediaTime::make(durationValue, scale)};
  };
  const struct {
    const char* name;
    TranscriptionResult result;
    std::string line;  // empty: nothing sent
  } rows[] = {
      {"first result", {"Hello", range(123, 1000, 377), false},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-123","revision":1,"text":"Hello","is_final":false,"start_ms":123,"end_ms":500})"},
      {"same start, final", {"Hello there", range(123, 1000, 400), true},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-123","revision":2,"text":"Hello there","is_final":true,"start_ms":123,"end_ms":523})"},
      {"same start after final", {"Hello there!", range(1968, 16000, 6400), true},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-123","revision":3,"text":"Hello there!","is_final":true,"start_ms":123,"end_ms":523})"},
      {"whitespace everywhere", {" \t a\n\n b\r\n  c \t", range(1, 2, 1), false},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-500","revision":1,"text":"a b c","is_final":false,"start_ms":500,"end_ms":1000})"},
      {"whitespace only: nothing, but a revision used", {" \n\t ", range(1, 2, 1), false}, ""},
      {"next one with that id", {"d", range(1, 2, 1), false},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-500","revision":3,"text":"d","is_final":false,"start_ms":500,"end_ms":1000})"},
      {"invalid start counts as 0", {"x", {MediaTime::invalid(), MediaTime::make(1, 1)}, false},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-0","revision":1,"text":"x","is_final":false,"start_ms":0,"end_ms":0})"},
      {"negative start clamps, end kept", {"y", range(-4, 1000, 504), false},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-0","revision":2,"text":"y","is_final":false,"start_ms":0,"end_ms":500})"},
      {"negative start and end", {"z", range(-4, 1000, 2), false},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-0","revision":3,"text":"z","is_final":false,"start_ms":0,"end_ms":-2})"},
      {"end before start", {"w", range(700, 1000, -100), true},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-700","revision":1,"text":"w","is_final":true,"start_ms":700,"end_ms":700})"},
      {"half milliseconds round away from zero", {"v", range(5, 2000, 2), false},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-3","revision":1,"text":"v","is_final":false,"start_ms":3,"end_ms":4})"},
      {"text with a solidus and non-ASCII", {"10/11 Grüße", range(3, 2, 1), false},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-1500","revision":1,"text":"10\/11 Grüße","is_final":false,"start_ms":1500,"end_ms":2000})"},
  };
  std::vector<TranscriptionResult> results;
  std::vector<std::string> expected;
  for (const auto& row : rows) {
    results.push_back(row.result);
    if (!row.line.empty()) expected.push_back(row.line);
  }
  engine_.script().resultsAtEnd = [results](const std::vector<RecordedInput>&) { return results; };
  auto analyzer = make(0);
  analyzer->finish();
  const auto out = lines();
  ASSERT_EQ(out.size(), expected.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(out[i], expected[i]);
  }
}

TEST_F(SourceAnalyzerTest, MeetingSourceIdsAndSpeakers) {
  engine_.script().resultsAtEnd = [](const std::vector<RecordedInput>&) {
    return std::vector<TranscriptionResult>{{"hi", MediaTimeRange{MediaTime::make(1, 4), MediaTime::make(1, 4)}, true}};
  };
  auto analyzer = make(1);
  analyzer->finish();
  EXPECT_EQ(lines(), std::vector<std::string>{
                         R"({"type":"transcript.upsert","source_id":1,"speaker":"meeting","utterance_id":"native-1-250","revision":1,"text":"hi","is_final":true,"start_ms":250,"end_ms":500})"});
}

}  // namespace
}  // namespace veskar
