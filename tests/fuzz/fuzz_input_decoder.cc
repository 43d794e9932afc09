// The input decoder on arbitrary lines, repaired to UTF-8 first as the input
// loop does. A line either decodes or throws InputDecodingError with a
// reason; a decoded event is the same from a fresh decoder and from the one
// that decoded every earlier input, survives being written back as JSON, and
// does not change when an undeclared key (holding numbers too large for the
// parser, in the first variant) or surrounding whitespace is added.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/input_decoder.h"
#include "protocol/utf8.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& line) {
  std::fprintf(stderr, "fuzz_input_decoder: %s\nline: %.*s\n", what, static_cast<int>(line.size()), line.data());
  std::abort();
}

#define CHECK(condition, line)                  \
  do {                                          \
    if (!(condition)) fail(#condition, (line)); \
  } while (0)

bool sameEvent(const veskar::InputEvent& a, const veskar::InputEvent& b) {
  return a.type == b.type && a.source_id == b.source_id && a.sequence == b.sequence &&
         a.captured_at_ms == b.captured_at_ms && a.pcm_base64 == b.pcm_base64;
}

// Decodes `line`; nothing when it is rejected. Any other exception is a bug.
std::optional<veskar::InputEvent> tryDecode(veskar::InputEventDecoder& decoder, const std::string& line) {
  try {
    return decoder.decode(line);
  } catch (const veskar::InputDecodingError& error) {
    if (std::string_view(error.what()).empty()) fail("InputDecodingError without a reason", line);
    return std::nullopt;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "unexpected exception: %s\n", error.what());
    fail("an exception other than InputDecodingError", line);
  } catch (...) {
    fail("a non-standard exception", line);
  }
}

void appendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out.append(escape);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

// `event` as a JSON object; absent keys written as null, which means absent.
std::string toJson(const veskar::InputEvent& event) {
  std::string out = "{\"type\":";
  appendJsonString(out, event.type);
  out += ",\"source_id\":" + (event.source_id ? std::to_string(*event.source_id) : std::string("null"));
  out += ",\"sequence\":" + (event.sequence ? std::to_string(*event.sequence) : std::string("null"));
  out += ",\"captured_at_ms\":" + (event.captured_at_ms ? std::to_string(*event.captured_at_ms) : std::string("null"));
  out += ",\"pcm_base64\":";
  if (event.pcm_base64) {
    appendJsonString(out, *event.pcm_base64);
  } else {
    out += "null";
  }
  out += '}';
  return out;
}

// Values under a key the decoder does not know: a line that decodes must
// decode to the same event with any of them added.
constexpr std::string_view kUndeclaredMembers[] = {
    R"("\u0000fuzz":[1e999,-1e999,18446744073709551616,-9223372036854775809,"\"1e999",{"type":7}],)",
    R"("typ\u0065 ":{"source_id":"x","sequence":-1},)",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static veskar::InputEventDecoder reused;  // has decoded every earlier input
  const std::string line = veskar::repairUtf8(std::string_view(reinterpret_cast<const char*>(data), size));

  const std::optional<veskar::InputEvent> event = tryDecode(reused, line);
  veskar::InputEventDecoder fresh;
  const std::optional<veskar::InputEvent> again = tryDecode(fresh, line);
  CHECK(event.has_value() == again.has_value(), line);
  if (!event) return 0;
  CHECK(sameEvent(*event, *again), line);

  // Strings come out as well-formed UTF-8, whatever escapes the line used.
  CHECK(veskar::isValidUtf8(event->type), line);
  if (event->pcm_base64) CHECK(veskar::isValidUtf8(*event->pcm_base64), line);

  // Written back as JSON, the event reads the same.
  const std::string written = toJson(*event);
  const std::optional<veskar::InputEvent> reread = tryDecode(reused, written);
  CHECK(reread.has_value(), written);
  CHECK(sameEvent(*event, *reread), written);

  // The root is an object, so its '{' is the first one in the line and it
  // holds at least "type": a member can go right after it.
  const std::size_t open = line.find('{');
  CHECK(open != std::string::npos, line);
  for (const std::string_view member : kUndeclaredMembers) {
    std::string extended = line;
    extended.insert(open + 1, member);
    const std::optional<veskar::InputEvent> withMember = tryDecode(reused, extended);
    CHECK(withMember.has_value(), extended);
    CHECK(sameEvent(*event, *withMember), extended);
  }

  const std::optional<veskar::InputEvent> padded = tryDecode(reused, " \t\r\n" + line + "\n\r\t ");
  CHECK(padded.has_value(), line);
  CHECK(sameEvent(*event, *padded), line);
  return 0;
}
