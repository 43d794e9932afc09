#include <gtest/gtest.h>

#include "protocol/events.h"

namespace veskar {
namespace {

TEST(OutputEventEncoding, ByteExactCases) {
  const struct {
    const char* name;
    OutputEvent event;
    const char* json;
  } cases[] = {
      {"only type", OutputEvent{.type = "stream.finished"}, R"({"type":"stream.finished"})"},
      {"ready", OutputEvent{.type = "stream.ready", .locale = "en_US"}, R"({"type":"stream.ready","locale":"en_US"})"},
      {"fatal false is written",
       errorEvent("invalid_input", "Invalid PCM audio", false),
       R"({"type":"stream.error","code":"invalid_input","message":"Invalid PCM audio","fatal":false})"},
      {"error with source",
       errorEvent("analysis_failed", "boom", true, 1),
       R"({"type":"stream.error","source_id":1,"code":"analysis_failed","message":"boom","fatal":true})"},
      {"upsert in declaration order",
       OutputEvent{.type = "transcript.upsert",
                   .source_id = 0,
                   .speaker = "user",
                   .utterance_id = "native-0-520",
                   .revision = 2,
                   .text = "we meet on 10/11",
                   .is_final = false,
                   .start_ms = 520,
                   .end_ms = 980},
       R"({"type":"transcript.upsert","source_id":0,"speaker":"user","utterance_id":"native-0-520","revision":2,"text":"we meet on 10\/11","is_final":false,"start_ms":520,"end_ms":980})"},
      {"negative and extreme integers",
       OutputEvent{.type = "t", .source_id = INT64_MIN, .end_ms = -2},
       R"({"type":"t","source_id":-9223372036854775808,"end_ms":-2})"},
      {"non-ASCII stays UTF-8", OutputEvent{.type = "t", .text = "Grüße, 東京 🎤"},
       "{\"type\":\"t\",\"text\":\"Grüße, 東京 🎤\"}"},
      {"quote and reverse solidus", OutputEvent{.type = "t", .text = "say \"hi\" \\ bye"},
       R"({"type":"t","text":"say \"hi\" \\ bye"})"},
      {"control characters", OutputEvent{.type = "t", .text = std::string("a\nb\rc\td\be\ff\x01g\x1fh\x7f", 16)},
       "{\"type\":\"t\",\"text\":\"a\\nb\\rc\\td\\be\\ff\\u0001g\\u001fh\x7f\"}"},
      {"NUL", OutputEvent{.type = "t", .text = std::string("a\0b", 3)}, R"({"type":"t","text":"a\u0000b"})"},
      {"ill-formed UTF-8 becomes U+FFFD", OutputEvent{.type = "t", .message = "x\xff" "y"},
       "{\"type\":\"t\",\"message\":\"x\xEF\xBF\xBDy\"}"},
      {"empty string is not absent", OutputEvent{.type = "t", .text = ""}, R"({"type":"t","text":""})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encodeOutputEvent(c.event), c.json);
  }
}

TEST(OutputEventEncoding, NeverContainsALineFeed) {
  const OutputEvent event{.type = "t", .text = "line\nbreak\r\n", .message = "\n"};
  EXPECT_EQ(encodeOutputEvent(event).find('\n'), std::string::npos);
}

}  // namespace
}  // namespace veskar
