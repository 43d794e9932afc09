// veskar-transcribe's command line.
#ifndef VESKAR_TOOLS_COMMAND_LINE_H_
#define VESKAR_TOOLS_COMMAND_LINE_H_

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace veskar::tools {

// The multiples of real time at which files go to the helper by default.
// On a 2-core machine busy with other work the helper decoded one source at
// 5 to 9 times real time (about 0.1 CPU seconds per second of audio), and
// two sources at once at 1.7 to 3.5 times; the defaults leave a quarter to
// a half of that as margin. The sending is held back besides whenever
// decoding falls behind, so a faster --speed costs time, never audio.
inline constexpr double kDefaultSpeed = 4.0;
inline constexpr double kDefaultStereoSpeed = 2.0;

// Live capture sends smaller chunks than files: the words show sooner.
inline constexpr int kDefaultLiveChunkMs = 50;

struct Options {
  std::string file;
  // Live capture instead of a file.
  bool live = false;
  bool listDevices = false;
  std::string mic;      // empty: the default input
  std::string meeting;  // empty: the default output's monitor
  std::vector<int> liveSources{0, 1};
  std::optional<double> seconds;  // stop after this much audio
  bool echoCancellation = true;   // asked of the helper when both sources are live
  // Transcript files, the format by extension.
  std::vector<std::string> outputs;
  std::string helper;  // empty: the default one
  std::string locale = "en_US";
  double speed = kDefaultSpeed;  // 1 with --realtime; kDefaultStereoSpeed with --stereo-sources
  bool stereoSources = false;
  int source = 0;  // where a mono mix goes
  double windowSeconds = 5.0;
  int chunkMs = 100;  // kDefaultLiveChunkMs with --live
  bool progress = true;
  bool help = false;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `args` without the program name. Throws UsageError.
Options parseCommandLine(const std::vector<std::string>& args);

std::string usageText(const std::string& program);

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_COMMAND_LINE_H_
