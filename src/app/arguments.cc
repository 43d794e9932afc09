#include "app/arguments.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>

#include "protocol/errors.h"

namespace veskar {
namespace {

[[noreturn]] void fail() { throw HelperError(HelperError::Case::invalidArguments); }

const std::string& valueOf(const std::vector<std::string>& argv, std::string_view option) {
  const auto it = std::find(argv.begin() + 1, argv.end(), option);
  if (it == argv.end() || it + 1 == argv.end()) fail();
  return *(it + 1);
}

std::optional<SourceId> parseSourceId(std::string_view piece) {
  bool negative = false;
  if (!piece.empty() && (piece.front() == '+' || piece.front() == '-')) {
    negative = piece.front() == '-';
    piece.remove_prefix(1);
  }
  if (piece.empty() || !std::all_of(piece.begin(), piece.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  // Parse as a magnitude first so that "-9223372036854775808" fits.
  uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), magnitude);
  if (ec != std::errc() || end != piece.data() + piece.size()) return std::nullopt;
  constexpr uint64_t kMaxMagnitude = uint64_t{1} << 63;
  if (negative) {
    if (magnitude > kMaxMagnitude) return std::nullopt;
    return magnitude == kMaxMagnitude ? INT64_MIN : -static_cast<SourceId>(magnitude);
  }
  if (magnitude >= kMaxMagnitude) return std::nullopt;
  return static_cast<SourceId>(magnitude);
}

// Absent: off. An older helper ignores the option, so a host may pass it to any.
EchoCancellation echoCancellation(const std::vector<std::string>& argv) {
  if (std::find(argv.begin() + 1, argv.end(), "--echo-cancellation") == argv.end()) return EchoCancellation::off;
  const std::string& value = valueOf(argv, "--echo-cancellation");
  if (value == "on") return EchoCancellation::on;
  if (value == "off") return EchoCancellation::off;
  fail();
}

}  // namespace

Arguments arguments(const std::vector<std::string>& argv) {
  if (argv.size() < 2) fail();
  const std::string& locale = valueOf(argv, "--locale");
  const std::string& sourcesText = valueOf(argv, "--sources");

  std::vector<SourceId> sources;
  std::string_view rest = sourcesText;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view piece = rest.substr(0, comma);
    if (!piece.empty()) {
      const std::optional<SourceId> id = parseSourceId(piece);
      if (id && (*id == 0 || *id == 1)) sources.push_back(*id);
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (sources.empty()) fail();
  std::sort(sources.begin(), sources.end());
  sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
  return Arguments{Locale{locale}, std::move(sources), StreamOptions{echoCancellation(argv)}};
}

}  // namespace veskar
