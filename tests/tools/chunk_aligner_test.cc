// The aligner on scripted deliveries: each source's samples count up from
// its own base (0, 1000), so a chunk shows which samples it holds; 0 in a
// chunk past the start is silence put in.
#include "chunk_aligner.h"

#include <gtest/gtest.h>

#include <numeric>

namespace veskar::tools {
namespace {

struct Delivery {
  std::size_t slot;
  int count;
};

struct Case {
  const char* name;
  std::size_t sources;
  std::size_t chunk, mostSkew;
  std::vector<Delivery> deliveries;
  // Chunks per source, as [first sample, length] runs; then the rest.
  std::vector<std::vector<std::vector<int16_t>>> chunks;
  std::vector<std::vector<int16_t>> rest;  // empty: none left
  std::vector<int64_t> dropped, filled;
};

std::vector<int16_t> run(int16_t first, int count) {
  std::vector<int16_t> samples(static_cast<std::size_t>(count));
  std::iota(samples.begin(), samples.end(), first);
  return samples;
}

std::vector<int16_t> join(std::vector<int16_t> a, const std::vector<int16_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ChunkAligner, ChunksStartTogetherAndStayInStep) {
  const std::vector<Case> cases = {
      {"one source: whole chunks, then the rest", 1, 4, 100, {{0, 3}, {0, 3}, {0, 3}},
       {{run(1, 4)}, {run(5, 4)}}, {run(9, 1)}, {0}, {0}},
      {"nothing before every source has delivered", 2, 4, 100, {{0, 8}}, {}, {run(1, 8), std::vector<int16_t>(8, 0)},
       {0, 0}, {0, 0}},
      {"the common start keeps the newest audio of the earlier source", 2, 4, 100, {{0, 10}, {1, 4}},
       {{run(7, 4), run(1001, 4)}}, {}, {6, 0}, {0, 0}},
      {"pieces of different sizes make the same chunks", 2, 4, 100, {{0, 2}, {1, 2}, {0, 6}, {1, 3}, {1, 5}},
       {{run(1, 4), run(1001, 4)}, {run(5, 4), run(1005, 4)}}, {std::vector<int16_t>(2, 0), run(1009, 2)}, {0, 0},
       {0, 0}},
      {"a source behind by more than the skew is filled with silence", 2, 4, 6, {{0, 4}, {1, 4}, {0, 12}},
       {{run(1, 4), run(1001, 4)},
        {run(5, 4), std::vector<int16_t>(4, 0)},
        {run(9, 4), std::vector<int16_t>(4, 0)},
        {run(13, 4), std::vector<int16_t>(4, 0)}},
       {}, {0, 0}, {0, 12}},
      {"within the skew nothing is filled", 2, 4, 6, {{0, 4}, {1, 4}, {0, 6}},
       {{run(1, 4), run(1001, 4)}}, {run(5, 6), std::vector<int16_t>(6, 0)}, {0, 0}, {0, 0}},
      {"the rest pads the shorter source", 2, 4, 100, {{0, 2}, {1, 2}, {1, 1}}, {},
       {join(run(1, 2), {0}), run(1001, 3)}, {0, 0}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChunkAligner aligner(c.sources, c.chunk, c.mostSkew);
    std::vector<int16_t> next(c.sources, 1);  // the next sample value per source
    for (std::size_t s = 1; s < c.sources; ++s) next[s] = static_cast<int16_t>(1000 * s + 1);
    std::vector<std::vector<std::vector<int16_t>>> chunks;
    std::vector<std::vector<int16_t>> chunk;
    for (const Delivery& d : c.deliveries) {
      aligner.add(d.slot, run(next[d.slot], d.count));
      next[d.slot] = static_cast<int16_t>(next[d.slot] + d.count);
      while (aligner.next(chunk)) chunks.push_back(chunk);
    }
    EXPECT_EQ(chunks, c.chunks);
    std::vector<std::vector<int16_t>> rest;
    EXPECT_EQ(aligner.rest(rest), !c.rest.empty());
    if (!c.rest.empty()) {
      EXPECT_EQ(rest, c.rest);
    }
    EXPECT_FALSE(aligner.rest(rest)) << "the rest is taken once";
    for (std::size_t s = 0; s < c.sources; ++s) {
      SCOPED_TRACE(s);
      EXPECT_EQ(aligner.droppedFrames(s), c.dropped[s]);
      EXPECT_EQ(aligner.filledFrames(s), c.filled[s]);
    }
  }
}

}  // namespace
}  // namespace veskar::tools
