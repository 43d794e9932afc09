#include "protocol/event_writer.h"

#include <gtest/gtest.h>

#include "support/captured_pipe.h"

#include <map>
#include <set>
#include <thread>
#include <vector>

namespace veskar {
namespace {

using testing::CapturedPipe;
using testing::splitLines;

TEST(EventWriter, WritesOneTerminatedLinePerEvent) {
  CapturedPipe pipe;
  {
    OutputSink sink(pipe.writeFd(), OutputSink::OnClosed::discard);
    EventWriter writer(sink);
    writer.send(OutputEvent{.type = "stream.ready", .locale = "en_US"});
    writer.send(OutputEvent{.type = "stream.finished"});
  }
  EXPECT_EQ(pipe.finish(), "{\"type\":\"stream.ready\",\"locale\":\"en_US\"}\n{\"type\":\"stream.finished\"}\n");
}

TEST(EventWriter, ConcurrentWritersNeverTearOrInterleaveLines) {
  CapturedPipe pipe;
  constexpr int kThreads = 8;
  constexpr int kEventsPerThread = 400;
  std::map<std::string, int> expected;
  {
    OutputSink sink(pipe.writeFd(), OutputSink::OnClosed::discard);
    EventWriter entryWriter(sink);
    EventWriter coordinatorWriter(sink);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        EventWriter& writer = t % 2 == 0 ? entryWriter : coordinatorWriter;
        // Long texts (past the pipe's atomic write size) for some threads.
        const std::string text(t % 4 == 0 ? 70000 : 40, static_cast<char>('a' + t));
        for (int i = 0; i < kEventsPerThread; ++i) {
          writer.send(OutputEvent{.type = "transcript.upsert", .source_id = t, .revision = i, .text = text});
        }
      });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
      const std::string text(t % 4 == 0 ? 70000 : 40, static_cast<char>('a' + t));
      for (int i = 0; i < kEventsPerThread; ++i) {
        ++expected[encodeOutputEvent(
            OutputEvent{.type = "transcript.upsert", .source_id = t, .revision = i, .text = text})];
      }
    }
  }
  const std::string& text = pipe.finish();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::map<std::string, int> seen;
  for (const std::string& line : splitLines(text)) ++seen[line];
  EXPECT_EQ(seen.size(), expected.size());
  EXPECT_TRUE(seen == expected) << "a line was torn, interleaved, lost or duplicated";
}

TEST(EventWriter, PerWriterOrderIsSendOrder) {
  CapturedPipe pipe;
  {
    OutputSink sink(pipe.writeFd(), OutputSink::OnClosed::discard);
    EventWriter writer(sink);
    for (int i = 0; i < 1000; ++i) writer.send(OutputEvent{.type = "t", .revision = i});
  }
  const auto lines = splitLines(pipe.finish());
  ASSERT_EQ(lines.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(lines[i], encodeOutputEvent(OutputEvent{.type = "t", .revision = i}));
}

}  // namespace
}  // namespace veskar
