// The helper's output lines, as the tool reads them: written by the helper's
// own encoder, and as the README shows them.
#include "helper_events.h"

#include <gtest/gtest.h>

#include "protocol/events.h"

namespace veskar::tools {
namespace {

TEST(HelperEvents, ReadsAnUpsertAsTheHelperEncodesIt) {
  const std::string line = encodeOutputEvent(OutputEvent{.type = "transcript.upsert",
                                                         .source_id = 1,
                                                         .speaker = "meeting",
                                                         .utterance_id = "native-1-520",
                                                         .revision = 3,
                                                         .text = "we meet \"on\" monday / caf\xC3\xA9",
                                                         .is_final = true,
                                                         .start_ms = 520,
                                                         .end_ms = 1710});
  HelperEventParser parser;
  const std::optional<HelperEvent> event = parser.parse(line);
  ASSERT_TRUE(event.has_value()) << line;
  EXPECT_EQ(event->type, kTranscriptUpsert);
  EXPECT_EQ(event->sourceId, 1);
  EXPECT_EQ(event->speaker, "meeting");
  EXPECT_EQ(event->utteranceId, "native-1-520");
  EXPECT_EQ(event->revision, 3);
  EXPECT_EQ(event->text, "we meet \"on\" monday / caf\xC3\xA9");
  EXPECT_TRUE(event->isFinal);
  EXPECT_EQ(event->startMs, 520);
  EXPECT_EQ(event->endMs, 1710);
}

TEST(HelperEvents, ReadsErrorsWithAndWithoutASource) {
  HelperEventParser parser;
  const std::optional<HelperEvent> global =
      parser.parse(encodeOutputEvent(errorEvent(event_code::nativeUnavailable, "no model", true)));
  ASSERT_TRUE(global.has_value());
  EXPECT_EQ(global->type, kStreamError);
  EXPECT_EQ(global->code, "native_unavailable");
  EXPECT_EQ(global->message, "no model");
  EXPECT_TRUE(global->fatal);
  EXPECT_FALSE(global->sourceId.has_value());

  const std::optional<HelperEvent> source =
      parser.parse(encodeOutputEvent(errorEvent(event_code::analysisFailed, "broken", true, 0)));
  ASSERT_TRUE(source.has_value());
  EXPECT_EQ(source->sourceId, 0);
  EXPECT_EQ(source->code, "analysis_failed");
}

TEST(HelperEvents, ReadsTheReadmeSession) {
  HelperEventParser parser;
  const std::optional<HelperEvent> ready = parser.parse(R"({"type":"stream.ready","locale":"en_US"})");
  ASSERT_TRUE(ready.has_value());
  EXPECT_EQ(ready->type, kStreamReady);
  EXPECT_EQ(ready->locale, "en_US");
  const std::optional<HelperEvent> partial = parser.parse(
      R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-520","revision":1,"text":"we meet","is_final":false,"start_ms":520,"end_ms":980})");
  ASSERT_TRUE(partial.has_value());
  EXPECT_FALSE(partial->isFinal);
  EXPECT_EQ(partial->endMs, 980);
  const std::optional<HelperEvent> finished = parser.parse(R"({"type":"stream.finished"})");
  ASSERT_TRUE(finished.has_value());
  EXPECT_EQ(finished->type, kStreamFinished);
  EXPECT_FALSE(finished->sourceId.has_value());
}

TEST(HelperEvents, MembersOfTheWrongTypeCountAsAbsent) {
  HelperEventParser parser;
  const std::optional<HelperEvent> event =
      parser.parse(R"({"type":"transcript.upsert","source_id":"0","end_ms":"12","is_final":1,"text":7})");
  ASSERT_TRUE(event.has_value());
  EXPECT_FALSE(event->sourceId.has_value());
  EXPECT_EQ(event->endMs, 0);
  EXPECT_FALSE(event->isFinal);
  EXPECT_EQ(event->text, "");
}

TEST(HelperEvents, LinesThatAreNotEventsAreRefused) {
  HelperEventParser parser;
  for (const char* line : {"", "not json", "[1,2]", R"({"type":3})", R"({"code":"x"})", R"({"type":"stream.ready")",
                           "null"}) {
    EXPECT_FALSE(parser.parse(line).has_value()) << line;
  }
  // The parser keeps working after a refusal.
  EXPECT_TRUE(parser.parse(R"({"type":"stream.finished"})").has_value());
}

}  // namespace
}  // namespace veskar::tools
