#include "audio_devices.h"

#include <algorithm>

namespace veskar::tools {

namespace {

const AudioDevice* findByName(const std::vector<AudioDevice>& devices, const std::string& name) {
  const auto it = std::find_if(devices.begin(), devices.end(), [&](const AudioDevice& d) { return d.name == name; });
  return it == devices.end() ? nullptr : &*it;
}

constexpr const char* kListHint = " (veskar-transcribe --list-devices shows them)";

CaptureInput chooseMicrophone(const DeviceList& devices, const std::string& mic) {
  const std::string name = mic.empty() ? devices.defaultSource : mic;
  if (name.empty()) throw CaptureError("the sound server has no default microphone; name one with --mic" + std::string(kListHint));
  const AudioDevice* source = findByName(devices.sources, name);
  if (source == nullptr) {
    if (!mic.empty() && findByName(devices.sinks, mic) != nullptr) {
      throw CaptureError("'" + mic + "' is an output, not a microphone; --meeting takes outputs" + kListHint);
    }
    throw CaptureError(mic.empty() ? "the default microphone '" + name + "' is not there" + kListHint
                                   : "no microphone named '" + mic + "'" + kListHint);
  }
  return CaptureInput{0, source->name, source->description, "microphone"};
}

CaptureInput chooseMeeting(const DeviceList& devices, const std::string& meeting) {
  if (meeting.empty()) {
    if (devices.defaultSink.empty()) {
      throw CaptureError("the sound server has no default output to record the meeting from; name one with --meeting" +
                         std::string(kListHint));
    }
    const AudioDevice* sink = findByName(devices.sinks, devices.defaultSink);
    if (sink == nullptr || sink->monitor.empty()) {
      throw CaptureError("the default output '" + devices.defaultSink + "' has no monitor to record" + kListHint);
    }
    return CaptureInput{1, sink->monitor, "what " + sink->description + " plays", "meeting audio"};
  }
  if (const AudioDevice* sink = findByName(devices.sinks, meeting)) {
    if (sink->monitor.empty()) throw CaptureError("the output '" + meeting + "' has no monitor to record" + kListHint);
    return CaptureInput{1, sink->monitor, "what " + sink->description + " plays", "meeting audio"};
  }
  if (const AudioDevice* source = findByName(devices.sources, meeting)) {
    return CaptureInput{1, source->name, source->description, "meeting audio"};
  }
  throw CaptureError("no output or input named '" + meeting + "'" + kListHint);
}

}  // namespace

std::vector<CaptureInput> chooseDevices(const DeviceList& devices, const std::vector<int>& sourceIds,
                                        const std::string& mic, const std::string& meeting) {
  std::vector<CaptureInput> inputs;
  for (const int id : sourceIds) inputs.push_back(id == 0 ? chooseMicrophone(devices, mic) : chooseMeeting(devices, meeting));
  return inputs;
}

std::string deviceListText(const DeviceList& devices) {
  std::string text;
  const auto row = [&](const AudioDevice& device, bool isDefault) {
    text += isDefault ? "  * " : "    ";
    text += device.name;
    if (!device.description.empty()) text += "\n        " + device.description;
    text += "\n";
  };
  text += "Microphones and other inputs (--mic NAME; * the default, recorded as source 0, \"You\"):\n";
  int inputs = 0;
  for (const AudioDevice& source : devices.sources) {
    if (!source.monitor.empty()) continue;
    row(source, source.name == devices.defaultSource);
    ++inputs;
  }
  if (inputs == 0) text += "    (none)\n";
  text += "\nOutputs (--meeting NAME; * the default, whose sound is recorded as source 1, \"Meeting\"):\n";
  for (const AudioDevice& sink : devices.sinks) row(sink, sink.name == devices.defaultSink);
  if (devices.sinks.empty()) text += "    (none)\n";
  int monitors = 0;
  for (const AudioDevice& source : devices.sources) monitors += source.monitor.empty() ? 0 : 1;
  if (monitors > 0) {
    text += "\nMonitors (what an output plays; --meeting or --mic take these names too):\n";
    for (const AudioDevice& source : devices.sources) {
      if (!source.monitor.empty()) row(source, source.name == devices.defaultSource);
    }
  }
  if (!devices.server.empty()) text += "\nSound server: " + devices.server + "\n";
  return text;
}

}  // namespace veskar::tools
