// The helper's own failures. Every failure the helper detects itself is thrown
// as a HelperError; what() is the description that reaches the host as the
// message of an error event. Failures of the speech engine, the audio
// converter or the JSON decoder travel as their own exception types.
#ifndef VESKAR_PROTOCOL_ERRORS_H_
#define VESKAR_PROTOCOL_ERRORS_H_

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace veskar {

// A failure that carries its own description. Unlike std::runtime_error, the
// text is a plain std::string, so a copy handed to another thread (through an
// exception_ptr) shares no reference-counted buffer with the original.
class DescribedError : public std::exception {
 public:
  explicit DescribedError(std::string description) : description_(std::move(description)) {}
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
};

class HelperError : public std::exception {
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
  const std::string& errorDescription() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  HelperError(Case c, std::string localeIdentifier);

  Case case_;
  std::string localeIdentifier_;
  std::string description_;
};

// The description of any failure, as it becomes an error event's message:
// what() of a std::exception, a fixed text for anything else.
std::string describeException(std::exception_ptr error);

}  // namespace veskar

#endif  // VESKAR_PROTOCOL_ERRORS_H_
