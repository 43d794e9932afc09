#include "protocol/events.h"

#include <charconv>

#include "protocol/utf8.h"

namespace veskar {
namespace {

void appendEscaped(std::string_view raw, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the pending run of bytes written as they are
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const auto c = static_cast<unsigned char>(raw[i]);
    const char* escape = nullptr;
    switch (c) {
      case '"': escape = "\\\""; break;
      case '\\': escape = "\\\\"; break;
      case '/': escape = "\\/"; break;
      case '\b': escape = "\\b"; break;
      case '\f': escape = "\\f"; break;
      case '\n': escape = "\\n"; break;
      case '\r': escape = "\\r"; break;
      case '\t': escape = "\\t"; break;
      default:
        if (c >= 0x20) continue;
    }
    out.append(raw.substr(run, i - run));
    run = i + 1;
    if (escape != nullptr) {
      out.append(escape);
    } else {
      const char unicode[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(unicode, sizeof unicode);
    }
  }
  out.append(raw.substr(run));
  out.push_back('"');
}

void appendString(std::string_view value, std::string& out) {
  if (isValidUtf8(value)) {
    appendEscaped(value, out);
  } else {
    appendEscaped(repairUtf8(value), out);
  }
}

void appendInteger(int64_t value, std::string& out) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;  // 24 bytes always hold an int64_t
  out.append(digits, end);
}

class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_.push_back('{'); }
  ~ObjectWriter() { out_.push_back('}'); }

  void member(std::string_view key, std::string_view value) {
    key_(key);
    appendString(value, out_);
  }
  void member(std::string_view key, const std::optional<std::string>& value) {
    if (value) member(key, std::string_view(*value));
  }
  void member(std::string_view key, const std::optional<int64_t>& value) {
    if (!value) return;
    key_(key);
    appendInteger(*value, out_);
  }
  void member(std::string_view key, const std::optional<bool>& value) {
    if (!value) return;
    key_(key);
    out_.append(*value ? "true" : "false");
  }

 private:
  void key_(std::string_view key) {
    if (!first_) out_.push_back(',');
    first_ = false;
    appendEscaped(key, out_);
    out_.push_back(':');
  }

  std::string& out_;
  bool first_ = true;
};

}  // namespace

void encodeOutputEvent(const OutputEvent& event, std::string& out) {
  ObjectWriter object(out);
  object.member("type", std::string_view(event.type));
  object.member("source_id", event.source_id);
  object.member("speaker", event.speaker);
  object.member("utterance_id", event.utterance_id);
  object.member("revision", event.revision);
  object.member("text", event.text);
  object.member("is_final", event.is_final);
  object.member("start_ms", event.start_ms);
  object.member("end_ms", event.end_ms);
  object.member("locale", event.locale);
  object.member("code", event.code);
  object.member("message", event.message);
  object.member("fatal", event.fatal);
}

std::string encodeOutputEvent(const OutputEvent& event) {
  std::string out;
  encodeOutputEvent(event, out);
  return out;
}

OutputEvent errorEvent(std::string_view code, std::string message, bool fatal,
                       std::optional<SourceId> sourceID) {
  return OutputEvent{.type = std::string(event_type::streamError),
                     .source_id = sourceID,
                     .code = std::string(code),
                     .message = std::move(message),
                     .fatal = fatal};
}

}  // namespace veskar
