// CPU of the echo-cancellation stage per second of audio: runs the stage
// over a microphone and a meeting recording (raw 16 kHz mono int16, as
// bench/echo writes them), interleaved in 100 ms chunks as a live host
// sends them, and prints the thread CPU time it took per second of audio,
// and the share of the time spent cancelling.
//
//   build/bench/echo_stage_bench MICROPHONE.raw MEETING.raw [MEETING_OFFSET_FRAMES]
#include <time.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/echo_cancellation_stage.h"

namespace {

std::vector<int16_t> readRaw(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  }
  return samples;
}

double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MICROPHONE.raw MEETING.raw\n", argv[0]);
    return 2;
  }
  const std::vector<int16_t> microphone = readRaw(argv[1]);
  const std::vector<int16_t> meeting = readRaw(argv[2]);
  if (microphone.empty()) {
    std::fprintf(stderr, "no microphone audio in %s\n", argv[1]);
    return 1;
  }
  veskar::EchoCancellationStage stage(veskar::makeWebRtcEchoCanceller(), {});
  std::vector<int16_t> output;
  output.reserve(microphone.size());
  constexpr std::size_t chunk = 1600;
  std::size_t cancellingChunks = 0;
  const double started = threadSeconds();
  for (std::size_t at = 0; at < std::max(microphone.size(), meeting.size()); at += chunk) {
    if (at < microphone.size()) {
      stage.process(std::span(microphone).subspan(at, std::min(chunk, microphone.size() - at)), output);
    }
    if (at < meeting.size()) {
      stage.processReference(static_cast<int64_t>(at), std::span(meeting).subspan(at, std::min(chunk, meeting.size() - at)),
                             output);
    }
    if (stage.mode() == veskar::EchoCancellationStage::Mode::cancelling) ++cancellingChunks;
  }
  stage.drain(output);
  const double cpu = threadSeconds() - started;
  const double seconds = static_cast<double>(microphone.size()) / 16000;
  std::printf("{\"cpu_ms_per_s\": %.3f, \"cancelling_share\": %.3f, \"frames_in\": %zu, \"frames_out\": %zu}\n",
              1000 * cpu / seconds, static_cast<double>(cancellingChunks * chunk) / static_cast<double>(microphone.size()),
              microphone.size(), output.size());
  return output.size() == microphone.size() ? 0 : 1;
}
