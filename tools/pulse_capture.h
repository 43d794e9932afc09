// Live capture from the sound server through the PulseAudio client library
// (PipeWire desktops serve the same protocol through pipewire-pulse). The
// server is the one the library finds by itself: PULSE_SERVER, the
// user's session, ...; it is never started by us.
//
// The library's own thread delivers each recording into a buffer of its
// own; the owner takes the audio on its thread, woken through wakeFd().
// The buffers are guarded by one mutex; the library's objects by its
// main-loop lock.
#ifndef VESKAR_TOOLS_PULSE_CAPTURE_H_
#define VESKAR_TOOLS_PULSE_CAPTURE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio_devices.h"

namespace veskar::tools {

inline constexpr int kCaptureSampleRate = 16000;

class PulseCapture {
 public:
  // Connects to the sound server. Throws CaptureError when there is none or
  // it does not answer within a few seconds.
  explicit PulseCapture(const std::string& clientName);
  ~PulseCapture();  // ends every recording and the connection
  PulseCapture(const PulseCapture&) = delete;
  PulseCapture& operator=(const PulseCapture&) = delete;

  // The server's devices and defaults. Throws CaptureError.
  DeviceList devices();

  // Starts one recording per input, 16 kHz mono 16-bit (the server
  // converts), delivered in fragments of about `fragmentMs`. Returns once
  // every recording runs. A recording never follows its device elsewhere:
  // when the device goes away, the recording fails. Throws CaptureError.
  // REQUIRES: called once.
  void record(const std::vector<CaptureInput>& inputs, int fragmentMs);

  // Readable while audio or a failure waits to be taken.
  int wakeFd() const;

  // Appends to `audio[i]` (resized to the number of recordings) what
  // recording i delivered since the last call, gaps the server reported
  // filled with silence. Then, when a recording or the connection has
  // failed, throws CaptureError saying which; the audio appended before is
  // complete and valid.
  void take(std::vector<std::vector<int16_t>>& audio);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace veskar::tools

#endif  // VESKAR_TOOLS_PULSE_CAPTURE_H_
