// Whole sessions: the fuzz input is what the host writes on standard input,
// followed by one "finish" line. It runs through the real input loop and a
// Coordinator for sources 0 and 1 over the scripted "echo" engine, which
// answers every input with a partial naming how many inputs it heard and
// ends with a final. Then the captured output is checked line by line and
// against a model of which input lines the helper must reject:
//   - every line is one compact JSON object, well-formed UTF-8, members in
//     the fixed order, strings with '/' and control characters escaped;
//   - "stream.ready" first, "stream.finished" last and once;
//   - one non-fatal "invalid_input" per rejected line, in order, with the
//     reason of the rejection, and no other error;
//   - per utterance, revisions strictly rising; per source, one upsert per
//     accepted audio chunk plus the final, times matching the audio accepted.
#include <sys/mman.h>
#include <unistd.h>

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/input_loop.h"
#include "app/line_reader.h"
#include "coordination/base64.h"
#include "coordination/coordinator.h"
#include "protocol/errors.h"
#include "protocol/event_writer.h"
#include "protocol/input_decoder.h"
#include "protocol/utf8.h"
#include "support/captured_pipe.h"
#include "support/scripted_engine.h"
#include "transcription/input_stream.h"

namespace {

using veskar::InputEvent;
using veskar::SourceId;

std::string gOutput;  // of the current run, for failure reports

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_session: %s\n--- output ---\n%s--- end ---\n", what.c_str(), gOutput.c_str());
  std::abort();
}

#define CHECK(condition, detail)                                        \
  do {                                                                  \
    if (!(condition)) fail(std::string(#condition) + ": " + (detail)); \
  } while (0)

bool sameEvent(const InputEvent& a, const InputEvent& b) {
  return a.type == b.type && a.source_id == b.source_id && a.sequence == b.sequence &&
         a.captured_at_ms == b.captured_at_ms && a.pcm_base64 == b.pcm_base64;
}

// Passes everything to the real coordinator and records each consume() call
// and whether it threw.
class RecordingCoordinator final : public veskar::StreamCoordinator {
 public:
  explicit RecordingCoordinator(veskar::StreamCoordinator& inner) : inner_(inner) {}

  veskar::Locale start(const veskar::Locale& locale, const std::vector<SourceId>& sources,
                       const veskar::StreamOptions& options) override {
    return inner_.start(locale, sources, options);
  }
  bool consume(const InputEvent& event) override {
    try {
      const bool more = inner_.consume(event);
      calls.push_back(Call{event, std::nullopt});
      return more;
    } catch (...) {
      calls.push_back(Call{event, veskar::describeException(std::current_exception())});
      throw;
    }
  }

  struct Call {
    InputEvent event;
    std::optional<std::string> rejection;
  };
  std::vector<Call> calls;

 private:
  veskar::StreamCoordinator& inner_;
};

// What the helper must make of the input, line by line.
struct Expectation {
  std::vector<std::string> rejections;  // reasons, in order
  struct Consumed {
    InputEvent event;
    bool rejected;
  };
  std::vector<Consumed> consumed;  // every decoded line up to and with "finish"
  struct Source {
    int accepted = 0;
    std::vector<int64_t> framesAfter;  // total frames after each accepted chunk
  };
  std::map<SourceId, Source> sources;
};

// The lines a LineReader yields: split at "\n", one "\r" before it dropped; a
// last unterminated line counts unless it is empty.
std::vector<std::string> readerLines(const std::string& stream) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < stream.size()) {
    const std::size_t end = stream.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(stream.substr(start));
      break;
    }
    std::string line = stream.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

Expectation expect(const std::string& stream, const std::vector<SourceId>& sources) {
  Expectation expectation;
  for (const SourceId id : sources) expectation.sources[id];
  veskar::InputEventDecoder decoder;
  for (std::string line : readerLines(stream)) {
    line = veskar::repairUtf8(line);
    InputEvent event;
    try {
      event = decoder.decode(line);
    } catch (const veskar::InputDecodingError& error) {
      expectation.rejections.emplace_back(error.what());
      continue;
    }
    if (event.type == "finish") {
      expectation.consumed.push_back({event, false});
      break;
    }
    // An audio event needs a configured source and Base64 of whole 16-bit
    // samples; everything else is rejected.
    bool accepted = false;
    if (event.type == "audio" && event.source_id && event.pcm_base64) {
      const std::optional<std::string> bytes = veskar::decodeBase64(*event.pcm_base64);
      const auto source = expectation.sources.find(*event.source_id);
      if (bytes && !bytes->empty() && bytes->size() % 2 == 0 && source != expectation.sources.end()) {
        accepted = true;
        Expectation::Source& s = source->second;
        ++s.accepted;
        const int64_t before = s.framesAfter.empty() ? 0 : s.framesAfter.back();
        s.framesAfter.push_back(before + static_cast<int64_t>(bytes->size() / 2));
      }
    }
    expectation.consumed.push_back({event, !accepted});
    if (!accepted) expectation.rejections.emplace_back("");  // the coordinator's reason, checked separately
  }
  return expectation;
}

// Whole milliseconds of `frames` at 16 kHz, halves rounded up.
int64_t framesToMs(int64_t frames) { return (frames + 8) / 16; }

// Checks the encoding of one output line without parsing it: one object,
// no whitespace between tokens, strings with '/' and every control
// character escaped.
void checkCompact(const std::string& line) {
  CHECK(!line.empty() && line.front() == '{' && line.back() == '}', line);
  CHECK(veskar::isValidUtf8(line), line);
  bool inString = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (inString) {
      CHECK(c >= 0x20, "raw control character in a string: " + line);
      CHECK(c != '/', "unescaped '/': " + line);
      if (c == '\\') {
        ++i;  // the escaped character; simdjson checks the escape itself
      } else if (c == '"') {
        inString = false;
      }
    } else {
      CHECK(c != ' ' && c != '\t' && c != '\r' && c != '\n', "whitespace between tokens: " + line);
      if (c == '"') inString = true;
    }
  }
  CHECK(!inString, line);
}

