// Decoding input lines and encoding output events.
#include <benchmark/benchmark.h>

#include "app/input_loop.h"
#include "bench_support.h"
#include "protocol/events.h"
#include "protocol/input_decoder.h"

namespace veskar::bench {
namespace {

// One line as the input loop handles it: UTF-8 check, then JSON decoding.
void BM_DecodeAudioLine(benchmark::State& state) {
  const std::string line = audioLine(0, static_cast<std::size_t>(state.range(0)));
  InputEventDecoder decoder;
  std::string copy;
  for (auto _ : state) {
    copy = line;
    InputEvent event = decodeInputLine(decoder, copy);
    benchmark::DoNotOptimize(event);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
  state.counters["line_bytes"] = static_cast<double>(line.size());
}
BENCHMARK(BM_DecodeAudioLine)->Arg(320)->Arg(1600);  // 20 ms and 100 ms of audio

void BM_EncodeTranscriptEvent(benchmark::State& state) {
  const OutputEvent event{.type = "transcript.upsert",
                          .source_id = 1,
                          .speaker = "meeting",
                          .utterance_id = "native-1-123450",
                          .revision = 4,
                          .text = "so the plan for the next quarter is to ship the helper on 10/11 and then iterate",
                          .is_final = false,
                          .start_ms = 123450,
                          .end_ms = 128990};
  std::string out;
  for (auto _ : state) {
    out.clear();
    encodeOutputEvent(event, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_EncodeTranscriptEvent);

}  // namespace
}  // namespace veskar::bench

BENCHMARK_MAIN();
