#include "transcription/input_stream.h"

#include <gtest/gtest.h>

#include <thread>

namespace veskar {
namespace {

AnalyzerInput inputAt(int64_t start) { return AnalyzerInput{nullptr, MediaTime::make(start, 16000)}; }

std::vector<int64_t> drain(AnalyzerInputStream& stream) {
  std::vector<int64_t> starts;
  while (auto input = stream.next()) starts.push_back(input->bufferStartTime.value);
  return starts;
}

TEST(AnalyzerInputStream, DeliversInOrderThenTheEnd) {
  AnalyzerInputStream stream;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(stream.yield(inputAt(i)), AnalyzerInputStream::YieldResult::enqueued);
  stream.finish();
  EXPECT_EQ(drain(stream), (std::vector<int64_t>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(stream.next().has_value()) << "the end stays the end";
}

TEST(AnalyzerInputStream, AFullQueuePushesOutTheOldestWithoutBlocking) {
  AnalyzerInputStream stream(500);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(stream.yield(inputAt(i)), AnalyzerInputStream::YieldResult::enqueued);
  for (int i = 500; i < 520; ++i) EXPECT_EQ(stream.yield(inputAt(i)), AnalyzerInputStream::YieldResult::droppedOldest);
  EXPECT_EQ(stream.waitingCount(), 500u);
  EXPECT_EQ(stream.droppedCount(), 20u);
  stream.finish();
  const auto starts = drain(stream);
  ASSERT_EQ(starts.size(), 500u);
  EXPECT_EQ(starts.front(), 20);
  EXPECT_EQ(starts.back(), 519);
}

TEST(AnalyzerInputStream, InputsAfterTheEndAreDiscarded) {
  AnalyzerInputStream stream;
  stream.yield(inputAt(1));
  stream.finish();
  EXPECT_EQ(stream.yield(inputAt(2)), AnalyzerInputStream::YieldResult::terminated);
  EXPECT_EQ(drain(stream), std::vector<int64_t>{1});
}

TEST(AnalyzerInputStream, AWaitingConsumerWakesForInputAndForTheEnd) {
  AnalyzerInputStream stream;
  std::vector<int64_t> received;
  std::thread consumer([&] { received = drain(stream); });
  stream.yield(inputAt(7));
  stream.yield(inputAt(8));
  stream.finish();
  consumer.join();
  EXPECT_EQ(received, (std::vector<int64_t>{7, 8}));
}

}  // namespace
}  // namespace veskar