struct OutputLine {
  std::string type;
  std::map<std::string, simdjson::dom::element> members;
};

// The members of OutputEvent, in the order they are written.
constexpr std::string_view kMemberOrder[] = {"type",     "source_id", "speaker", "utterance_id", "revision",
                                             "text",     "is_final",  "start_ms", "end_ms",      "locale",
                                             "code",     "message",   "fatal"};

OutputLine parseLine(simdjson::dom::parser& parser, const std::string& line) {
  checkCompact(line);
  simdjson::dom::element root;
  CHECK(parser.parse(line).get(root) == simdjson::SUCCESS, "not JSON: " + line);
  simdjson::dom::object object;
  CHECK(root.get(object) == simdjson::SUCCESS, "not an object: " + line);
  OutputLine out;
  std::size_t next = 0;  // index into kMemberOrder
  for (const auto field : object) {
    const std::string_view key = field.key;
    while (next < std::size(kMemberOrder) && kMemberOrder[next] != key) ++next;
    CHECK(next < std::size(kMemberOrder), "unknown, repeated or misplaced member " + std::string(key) + ": " + line);
    ++next;
    out.members.emplace(std::string(key), field.value);
  }
  std::string_view type;
  CHECK(out.members.count("type") && out.members["type"].get(type) == simdjson::SUCCESS, line);
  out.type = std::string(type);
  return out;
}

std::string stringMember(OutputLine& event, const std::string& key, const std::string& line) {
  std::string_view value;
  CHECK(event.members.count(key) && event.members[key].get(value) == simdjson::SUCCESS, key + " in " + line);
  return std::string(value);
}

int64_t integerMember(OutputLine& event, const std::string& key, const std::string& line) {
  int64_t value = 0;
  CHECK(event.members.count(key) && event.members[key].get(value) == simdjson::SUCCESS, key + " in " + line);
  return value;
}

bool boolMember(OutputLine& event, const std::string& key, const std::string& line) {
  bool value = false;
  CHECK(event.members.count(key) && event.members[key].get(value) == simdjson::SUCCESS, key + " in " + line);
  return value;
}

int wordCount(const std::string& text) {
  int words = text.empty() ? 0 : 1;
  for (const char c : text) words += c == ' ';
  return words;
}

