// Ingestion throughput: audio lines through decoding, Base64, conversion and
// queueing into a source's input stream, over an engine that discards its
// input. Reported as multiples of real time (audio seconds per wall second).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include "app/input_loop.h"
#include "bench_support.h"
#include "coordination/coordinator.h"
#include "protocol/input_decoder.h"

namespace veskar::bench {
namespace {

class NullTranscriber final : public SpeechTranscriber {
 public:
  ResultSequence& results() override { return channel; }
  ResultChannel channel;
};

class NullAnalyzer final : public SpeechAnalyzer {
 public:
  explicit NullAnalyzer(std::shared_ptr<NullTranscriber> t) : transcriber_(std::move(t)) {}
  void prepareToAnalyze(const AudioFormat&) override {}
  void start(std::shared_ptr<InputSequence> inputs) override {
    while (inputs->next()) {
    }
    transcriber_->channel.finish();
  }
  void finalizeAndFinishThroughEndOfInput() override {}

 private:
  std::shared_ptr<NullTranscriber> transcriber_;
};

class NullEngine final : public SpeechEngine {
 public:
  explicit NullEngine(AudioFormat format) : format_(format) {}
  bool isAvailable() override { return true; }
  std::optional<Locale> supportedLocale(const Locale& l) override { return l; }
  std::shared_ptr<SpeechTranscriber> makeTranscriber(const Locale&, TranscriptionPreset) override {
    return std::make_shared<NullTranscriber>();
  }
  AssetStatus assetStatus(const Modules&) override { return AssetStatus::installed; }
  std::optional<AssetInstallationRequest> assetInstallationRequest(const Modules&) override { return std::nullopt; }
  bool reserve(const Locale&) override { return true; }
  std::optional<AudioFormat> bestAvailableAudioFormat(const Modules&) override { return format_; }
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const Modules& m, const SpeechAnalyzerOptions&) override {
    return std::make_shared<NullAnalyzer>(std::static_pointer_cast<NullTranscriber>(m.at(0)));
  }

 private:
  AudioFormat format_;
};

void runIngestion(benchmark::State& state, const AudioFormat& target) {
  const auto frames = static_cast<std::size_t>(state.range(0));
  const std::string line = audioLine(0, frames);
  NullEngine engine(target);
  // Lines go to /dev/null: only "stream.ready" is written.
  static OutputSink devNull(::open("/dev/null", O_WRONLY), OutputSink::OnClosed::discard);
  Coordinator coordinator(engine, devNull);
  coordinator.start(Locale{"en_US"}, {0});
  InputEventDecoder decoder;
  std::string copy;
  for (auto _ : state) {
    copy = line;
    benchmark::DoNotOptimize(coordinator.consume(decodeInputLine(decoder, copy)));
  }
  coordinator.consume(InputEvent{"finish", {}, {}, {}, {}});
  const double audioSeconds = static_cast<double>(state.iterations() * frames) / 16000.0;
  state.counters["x_realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
  state.SetItemsProcessed(state.iterations());
}

void BM_Ingest16kInt16(benchmark::State& state) {
  runIngestion(state, *AudioFormat::make(SampleType::int16, 16000.0, 1, false));
}
void BM_Ingest48kFloat32(benchmark::State& state) {
  runIngestion(state, *AudioFormat::make(SampleType::float32, 48000.0, 1, false));
}
BENCHMARK(BM_Ingest16kInt16)->Arg(320)->Arg(1600)->UseRealTime();
BENCHMARK(BM_Ingest48kFloat32)->Arg(320)->Arg(1600)->UseRealTime();

}  // namespace
}  // namespace veskar::bench

BENCHMARK_MAIN();
