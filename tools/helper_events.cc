#include "helper_events.h"

#include <simdjson.h>

namespace veskar::tools {

struct HelperEventParser::Parser {
  simdjson::dom::parser json;
};

HelperEventParser::HelperEventParser() : parser_(std::make_unique<Parser>()) {}
HelperEventParser::~HelperEventParser() = default;

namespace {

void readString(const simdjson::dom::object& object, const char* key, std::string& out) {
  std::string_view value;
  if (object[key].get(value) == simdjson::SUCCESS) out = value;
}

void readInt(const simdjson::dom::object& object, const char* key, int64_t& out) {
  int64_t value;
  if (object[key].get(value) == simdjson::SUCCESS) out = value;
}

void readBool(const simdjson::dom::object& object, const char* key, bool& out) {
  bool value;
  if (object[key].get(value) == simdjson::SUCCESS) out = value;
}

}  // namespace

std::optional<HelperEvent> HelperEventParser::parse(std::string_view line) {
  simdjson::dom::element root;
  if (parser_->json.parse(line.data(), line.size()).get(root) != simdjson::SUCCESS) return std::nullopt;
  simdjson::dom::object object;
  if (root.get(object) != simdjson::SUCCESS) return std::nullopt;
  HelperEvent event;
  std::string_view type;
  if (object["type"].get(type) != simdjson::SUCCESS) return std::nullopt;
  event.type = type;
  int64_t source;
  if (object["source_id"].get(source) == simdjson::SUCCESS) event.sourceId = source;
  readString(object, "speaker", event.speaker);
  readString(object, "utterance_id", event.utteranceId);
  readInt(object, "revision", event.revision);
  readString(object, "text", event.text);
  readBool(object, "is_final", event.isFinal);
  readInt(object, "start_ms", event.startMs);
  readInt(object, "end_ms", event.endMs);
  readString(object, "locale", event.locale);
  readString(object, "code", event.code);
  readString(object, "message", event.message);
  readBool(object, "fatal", event.fatal);
  return event;
}

}  // namespace veskar::tools
