#include "protocol/errors.h"

#include <array>
#include <utility>

namespace veskar {
namespace {

struct CaseText {
  HelperError::Case errorCase;
  std::string_view text;
};

constexpr std::array<CaseText, 10> kDescriptions = {{
    {HelperError::Case::unsupportedLocale, "On-device transcription does not support locale "},
    {HelperError::Case::invalidArguments, "Invalid helper arguments"},
    {HelperError::Case::unsupportedOS, "SpeechAnalyzer requires macOS 26 or later"},
    {HelperError::Case::transcriberUnavailable, "SpeechTranscriber is unavailable on this Mac"},
    {HelperError::Case::assetRequestUnavailable, "The speech model could not be installed"},
    {HelperError::Case::audioFormat, "The 16 kHz PCM format is unavailable"},
    {HelperError::Case::audioBuffer, "An audio buffer could not be allocated"},
    {HelperError::Case::audioConversion, "PCM audio could not be converted for SpeechAnalyzer"},
    {HelperError::Case::invalidPCM, "Invalid PCM audio"},
    {HelperError::Case::invalidEvent, "Invalid helper protocol event"},
}};

constexpr bool tableMatchesEnumeration() {
  for (std::size_t i = 0; i < kDescriptions.size(); ++i) {
    if (static_cast<std::size_t>(kDescriptions[i].errorCase) != i || kDescriptions[i].text.empty()) {
      return false;
    }
  }
  return static_cast<std::size_t>(HelperError::Case::invalidEvent) + 1 == kDescriptions.size();
}
static_assert(tableMatchesEnumeration(), "description table out of step with HelperError::Case");

}  // namespace

HelperError::HelperError(Case c) : HelperError(c, std::string()) {}

HelperError::HelperError(Case c, std::string localeIdentifier)
    : DescribedError(std::string(kDescriptions[static_cast<std::size_t>(c)].text) +
                     (c == Case::unsupportedLocale ? localeIdentifier : std::string())),
      case_(c),
      localeIdentifier_(std::move(localeIdentifier)) {}

HelperError HelperError::unsupportedLocale(std::string localeIdentifier) {
  return HelperError(Case::unsupportedLocale, std::move(localeIdentifier));
}

std::string describeException(std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown failure";
  }
}

}  // namespace veskar
