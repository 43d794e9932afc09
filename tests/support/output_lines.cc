#include "support/output_lines.h"

#include <gtest/gtest.h>
#include <simdjson.h>

namespace veskar::testing {

std::optional<OutputEvent> parseOutputLine(const std::string& line) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.parse(line).get(root) != simdjson::SUCCESS) return std::nullopt;
  simdjson::dom::object object;
  if (root.get(object) != simdjson::SUCCESS) return std::nullopt;
  std::string_view type;
  if (object["type"].get(type) != simdjson::SUCCESS) return std::nullopt;

  OutputEvent event{.type = std::string(type)};
  // Sets `field` when the member is there with the field's JSON type.
  auto read = [&]<typename Json, typename Field>(const char* key, std::optional<Field>& field) {
    Json value;
    if (object[key].get(value) == simdjson::SUCCESS) field = Field(value);
  };
  auto text = [&](const char* key, std::optional<std::string>& field) { read.operator()<std::string_view>(key, field); };
  auto integer = [&](const char* key, std::optional<int64_t>& field) { read.operator()<int64_t>(key, field); };
  auto boolean = [&](const char* key, std::optional<bool>& field) { read.operator()<bool>(key, field); };
  integer("source_id", event.source_id);
  text("speaker", event.speaker);
  text("utterance_id", event.utterance_id);
  integer("revision", event.revision);
  text("text", event.text);
  boolean("is_final", event.is_final);
  integer("start_ms", event.start_ms);
  integer("end_ms", event.end_ms);
  text("locale", event.locale);
  text("code", event.code);
  text("message", event.message);
  boolean("fatal", event.fatal);
  return event;
}

std::vector<OutputEvent> upsertsOf(const std::vector<std::string>& lines) {
  std::vector<OutputEvent> upserts;
  for (const std::string& line : lines) {
    const std::optional<OutputEvent> event = parseOutputLine(line);
    if (!event) {
      ADD_FAILURE() << "not an event: " << line;
      continue;
    }
    if (event->type == event_type::transcriptUpsert) upserts.push_back(*event);
  }
  return upserts;
}

}  // namespace veskar::testing
