// The sound server's devices as veskar-transcribe sees them, and the choice
// of what to record for each source: the microphone (source 0) and the
// monitor of the speakers, which records what the computer plays (source 1).
#ifndef VESKAR_TOOLS_AUDIO_DEVICES_H_
#define VESKAR_TOOLS_AUDIO_DEVICES_H_

#include <stdexcept>
#include <string>
#include <vector>

namespace veskar::tools {

// A failure of the sound server, a device or a recording; what() says which
// and why, for people.
class CaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct AudioDevice {
  std::string name;
  std::string description;
  // Sinks: the source that records what the sink plays. Sources: the sink
  // this source monitors, empty for microphones and other inputs.
  std::string monitor;
};

struct DeviceList {
  std::vector<AudioDevice> sources;  // inputs, monitors included
  std::vector<AudioDevice> sinks;    // outputs
  std::string defaultSource;
  std::string defaultSink;
  std::string server;  // the server's name and version, for messages
};

// One recording: which device feeds which helper source.
struct CaptureInput {
  int sourceId = 0;
  std::string device;       // the source to record
  std::string description;  // the device as people know it
  std::string role;         // "microphone" or "meeting audio"
};

// The recordings for `sourceIds` (0, 1 or both, in that order). `mic` names
// a source, `meeting` a sink (its monitor is recorded) or a source; empty
// names take the defaults. Throws CaptureError naming what is missing.
std::vector<CaptureInput> chooseDevices(const DeviceList& devices, const std::vector<int>& sourceIds,
                                        const std::string& mic, const std::string& meeting);

// The listing of --list-devices.
std::string deviceListText(const DeviceList& devices);

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_AUDIO_DEVICES_H_
