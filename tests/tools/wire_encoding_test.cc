// The tool's input lines, read back by the helper's own decoders.
#include "wire_encoding.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "coordination/base64.h"
#include "protocol/input_decoder.h"

namespace veskar::tools {
namespace {

std::string base64(const std::string& bytes) {
  std::string out;
  appendBase64(out, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  return out;
}

TEST(WireEncoding, Base64MatchesTheStandardVectors) {
  EXPECT_EQ(base64(""), "");
  EXPECT_EQ(base64("f"), "Zg==");
  EXPECT_EQ(base64("fo"), "Zm8=");
  EXPECT_EQ(base64("foo"), "Zm9v");
  EXPECT_EQ(base64("foob"), "Zm9vYg==");
  EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(base64(std::string("\xFB\xFF\x00", 3)), "+/8A");
}

TEST(WireEncoding, Base64RoundTripsThroughTheHelpersDecoder) {
  std::mt19937 random(7);
  for (std::size_t length = 0; length < 200; ++length) {
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    const std::optional<std::string> decoded = decodeBase64(base64(bytes));
    ASSERT_TRUE(decoded.has_value()) << "length " << length;
    EXPECT_EQ(*decoded, bytes) << "length " << length;
  }
}

TEST(WireEncoding, AnAudioLineIsOneHelperInputEventWithLittleEndianSamples) {
  const std::vector<int16_t> samples{0, 1, -1, 32767, -32768, 0x1234};
  std::string lines;
  appendAudioLine(lines, 1, samples);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), '\n');
  EXPECT_EQ(lines.find('\n'), lines.size() - 1);

  InputEventDecoder decoder;
  const InputEvent event = decoder.decode(lines.substr(0, lines.size() - 1));
  EXPECT_EQ(event.type, "audio");
  ASSERT_TRUE(event.source_id.has_value());
  EXPECT_EQ(*event.source_id, 1);
  ASSERT_TRUE(event.pcm_base64.has_value());
  const std::optional<std::string> bytes = decodeBase64(*event.pcm_base64);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(*bytes, std::string("\x00\x00\x01\x00\xFF\xFF\xFF\x7F\x00\x80\x34\x12", 12));
}

TEST(WireEncoding, TheFinishLineIsTheFinishEvent) {
  const std::string line = finishLine();
  ASSERT_EQ(line.back(), '\n');
  InputEventDecoder decoder;
  EXPECT_EQ(decoder.decode(line.substr(0, line.size() - 1)).type, "finish");
}

}  // namespace
}  // namespace veskar::tools
