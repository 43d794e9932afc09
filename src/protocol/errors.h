// The helper's own failures. Every failure the helper detects itself is thrown
// as a HelperError; what() is the description that reaches the host as the
// message of an error event. Failures of the speech engine, the audio
// converter or the JSON decoder travel as their own exception types.
#ifndef VESKAR_PROTOCOL_ERRORS_H_
#define VESKAR_PROTOCOL_ERRORS_H_

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "basics/described_error.h"

namespace veskar {

class HelperError : public DescribedError {
 public:
  // Declaration order is part of the catalogue; the description table in
  // errors.cc is checked against it at compile time.
  enum class Case {
    unsupportedLocale,
    invalidArguments,
    unsupportedOS,
    transcriberUnavailable,
    assetRequestUnavailable,
    audioFormat,
    audioBuffer,
    audioConversion,
    invalidPCM,
    invalidEvent,
  };

  // Every case but unsupportedLocale.
  explicit HelperError(Case c);
  // unsupportedLocale, with the identifier of the locale concerned, unchanged.
  static HelperError unsupportedLocale(std::string localeIdentifier);

  Case errorCase() const { return case_; }
  // The payload of unsupportedLocale; empty for every other case.
  const std::string& localeIdentifier() const { return localeIdentifier_; }
  // The case's fixed English description; never empty.
  const std::string& errorDescription() const { return description(); }

 private:
  HelperError(Case c, std::string localeIdentifier);

  Case case_;
  std::string localeIdentifier_;
};

// The description of any failure, as it becomes an error event's message:
// what() of a std::exception, a fixed text for anything else.
std::string describeException(std::exception_ptr error);

}  // namespace veskar

#endif  // VESKAR_PROTOCOL_ERRORS_H_
