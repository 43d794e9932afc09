// Choosing what to record from a server's device list.
#include "audio_devices.h"

#include <gtest/gtest.h>

namespace veskar::tools {
namespace {

DeviceList desktop() {
  DeviceList devices;
  devices.sources = {{"alsa_input.usb-headset", "Headset Microphone", ""},
                     {"alsa_input.pci-analog", "Built-in Microphone", ""},
                     {"alsa_output.usb-headset.monitor", "Monitor of Headset", "alsa_output.usb-headset"},
                     {"alsa_output.pci-analog.monitor", "Monitor of Speakers", "alsa_output.pci-analog"}};
  devices.sinks = {{"alsa_output.usb-headset", "Headset", "alsa_output.usb-headset.monitor"},
                   {"alsa_output.pci-analog", "Speakers", "alsa_output.pci-analog.monitor"}};
  devices.defaultSource = "alsa_input.pci-analog";
  devices.defaultSink = "alsa_output.pci-analog";
  devices.server = "pulseaudio 16.1";
  return devices;
}

TEST(AudioDevices, TheDefaultsAreTheDefaultInputAndTheDefaultOutputsMonitor) {
  struct Case {
    const char* name;
    std::vector<int> sources;
    std::string mic, meeting;
    std::vector<std::pair<int, std::string>> chosen;
  };
  const std::vector<Case> cases = {
      {"defaults", {0, 1}, "", "", {{0, "alsa_input.pci-analog"}, {1, "alsa_output.pci-analog.monitor"}}},
      {"a named microphone", {0, 1}, "alsa_input.usb-headset", "",
       {{0, "alsa_input.usb-headset"}, {1, "alsa_output.pci-analog.monitor"}}},
      {"an output named for the meeting: its monitor", {0, 1}, "", "alsa_output.usb-headset",
       {{0, "alsa_input.pci-analog"}, {1, "alsa_output.usb-headset.monitor"}}},
      {"a monitor named for the meeting", {1}, "", "alsa_output.usb-headset.monitor",
       {{1, "alsa_output.usb-headset.monitor"}}},
      {"an input named for the meeting", {1}, "", "alsa_input.usb-headset", {{1, "alsa_input.usb-headset"}}},
      {"the microphone only", {0}, "", "", {{0, "alsa_input.pci-analog"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<CaptureInput> inputs = chooseDevices(desktop(), c.sources, c.mic, c.meeting);
    std::vector<std::pair<int, std::string>> chosen;
    for (const CaptureInput& input : inputs) chosen.emplace_back(input.sourceId, input.device);
    EXPECT_EQ(chosen, c.chosen);
  }
  const std::vector<CaptureInput> inputs = chooseDevices(desktop(), {0, 1}, "", "");
  EXPECT_EQ(inputs[0].role, "microphone");
  EXPECT_EQ(inputs[0].description, "Built-in Microphone");
  EXPECT_EQ(inputs[1].role, "meeting audio");
  EXPECT_EQ(inputs[1].description, "what Speakers plays");
}

TEST(AudioDevices, WhatIsNotThereIsNamedWithTheWayToTheList) {
  struct Case {
    const char* name;
    DeviceList devices;
    std::vector<int> sources;
    std::string mic, meeting, message;
  };
  DeviceList bare = desktop();
  bare.defaultSource.clear();
  bare.defaultSink.clear();
  DeviceList gone = desktop();
  gone.defaultSource = "alsa_input.unplugged";
  const std::string hint = " (veskar-transcribe --list-devices shows them)";
  const std::vector<Case> cases = {
      {"unknown microphone", desktop(), {0}, "nope", "", "no microphone named 'nope'" + hint},
      {"an output as the microphone", desktop(), {0}, "alsa_output.usb-headset", "",
       "'alsa_output.usb-headset' is an output, not a microphone; --meeting takes outputs" + hint},
      {"unknown meeting", desktop(), {1}, "", "nope", "no output or input named 'nope'" + hint},
      {"no default input", bare, {0}, "", "", "the sound server has no default microphone; name one with --mic" + hint},
      {"no default output", bare, {1}, "", "",
       "the sound server has no default output to record the meeting from; name one with --meeting" + hint},
      {"a default input that is gone", gone, {0}, "", "",
       "the default microphone 'alsa_input.unplugged' is not there" + hint},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      chooseDevices(c.devices, c.sources, c.mic, c.meeting);
      ADD_FAILURE() << "no error";
    } catch (const CaptureError& error) {
      EXPECT_EQ(std::string(error.what()), c.message);
    }
  }
}

TEST(AudioDevices, TheListSetsInputsOutputsAndMonitorsApartAndMarksTheDefaults) {
  const std::string text = deviceListText(desktop());
  const std::size_t inputs = text.find("Microphones");
  const std::size_t outputs = text.find("Outputs");
  const std::size_t monitors = text.find("Monitors");
  ASSERT_LT(inputs, outputs);
  ASSERT_LT(outputs, monitors);
  EXPECT_NE(text.find("  * alsa_input.pci-analog\n        Built-in Microphone\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    alsa_input.usb-headset\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  * alsa_output.pci-analog\n        Speakers\n"), std::string::npos) << text;
  const std::size_t monitor = text.find("alsa_output.usb-headset.monitor");
  EXPECT_GT(monitor, monitors) << "monitors are listed apart from the microphones";
  EXPECT_NE(text.find("Sound server: pulseaudio 16.1"), std::string::npos);
}

}  // namespace
}  // namespace veskar::tools
