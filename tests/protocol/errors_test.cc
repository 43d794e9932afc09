#include "protocol/errors.h"

#include <gtest/gtest.h>

namespace veskar {
namespace {

TEST(HelperError, DescriptionsMatchTheCatalogueExactly) {
  const struct {
    HelperError::Case errorCase;
    const char* text;
  } cases[] = {
      {HelperError::Case::invalidArguments, "Invalid helper arguments"},
      {HelperError::Case::unsupportedOS, "SpeechAnalyzer requires macOS 26 or later"},
      {HelperError::Case::transcriberUnavailable, "SpeechTranscriber is unavailable on this Mac"},
      {HelperError::Case::assetRequestUnavailable, "The speech model could not be installed"},
      {HelperError::Case::audioFormat, "The 16 kHz PCM format is unavailable"},
      {HelperError::Case::audioBuffer, "An audio buffer could not be allocated"},
      {HelperError::Case::audioConversion, "PCM audio could not be converted for SpeechAnalyzer"},
      {HelperError::Case::invalidPCM, "Invalid PCM audio"},
      {HelperError::Case::invalidEvent, "Invalid helper protocol event"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const HelperError error(c.errorCase);
    EXPECT_EQ(error.errorDescription(), c.text);
    EXPECT_STREQ(error.what(), c.text);
    EXPECT_EQ(error.errorCase(), c.errorCase);
  }
}

TEST(HelperError, UnsupportedLocaleAppendsTheIdentifierUnchanged) {
  EXPECT_EQ(HelperError::unsupportedLocale("xx_YY").errorDescription(),
            "On-device transcription does not support locale xx_YY");
  const std::string empty = HelperError::unsupportedLocale("").errorDescription();
  EXPECT_EQ(empty, "On-device transcription does not support locale ");
  EXPECT_EQ(empty.size(), 48u);
  EXPECT_EQ(HelperError::unsupportedLocale(" en US. ").errorDescription(),
            "On-device transcription does not support locale  en US. ");
  EXPECT_EQ(HelperError::unsupportedLocale("en").localeIdentifier(), "en");
}

TEST(DescribeException, UsesWhatAndAFixedTextOtherwise) {
  EXPECT_EQ(describeException(std::make_exception_ptr(std::runtime_error("engine said no"))), "engine said no");
  EXPECT_EQ(describeException(std::make_exception_ptr(HelperError(HelperError::Case::invalidPCM))),
            "Invalid PCM audio");
  EXPECT_FALSE(describeException(std::make_exception_ptr(42)).empty());
}

}  // namespace
}  // namespace veskar