void checkSession(const std::string& stream, const std::string& output,
                  const std::vector<RecordingCoordinator::Call>& calls, veskar::LoopEnd end,
                  const std::vector<SourceId>& sources) {
  const Expectation expected = expect(stream, sources);

  // The stream always ends with "finish", which ends the loop.
  CHECK(end == veskar::LoopEnd::streamFinished, "the loop ran to the end of input");

  // The coordinator saw exactly the lines that decode, up to "finish", and
  // rejected exactly those the model rejects.
  CHECK(calls.size() == expected.consumed.size(),
        std::to_string(calls.size()) + " consumed, expected " + std::to_string(expected.consumed.size()));
  std::vector<std::string> reasons;  // the rejections expected, coordinator reasons filled in
  std::size_t call = 0;
  for (const std::string& reason : expected.rejections) {
    if (!reason.empty()) {
      reasons.push_back(reason);
      continue;
    }
    while (call < expected.consumed.size() && !expected.consumed[call].rejected) ++call;
    CHECK(call < calls.size() && calls[call].rejection, "coordinator rejection");
    reasons.push_back(*calls[call].rejection);
    ++call;
  }
  for (std::size_t i = 0; i < expected.consumed.size(); ++i) {
    const auto& seen = calls[i];
    CHECK(sameEvent(seen.event, expected.consumed[i].event), "consumed event " + std::to_string(i));
    CHECK(seen.rejection.has_value() == expected.consumed[i].rejected,
          "event " + std::to_string(i) + " of type \"" + seen.event.type + "\" was " +
              (seen.rejection ? "rejected: " + *seen.rejection : std::string("accepted")));
    if (seen.rejection) CHECK(!seen.rejection->empty(), "rejection without a reason");
  }

  simdjson::dom::parser parser;
  const std::vector<std::string> lines = veskar::testing::splitLines(output);
  CHECK(!output.empty() && output.back() == '\n', "output does not end with a line feed");
  CHECK(lines.size() >= 2, "too few lines");

  std::size_t invalidInputs = 0;
  std::map<std::string, int64_t> lastRevision;
  std::map<std::string, bool> endedFinal;  // per utterance id shown
  struct SourceSeen {
    int upserts = 0;
    bool finalSeen = false;
  };
  std::map<SourceId, SourceSeen> seen;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    OutputLine event = parseLine(parser, line);
    const bool first = i == 0;
    const bool last = i + 1 == lines.size();
    CHECK((event.type == "stream.ready") == first, "stream.ready only and always first: " + line);
    CHECK((event.type == "stream.finished") == last, "stream.finished only and always last: " + line);
    if (event.type == "stream.ready") {
      CHECK(stringMember(event, "locale", line) == "en_US", line);
      CHECK(event.members.size() == 2, line);
    } else if (event.type == "stream.finished") {
      CHECK(event.members.size() == 1, line);
      for (const auto& [utterance, final] : endedFinal) {
        CHECK(final, "utterance " + utterance + " shown but never final before stream.finished");
      }
    } else if (event.type == "stream.error") {
      CHECK(stringMember(event, "code", line) == "invalid_input", "the echo engine never fails: " + line);
      CHECK(!boolMember(event, "fatal", line), line);
      CHECK(event.members.size() == 4, line);  // type, code, message, fatal; no source
      CHECK(invalidInputs < reasons.size(), "more invalid_input errors than rejected lines: " + line);
      CHECK(stringMember(event, "message", line) == reasons[invalidInputs],
            "error " + std::to_string(invalidInputs) + " should say \"" + reasons[invalidInputs] + "\": " + line);
      ++invalidInputs;
    } else if (event.type == "transcript.upsert") {
      CHECK(event.members.size() == 9, line);
      const SourceId source = integerMember(event, "source_id", line);
      const auto model = expected.sources.find(source);
      CHECK(model != expected.sources.end(), "upsert for an unknown source: " + line);
      CHECK(stringMember(event, "speaker", line) == (source == 0 ? "user" : "meeting"), line);
      const std::string utterance = stringMember(event, "utterance_id", line);
      const int64_t revision = integerMember(event, "revision", line);
      const auto previous = lastRevision.find(utterance);
      CHECK(previous == lastRevision.end() || previous->second < revision, "revision not rising: " + line);
      lastRevision[utterance] = revision;
      const std::string text = stringMember(event, "text", line);
      const bool isFinal = boolMember(event, "is_final", line);
      CHECK(!endedFinal[utterance], "an upsert after the utterance's final: " + line);
      endedFinal[utterance] = isFinal;
      const int64_t startMs = integerMember(event, "start_ms", line);
      const int64_t endMs = integerMember(event, "end_ms", line);
      CHECK(!text.empty() && startMs >= 0 && startMs <= endMs, line);

      // The echo engine: one utterance from 0 per source; the n-th input
      // gives revision n naming n words up to the end of that input; the
      // final repeats the last count at revision inputs + 1.
      SourceSeen& s = seen[source];
      CHECK(!s.finalSeen, "upsert after the final: " + line);
      const Expectation::Source& m = model->second;
      CHECK(utterance == "native-" + std::to_string(source) + "-0" && startMs == 0, line);
      const int n = s.upserts;  // upserts of this source before this one
      CHECK(revision == n + 1, "revisions of an utterance skip or repeat: " + line);
      CHECK(n <= m.accepted, "more upserts than accepted audio chunks: " + line);
      CHECK(isFinal == (n == m.accepted), "final at the wrong place: " + line);
      if (isFinal) {
        s.finalSeen = true;
        CHECK(wordCount(text) == m.accepted, "the final should name every accepted chunk: " + line);
        CHECK(endMs == framesToMs(m.framesAfter.back()), "the final should end with the audio: " + line);
      } else {
        CHECK(wordCount(text) == n + 1, line);
        CHECK(endMs == framesToMs(m.framesAfter[static_cast<std::size_t>(n)]), "partial end time: " + line);
      }
      ++s.upserts;
    } else {
      fail("unexpected event type: " + line);
    }
  }
  CHECK(invalidInputs == reasons.size(), std::to_string(invalidInputs) + " invalid_input errors for " +
                                             std::to_string(reasons.size()) + " rejected lines");
  for (const auto& [source, m] : expected.sources) {
    const SourceSeen& s = seen[source];
    if (m.accepted == 0) {
      CHECK(s.upserts == 0, "upserts without audio");
    } else {
      CHECK(s.finalSeen, "no final for source " + std::to_string(source) + " after " + std::to_string(m.accepted) +
                             " accepted chunks and " + std::to_string(s.upserts) + " upserts");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // An accepted audio line takes at least 50 bytes, so up to this size no
  // source gets more chunks than its input stream holds and no audio is
  // pushed out on the way to the engine, which the echo checks rely on.
  static_assert(16384 / 50 < veskar::AnalyzerInputStream::kDefaultCapacity);
  if (size > 16384) return -1;
  std::string stream(reinterpret_cast<const char*>(data), size);
  if (!stream.empty() && stream.back() != '\n') stream += '\n';
  stream += "{\"type\":\"finish\"}\n";

  const int input = ::memfd_create("fuzz_session_input", MFD_CLOEXEC);
  if (input < 0) fail("memfd_create failed");
  for (std::size_t at = 0; at < stream.size();) {
    const ssize_t n = ::write(input, stream.data() + at, stream.size() - at);
    if (n <= 0) fail("cannot write the input");
    at += static_cast<std::size_t>(n);
  }
  if (::lseek(input, 0, SEEK_SET) != 0) fail("lseek failed");

  const std::vector<SourceId> sources{0, 1};
  veskar::testing::CapturedPipe output;
  std::unique_ptr<veskar::testing::ScriptedEngine> engine = veskar::testing::scriptedEngineFromText("echo");
  veskar::LoopEnd end;
  std::vector<RecordingCoordinator::Call> calls;
  {
    veskar::OutputSink sink(output.writeFd(), veskar::OutputSink::OnClosed::discard);
    veskar::Coordinator coordinator(*engine, sink);
    RecordingCoordinator recorder(coordinator);
    (void)recorder.start(veskar::Locale{"en_US"}, sources, {});
    veskar::EventWriter writer(sink);
    veskar::LineReader reader(input);
    end = veskar::runInputLoop(reader, recorder, writer);
    calls = std::move(recorder.calls);
  }
  ::close(input);
  gOutput = output.finish();
  checkSession(stream, gOutput, calls, end, sources);
  return 0;
}
