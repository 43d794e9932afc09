#include "app/input_loop.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "protocol/errors.h"
#include "support/captured_pipe.h"

namespace veskar {
namespace {

using testing::CapturedPipe;
using testing::splitLines;

// Records what it is given; rejects types named "reject"; "finish" ends.
class RecordingCoordinator final : public StreamCoordinator {
 public:
  Locale start(const Locale& locale, const std::vector<SourceId>&, const StreamOptions&) override { return locale; }
  bool consume(const InputEvent& event) override {
    consumed.push_back(event);
    if (event.type == "reject") throw HelperError(HelperError::Case::invalidEvent);
    return event.type != "finish";
  }
  std::vector<InputEvent> consumed;
};

struct LoopRun {
  LoopEnd end;
  std::vector<InputEvent> consumed;
  std::vector<std::string> errorLines;
};

LoopRun runLoop(const std::string& input) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::thread feeder([&] {
    std::size_t at = 0;
    while (at < input.size()) {
      const ssize_t n = ::write(fds[1], input.data() + at, input.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
  });
  CapturedPipe out;
  RecordingCoordinator coordinator;
  LoopEnd end;
  {
    OutputSink sink(out.writeFd(), OutputSink::OnClosed::discard);
    EventWriter writer(sink);
    LineReader reader(fds[0]);
    end = runInputLoop(reader, coordinator, writer);
  }
  ::close(fds[0]);  // unread input after "finish" stays unread
  feeder.join();
  return LoopRun{end, coordinator.consumed, splitLines(out.finish())};
}

constexpr const char* kInvalidEvent =
    R"({"type":"stream.error","code":"invalid_input","message":"Invalid helper protocol event","fatal":false})";

TEST(InputLoop, EachRejectedLineGetsOneNonFatalErrorAndReadingGoesOn) {
  const LoopRun run = runLoop(
      "\n"
      "   \n"
      "[1,2]\n"
      "{\"type\":\n"
      "{\"source_id\":0}\n"
      "{\"type\":\"reject\"}\n"
      "{\"type\":\"audio\",\"source_id\":1}\n");
  EXPECT_EQ(run.end, LoopEnd::endOfInput);
  ASSERT_EQ(run.errorLines.size(), 6u);
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(run.errorLines[i].rfind(R"({"type":"stream.error","code":"invalid_input","message":")", 0), 0u)
        << run.errorLines[i];
    EXPECT_NE(run.errorLines[i].find(R"("fatal":false})"), std::string::npos);
  }
  EXPECT_EQ(run.errorLines[5], kInvalidEvent) << "the coordinator's error text is the message";
  ASSERT_EQ(run.consumed.size(), 2u);
  EXPECT_EQ(run.consumed[0].type, "reject");
  EXPECT_EQ(run.consumed[1].source_id, 1);
}

TEST(InputLoop, FinishEndsReadingAndLaterLinesAreNeverConsumed) {
  const LoopRun run = runLoop(
      "{\"type\":\"audio\",\"source_id\":0}\r\n"
      "{\"type\":\"finish\",\"junk\":\"\xff\xfe\"}\n"
      "{\"type\":\"audio\",\"source_id\":1}\n"
      "not even json\n");
  EXPECT_EQ(run.end, LoopEnd::streamFinished);
  ASSERT_EQ(run.consumed.size(), 2u);
  EXPECT_EQ(run.consumed[0].source_id, 0);
  EXPECT_EQ(run.consumed[1].type, "finish");
  EXPECT_TRUE(run.errorLines.empty());
}

TEST(InputLoop, AnUnterminatedLastLineCounts) {
  const LoopRun run = runLoop("{\"type\":\"audio\"}\n{\"type\":\"finish\"}");
  EXPECT_EQ(run.end, LoopEnd::streamFinished);
  EXPECT_EQ(run.consumed.size(), 2u);
}

TEST(InputLoop, InvalidUtf8IsReplacedBeforeDecoding) {
  const LoopRun run = runLoop("{\"type\":\"fi\xffnish\"}\n");
  ASSERT_EQ(run.consumed.size(), 1u);
  EXPECT_EQ(run.consumed[0].type, "fi\xEF\xBF\xBDnish");
}

}  // namespace
}  // namespace veskar
