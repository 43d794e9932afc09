#include "command_line.h"

#include <charconv>
#include <cmath>

namespace veskar::tools {

namespace {

// `range` names the bounds for the message, as "0.1 to 1000".
double parseNumber(const std::string& option, const std::string& text, double low, double high, const char* range) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || ptr != end || !std::isfinite(value) || value < low || value > high) {
    throw UsageError(option + " takes a number from " + range + ", not '" + text + "'");
  }
  return value;
}

std::string formatSpeed(double speed) {
  std::string text = std::to_string(speed);
  text.erase(text.find_last_not_of('0') + 1);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

Options parseCommandLine(const std::vector<std::string>& args) {
  Options options;
  bool realtime = false, speedGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string name = arg, value;
    bool inlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      const std::size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        inlineValue = true;
      }
    }
    auto takeValue = [&]() -> std::string {
      if (inlineValue) return value;
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      return args[++i];
    };
    auto noValue = [&] {
      if (inlineValue) throw UsageError(name + " takes no value");
    };

    if (name == "-h" || name == "--help") {
      noValue();
      options.help = true;
    } else if (name == "--helper") {
      options.helper = takeValue();
      if (options.helper.empty()) throw UsageError("--helper needs a path");
    } else if (name == "--locale") {
      options.locale = takeValue();
    } else if (name == "--realtime") {
      noValue();
      realtime = true;
    } else if (name == "--speed") {
      options.speed = parseNumber(name, takeValue(), 0.1, 1000, "0.1 to 1000");
      speedGiven = true;
    } else if (name == "--stereo-sources") {
      noValue();
      options.stereoSources = true;
    } else if (name == "--source") {
      const std::string text = takeValue();
      if (text != "0" && text != "1") throw UsageError("--source is 0 (user) or 1 (meeting), not '" + text + "'");
      options.source = text == "1" ? 1 : 0;
    } else if (name == "--window") {
      options.windowSeconds = parseNumber(name, takeValue(), 0.5, 30, "0.5 to 30");
    } else if (name == "--chunk-ms") {
      options.chunkMs = static_cast<int>(parseNumber(name, takeValue(), 10, 1000, "10 to 1000"));
    } else if (name == "--no-progress") {
      noValue();
      options.progress = false;
    } else if (arg == "-") {
      throw UsageError("reading audio from standard input is not supported; name a file");
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      throw UsageError("unknown option " + arg);
    } else {
      if (arg == "--") {
        if (i + 1 >= args.size()) break;
        ++i;
      }
      if (!options.file.empty()) throw UsageError("one audio file at a time");
      options.file = args[i];
    }
  }
  if (realtime && speedGiven) throw UsageError("--realtime and --speed exclude each other");
  if (realtime) options.speed = 1.0;
  if (!realtime && !speedGiven && options.stereoSources) options.speed = kDefaultStereoSpeed;
  if (options.stereoSources && options.source != 0) throw UsageError("--source is for mono mixes, not --stereo-sources");
  if (!options.help && options.file.empty()) throw UsageError("no audio file given");
  return options;
}

std::string usageText(const std::string& program) {
  return "usage: " + program + R"( [options] FILE

Streams an audio file (WAV, FLAC, OGG, ...) to veskar-speech-helper and shows
the transcript as it forms. Any rate and channel count is converted to 16 kHz
mono. Finals stay; in a terminal, partial results revise in place. When
standard output is not a terminal, each final is one line:
  [mm:ss.cc] speaker: text

options:
  --helper PATH      the helper to run (default: veskar-speech-helper next to
                     this program, or in the folder above it, or the
                     installed one, or on PATH)
  --locale LOCALE    the recognition locale (default en_US)
  --realtime         send the audio at its own pace, as live capture would
  --speed X          send the audio at X times real time (default )" +
         formatSpeed(kDefaultSpeed) + R"(;
                     )" + formatSpeed(kDefaultStereoSpeed) + R"( with --stereo-sources)
  --stereo-sources   a stereo file's left channel is source 0 (user), its
                     right channel source 1 (meeting)
  --source N         the source a mono mix goes to: 0 (user, default) or
                     1 (meeting)
  --window SECONDS   send at most this much audio beyond what the helper has
                     shown it decoded (default 5)
  --chunk-ms N       audio per input line, 10 to 1000 ms (default 100)
  --no-progress      no progress bar
  -h, --help         this text

The helper keeps at most 500 waiting chunks per source and drops the oldest
when recognition falls behind; the sending is paced and held back so that
this does not happen, and the summary says if it may have.

Exit status: 0 when the transcript is complete; 1 for a bad command line or
an unreadable file; 2 when the helper failed to start, failed, or died.
)";
}

}  // namespace veskar::tools
