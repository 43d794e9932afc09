#include "protocol/input_decoder.h"

#include <gtest/gtest.h>

#include "protocol/utf8.h"

namespace veskar {
namespace {

InputEvent decodeLine(const std::string& line) {
  InputEventDecoder decoder;
  return decoder.decode(repairUtf8(line));
}

TEST(InputEventDecoder, AcceptedLines) {
  const struct {
    const char* name;
    std::string line;
    InputEvent expected;
  } cases[] = {
      {"finish alone", R"({"type":"finish"})", {"finish", {}, {}, {}, {}}},
      {"the worked example", R"({"type":"audio","source_id":1,"sequence":7,"captured_at_ms":125,"pcm_base64":"AAABAP//"})",
       {"audio", 1, 7, 125, "AAABAP//"}},
      {"members in any order, whitespace around", " \t{ \"pcm_base64\" : \"\" , \"type\" : \"audio\" ,\"source_id\":0 }\r ",
       {"audio", 0, {}, {}, ""}},
      {"null means absent", R"({"type":"audio","source_id":null,"sequence":null,"captured_at_ms":null,"pcm_base64":null})",
       {"audio", {}, {}, {}, {}}},
      {"undeclared keys ignored whatever they hold",
       R"({"type":"finish","Type":5,"extra":{"a":[1,2,{"b":null}]},"big":123456789012345678901234567890,"huge":1e400})",
       {"finish", {}, {}, {}, {}}},
      {"a key spelled with escapes", R"({"\u0074ype":"fin\u0069sh"})", {"finish", {}, {}, {}, {}}},
      {"sequence at its maximum", R"({"type":"audio","sequence":4294967295})", {"audio", {}, 4294967295u, {}, {}}},
      {"sequence at zero", R"({"type":"audio","sequence":0})", {"audio", {}, 0u, {}, {}}},
      {"int64 extremes", R"({"type":"x","source_id":-9223372036854775808,"captured_at_ms":9223372036854775807})",
       {"x", INT64_MIN, {}, INT64_MAX, {}}},
      {"integral numbers written otherwise", R"({"type":"x","source_id":1.0,"sequence":2e1,"captured_at_ms":-0})",
       {"x", 1, 20u, 0, {}}},
      {"any type string passes decoding", R"({"type":"AUDIO"})", {"AUDIO", {}, {}, {}, {}}},
      {"ill-formed UTF-8 inside an ignored member", "{\"type\":\"finish\",\"junk\":\"\xff\xfe\xc0\"}",
       {"finish", {}, {}, {}, {}}},
      {"escaped solidus in a value", R"({"type":"audio","pcm_base64":"AA\/A"})", {"audio", {}, {}, {}, "AA/A"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InputEvent event;
    ASSERT_NO_THROW(event = decodeLine(c.line));
    EXPECT_EQ(event.type, c.expected.type);
    EXPECT_EQ(event.source_id, c.expected.source_id);
    EXPECT_EQ(event.sequence, c.expected.sequence);
    EXPECT_EQ(event.captured_at_ms, c.expected.captured_at_ms);
    EXPECT_EQ(event.pcm_base64, c.expected.pcm_base64);
  }
}

TEST(InputEventDecoder, RejectedLinesSayWhy) {
  const struct {
    const char* name;
    std::string line;
    const char* messagePart;
  } cases[] = {
      {"empty line", "", "empty"},
      {"spaces only", "   ", "JSON"},
      {"broken JSON", R"({"type":"finish")", "JSON"},
      {"trailing garbage", R"({"type":"finish"} x)", "JSON"},
      {"two values", R"({"type":"finish"}{"type":"finish"})", "JSON"},
      {"an array", R"([{"type":"finish"}])", "object"},
      {"a string", R"("finish")", "object"},
      {"no type", R"({"source_id":0})", "type"},
      {"type only in other case", R"({"Type":"finish"})", "type"},
      {"type null", R"({"type":null})", "type"},
      {"type a number", R"({"type":1})", "type"},
      {"source_id a string", R"({"type":"audio","source_id":"0"})", "source_id"},
      {"source_id a fraction", R"({"type":"audio","source_id":0.5})", "source_id"},
      {"source_id past int64", R"({"type":"audio","source_id":9223372036854775808})", "source_id"},
      {"source_id far past int64", R"({"type":"audio","source_id":123456789012345678901234567890})", "source_id"},
      {"sequence negative", R"({"type":"audio","sequence":-1})", "sequence"},
      {"sequence past uint32", R"({"type":"audio","sequence":4294967296})", "sequence"},
      {"captured_at_ms a boolean", R"({"type":"audio","captured_at_ms":true})", "captured_at_ms"},
      {"pcm_base64 a number", R"({"type":"audio","pcm_base64":12})", "pcm_base64"},
      {"pcm_base64 an array", R"({"type":"audio","pcm_base64":["AA=="]})", "pcm_base64"},
      {"a lone surrogate escape", R"({"type":"fin\ud800ish"})", "JSON"},
      {"raw control character in a string", std::string("{\"type\":\"fi\x01nish\"}"), "JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      decodeLine(c.line);
      ADD_FAILURE() << "accepted";
    } catch (const InputDecodingError& error) {
      EXPECT_NE(std::string(error.what()).find(c.messagePart), std::string::npos) << error.what();
    }
  }
}

TEST(InputEventDecoder, OneDecoderServesManyLines) {
  InputEventDecoder decoder;
  EXPECT_THROW(decoder.decode("{"), InputDecodingError);
  EXPECT_EQ(decoder.decode(R"({"type":"audio","source_id":1})").source_id, 1);
  EXPECT_THROW(decoder.decode(R"({"type":"audio","source_id":"1"})"), InputDecodingError);
  const InputEvent event = decoder.decode(R"({"type":"finish"})");
  EXPECT_EQ(event.type, "finish");
  EXPECT_FALSE(event.source_id.has_value());
}

}  // namespace
}  // namespace veskar
