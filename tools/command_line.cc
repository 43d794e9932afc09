#include "command_line.h"

#include <charconv>
#include <cmath>

#include "transcript_files.h"

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
  bool realtime = false, speedGiven = false, chunkGiven = false, fileOnlyGiven = false;
  std::string liveOnly;  // the first live option given
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
      fileOnlyGiven = true;
    } else if (name == "--speed") {
      options.speed = parseNumber(name, takeValue(), 0.1, 1000, "0.1 to 1000");
      speedGiven = true;
      fileOnlyGiven = true;
    } else if (name == "--stereo-sources") {
      noValue();
      options.stereoSources = true;
      fileOnlyGiven = true;
    } else if (name == "--source") {
      const std::string text = takeValue();
      if (text != "0" && text != "1") throw UsageError("--source is 0 (user) or 1 (meeting), not '" + text + "'");
      options.source = text == "1" ? 1 : 0;
      fileOnlyGiven = true;
    } else if (name == "--window") {
      options.windowSeconds = parseNumber(name, takeValue(), 0.5, 30, "0.5 to 30");
      fileOnlyGiven = true;
    } else if (name == "--chunk-ms") {
      options.chunkMs = static_cast<int>(parseNumber(name, takeValue(), 10, 1000, "10 to 1000"));
      chunkGiven = true;
    } else if (name == "--live") {
      noValue();
      options.live = true;
    } else if (name == "--list-devices") {
      noValue();
      options.listDevices = true;
    } else if (name == "--mic" || name == "--meeting") {
      std::string& device = name == "--mic" ? options.mic : options.meeting;
      device = takeValue();
      if (device.empty()) throw UsageError(name + " needs a device name");
      if (liveOnly.empty()) liveOnly = name;
    } else if (name == "--sources") {
      const std::string text = takeValue();
      if (text == "0" || text == "1") {
        options.liveSources = {text == "1" ? 1 : 0};
      } else if (text == "0,1" || text == "1,0") {
        options.liveSources = {0, 1};
      } else {
        throw UsageError("--sources is 0 (the microphone), 1 (the meeting) or 0,1, not '" + text + "'");
      }
      if (liveOnly.empty()) liveOnly = name;
    } else if (name == "--seconds") {
      options.seconds = parseNumber(name, takeValue(), 0.1, 1e7, "0.1 to 10000000");
      if (liveOnly.empty()) liveOnly = name;
    } else if (name == "--no-echo-cancellation") {
      noValue();
      options.echoCancellation = false;
      if (liveOnly.empty()) liveOnly = name;
    } else if (name == "--output" || name == "-o") {
      std::string path = takeValue();
      if (!formatOfPath(path)) {
        throw UsageError(name + " takes a file ending in .txt, .srt, .vtt or .json, not '" + path + "'");
      }
      options.outputs.push_back(std::move(path));
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
  if (options.help || options.listDevices) return options;
  if (options.live) {
    if (!options.file.empty()) throw UsageError("--live records the sound server; it takes no audio file");
    if (fileOnlyGiven) throw UsageError("--realtime, --speed, --stereo-sources, --source and --window are for files, not --live");
    if (!chunkGiven) options.chunkMs = kDefaultLiveChunkMs;
    if (options.chunkMs < 20 || options.chunkMs > 100) throw UsageError("--chunk-ms with --live takes 20 to 100");
    return options;
  }
  if (!liveOnly.empty()) throw UsageError(liveOnly + " is for --live");
  if (realtime && speedGiven) throw UsageError("--realtime and --speed exclude each other");
  if (realtime) options.speed = 1.0;
  if (!realtime && !speedGiven && options.stereoSources) options.speed = kDefaultStereoSpeed;
  if (options.stereoSources && options.source != 0) throw UsageError("--source is for mono mixes, not --stereo-sources");
  if (options.file.empty()) throw UsageError("no audio file given (or --live to record the sound server)");
  return options;
}

std::string usageText(const std::string& program) {
  return "usage: " + program + R"( [options] FILE
       )" + program + R"( --live [options]
       )" + program + R"( --list-devices

Sends audio to veskar-speech-helper and shows the transcript as it forms:
from a file (WAV, FLAC, OGG, ...; any rate and channel count is converted to
16 kHz mono), or live from the sound server (PulseAudio, or PipeWire through
pipewire-pulse): your microphone as "You" (source 0) and what the computer
plays, the meeting, as "Meeting" (source 1). In a terminal, partial results
revise in place and finals stay, in the order they began. When standard
output is not a terminal, each final is one line as soon as it comes:
  [mm:ss.cc] speaker: text

Transcribing a meeting live on a Linux desktop:
  )" + program + R"( --live -o meeting.txt -o meeting.srt
Join the call as usual (headphones or speakers), start this, and press
Ctrl-C when the meeting ends: the last words are finished, the files
written, and a summary shown. The status line shows the time, the level of
each input (a flat meter is a silent or muted microphone) and how far
recognition lags. --list-devices shows what --mic and --meeting can name.

options:
  -o, --output FILE  also write the transcript to FILE; the format by its
                     extension: .txt (a line per utterance), .srt or .vtt
                     (subtitles, a cue per utterance), .json (an array of
                     utterances). Repeatable. Written whole each time
                     (never half a file); live, re-written as finals come
  --helper PATH      the helper to run (default: veskar-speech-helper next to
                     this program, or in the folder above it, or the
                     installed one, or on PATH)
  --locale LOCALE    the recognition locale (default en_US)
  --chunk-ms N       audio per input line: 10 to 1000 ms for files (default
                     100); 20 to 100 ms live (default )" +
         std::to_string(kDefaultLiveChunkMs) + R"()
  --no-progress      no progress bar or status line
  -h, --help         this text

live:
  --live             record the sound server until Ctrl-C or --seconds
  --mic NAME         the microphone (an input; default: the server's default)
  --meeting NAME     the meeting: an output, whose sound is recorded through
                     its monitor, or an input (default: the default output)
  --sources 0|1|0,1  record the microphone only (0), the meeting only (1),
                     or both (default 0,1)
  --seconds N        stop after N seconds of audio
  --no-echo-cancellation
                     with both sources, the helper removes the meeting's
                     sound from the microphone (its echo from speakers);
                     turn that off on headphones or when the desktop
                     already cancels echo
  --list-devices     list the inputs and outputs and exit
  The server is the one of your session, or PULSE_SERVER's.

files:
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

The helper keeps at most 500 waiting chunks per source and drops the oldest
when recognition falls behind; a file is paced and held back so that this
does not happen, and the summary says if it may have.

Ctrl-C stops the audio and lets the helper finish what it was sent (its
words are kept); a second Ctrl-C stops at once.

Exit status: 0 when the transcript is complete (live: also after Ctrl-C or
--seconds); 1 for a bad command line, an unreadable file or a transcript
file that cannot be written; 2 when the sound server, a device, or the
helper failed (what was transcribed until then is kept); 130 when a file
was interrupted.
)";
}

}  // namespace veskar::tools
