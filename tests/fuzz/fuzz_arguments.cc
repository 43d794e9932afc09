// The command line parser against a plain model of the rules: the first exact
// "--locale" and "--sources" (program name excluded) each take the argument
// after them; the sources are the comma-separated pieces that are an
// optional sign and digits worth 0 or 1; a first exact "--echo-cancellation"
// needs "on" or "off" after it. The fuzz input is the argument
// vector, arguments separated by NUL bytes, program name first.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/arguments.h"
#include "protocol/errors.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_arguments: %s\n", what);
  std::abort();
}

#define CHECK(condition)                \
  do {                                  \
    if (!(condition)) fail(#condition); \
  } while (0)

std::vector<std::string> splitAtNul(std::string_view data) {
  std::vector<std::string> argv;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = data.find('\0', start);
    argv.emplace_back(data.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return argv;
}

// The argument after the first `option` past the program name.
std::optional<std::string> optionValue(const std::vector<std::string>& argv, std::string_view option) {
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (argv[i] == option) {
      if (i + 1 < argv.size()) return argv[i + 1];
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// 0 or 1 when `piece` is [+-]?[0-9]+ with that value, else nothing. Leading
// zeros never overflow, so only the digits after them matter.
std::optional<int64_t> zeroOrOne(std::string_view piece) {
  bool negative = false;
  if (!piece.empty() && (piece[0] == '+' || piece[0] == '-')) {
    negative = piece[0] == '-';
    piece.remove_prefix(1);
  }
  if (piece.empty()) return std::nullopt;
  for (const char c : piece) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  const std::size_t significant = piece.find_first_not_of('0');
  if (significant == std::string_view::npos) return 0;  // "-0" included
  if (piece.substr(significant) == "1" && !negative) return 1;
  return std::nullopt;
}

// Present at all, past the program name.
bool hasOption(const std::vector<std::string>& argv, std::string_view option) {
  return std::find(argv.begin() + 1, argv.end(), option) != argv.end();
}

bool expectedEchoCancellation(const std::vector<std::string>& argv) {
  return optionValue(argv, "--echo-cancellation") == std::optional<std::string>("on");
}

std::optional<std::set<int64_t>> expectedSources(const std::vector<std::string>& argv) {
  if (!optionValue(argv, "--locale")) return std::nullopt;
  if (hasOption(argv, "--echo-cancellation")) {
    const std::optional<std::string> value = optionValue(argv, "--echo-cancellation");
    if (value != "on" && value != "off") return std::nullopt;
  }
  const std::optional<std::string> text = optionValue(argv, "--sources");
  if (!text) return std::nullopt;
  std::set<int64_t> sources;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text->find(',', start);
    const std::string piece = text->substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (const auto id = zeroOrOne(piece)) sources.insert(*id);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (sources.empty()) return std::nullopt;
  return sources;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<std::string> argv = splitAtNul(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::optional<std::set<int64_t>> expected = expectedSources(argv);

  std::optional<veskar::Arguments> parsed;
  try {
    parsed = veskar::arguments(argv);
  } catch (const veskar::HelperError& error) {
    CHECK(error.errorCase() == veskar::HelperError::Case::invalidArguments);
    CHECK(!error.errorDescription().empty());
  } catch (...) {
    fail("an exception other than HelperError");
  }

  CHECK(parsed.has_value() == expected.has_value());
  if (!parsed) return 0;

  const std::vector<veskar::SourceId>& sources = parsed->sources;
  CHECK(!sources.empty());
  for (std::size_t i = 0; i < sources.size(); ++i) {
    CHECK(sources[i] == 0 || sources[i] == 1);
    if (i > 0) CHECK(sources[i - 1] < sources[i]);
  }
  CHECK(std::vector<int64_t>(expected->begin(), expected->end()) == sources);
  CHECK(parsed->locale.identifier == *optionValue(argv, "--locale"));
  CHECK((parsed->options.echoCancellation == veskar::EchoCancellation::on) == expectedEchoCancellation(argv));
  return 0;
}
