// veskar-transcribe: sends an audio file, or what the sound server records,
// to veskar-speech-helper, the way a host application would, and shows the
// transcript as it forms.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio_devices.h"
#include "audio_file.h"
#include "command_line.h"
#include "file_feed.h"
#include "helper_process.h"
#include "live_feed.h"
#include "pulse_capture.h"
#include "session.h"
#include "transcript_files.h"
#include "transcript_view.h"

namespace veskar::tools {
namespace {

constexpr double kProgressFromSeconds = 15;
const char* const kProgram = "veskar-transcribe";

std::string selfPath(const char* argv0) {
  char buffer[4096];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length > 0) return std::string(buffer, static_cast<std::size_t>(length));
  return argv0;
}

std::string describeInput(const AudioFile& audio, const Options& options) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g kHz", audio.fileSampleRate() / 1000.0);
  std::string text = std::string(rate) + ", " +
                     (audio.fileChannels() == 1 ? std::string("mono")
                      : audio.fileChannels() == 2 ? std::string("stereo")
                                                  : std::to_string(audio.fileChannels()) + " channels");
  if (!audio.formatName().empty()) text += ", " + audio.formatName();
  if (audio.durationSeconds() >= 0) text += ", " + formatDuration(audio.durationSeconds());
  text += options.stereoSources ? "; left to source 0 (user), right to source 1 (meeting)"
          : options.source == 0 ? "; to source 0 (user)"
                                : "; to source 1 (meeting)";
  char speed[48];
  std::snprintf(speed, sizeof speed, "; at %gx real time", options.speed);
  return text + speed;
}

std::string joinSources(const std::vector<int>& sourceIds) {
  std::string text;
  for (const int id : sourceIds) text += (text.empty() ? "" : ",") + std::to_string(id);
  return text;
}

bool colorWanted() {
  const char* noColor = std::getenv("NO_COLOR");
  return noColor == nullptr || *noColor == '\0';
}

int listDevices() {
  try {
    PulseCapture capture(kProgram);
    const std::string text = deviceListText(capture.devices());
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  } catch (const CaptureError& error) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
    return 2;
  }
}

// Starts the helper and runs the session over `feed`.
int transcribe(const Options& options, const std::string& helperPath, FeedKind kind, AudioFeed& feed,
               const std::vector<int>& sourceIds, TranscriptView& view, StandardSink& sink, TranscriptFiles& files) {
  std::vector<std::string> argv{helperPath, "--locale", options.locale, "--sources", joinSources(sourceIds)};
  if (kind == FeedKind::live && sourceIds.size() == 2) {
    // The helper's parser passes over options it does not know.
    argv.insert(argv.end(), {"--echo-cancellation", options.echoCancellation ? "on" : "off"});
  }
  std::unique_ptr<HelperProcess> helper;
  try {
    helper = std::make_unique<HelperProcess>(argv);
  } catch (const HelperProcessError& error) {
    view.close();
    std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
    return 2;
  }
  Session session(kind, sourceIds, feed, *helper, view, sink, files);
  return session.run();
}

int runTool(int argc, char** argv) {
  installSignalHandlers();
  Options options;
  try {
    options = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& error) {
    std::fprintf(stderr, "%s: %s\n(%s --help for the options)\n", kProgram, error.what(), kProgram);
    return 1;
  }
  if (options.help) {
    const std::string text = usageText(kProgram);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }
  if (options.listDevices) return listDevices();

  TranscriptFiles files(options.outputs);
  // The files are written once before the helper starts, empty: a folder
  // that cannot take them fails the run before anything is transcribed.
  const auto writeEmptyFiles = [&] {
    try {
      files.writeAll();
      return true;
    } catch (const TranscriptFileError& error) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
      return false;
    }
  };
  const std::string helperPath = options.helper.empty() ? defaultHelperPath(selfPath(argv[0])) : options.helper;
  StandardSink sink;

  if (options.live) {
    std::unique_ptr<LiveFeed> feed;
    try {
      feed = std::make_unique<LiveFeed>(options);
    } catch (const CaptureError& error) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
      return 2;
    }
    if (!writeEmptyFiles()) return 1;
    TranscriptView view(sink, options.progress, colorWanted());
    std::string what;
    for (const CaptureInput& input : feed->inputs()) {
      what += (what.empty() ? "" : "; ") + speakerName(input.sourceId) + ": " + input.role + " " + input.device +
              (input.description.empty() ? "" : " (" + input.description + ")");
    }
    if (options.liveSources.size() == 2) {
      what += options.echoCancellation ? "; echo cancellation on" : "; echo cancellation off";
    }
    view.notice("recording " + what);
    view.notice(options.seconds ? "stops after " + formatDuration(*options.seconds) + " or at Ctrl-C"
                                : "Ctrl-C stops the recording");
    return transcribe(options, helperPath, FeedKind::live, *feed, options.liveSources, view, sink, files);
  }

  std::unique_ptr<AudioFile> audio;
  try {
    audio = AudioFile::open(options.file, options.stereoSources ? ChannelLayout::splitStereo : ChannelLayout::monoMix);
  } catch (const AudioFileError& error) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
    return 1;
  }
  if (!writeEmptyFiles()) return 1;
  const double duration = audio->durationSeconds();
  const bool longFile = duration < 0 || duration >= kProgressFromSeconds;
  TranscriptView view(sink, options.progress && longFile, colorWanted());
  if (sink.isTerminal(Stream::err)) view.notice(options.file + ": " + describeInput(*audio, options));
  const std::vector<int> sourceIds = options.stereoSources ? std::vector<int>{0, 1} : std::vector<int>{options.source};
  FileFeed feed(options, *audio, sourceIds);
  return transcribe(options, helperPath, FeedKind::file, feed, sourceIds, view, sink, files);
}

}  // namespace
}  // namespace veskar::tools

int main(int argc, char** argv) { return veskar::tools::runTool(argc, argv); }
