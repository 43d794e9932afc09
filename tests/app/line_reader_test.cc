#include "app/line_reader.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

namespace veskar {
namespace {

// Feeds `input` through a pipe, in pieces of `piece` bytes, and reads lines.
std::vector<std::string> readAll(const std::string& input, std::size_t piece = 1 << 20) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    for (std::size_t at = 0; at < input.size(); at += piece) {
      const std::size_t n = std::min(piece, input.size() - at);
      EXPECT_EQ(::write(fds[1], input.data() + at, n), static_cast<ssize_t>(n));
    }
    ::close(fds[1]);
  });
  LineReader reader(fds[0]);
  std::vector<std::string> lines;
  std::string line;
  while (reader.next(line)) lines.push_back(line);
  writer.join();
  ::close(fds[0]);
  return lines;
}

TEST(LineReader, Framing) {
  const struct {
    const char* name;
    std::string input;
    std::vector<std::string> lines;
  } cases[] = {
      {"nothing", "", {}},
      {"LF", "a\nb\n", {"a", "b"}},
      {"CRLF", "a\r\nb\r\n", {"a", "b"}},
      {"last line unterminated", "a\nb", {"a", "b"}},
      {"empty lines count", "\n\r\n\n", {"", "", ""}},
      {"lone CR stays", "a\rb\n\r", {"a\rb", "\r"}},
      {"only the last CR goes", "a\r\r\n", {"a\r"}},
      {"NUL bytes are data", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(readAll(c.input), c.lines);
    EXPECT_EQ(readAll(c.input, 1), c.lines) << "one byte at a time";
  }
}

TEST(LineReader, LinesOfAnyLength) {
  const std::string big(20 << 20, 'x');
  const auto lines = readAll("short\n" + big + "\r\nafter", 100000);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "short");
  EXPECT_EQ(lines[1], big);
  EXPECT_EQ(lines[2], "after");
}

}  // namespace
}  // namespace veskar
