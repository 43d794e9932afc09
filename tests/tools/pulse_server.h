// A real PulseAudio server for one test, headless and private: its own
// runtime and state folders, its own socket, and only the modules named
// here. Two null sinks stand in for a desktop's devices: "speakers", the
// default output, whose monitor records what is played (the meeting); and
// "mic_feed", remapped as the source "mic", the default input (what is
// played into mic_feed is what the microphone hears).
#ifndef VESKAR_TESTS_TOOLS_PULSE_SERVER_H_
#define VESKAR_TESTS_TOOLS_PULSE_SERVER_H_

#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "support/temp_folder.h"

namespace veskar::testing {

class PulseServer {
 public:
  // Starts the server and waits until it says it is ready. When it cannot
  // start (not installed, refused), running() is false and why() says why.
  PulseServer();
  ~PulseServer();  // stops the server
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  bool running() const { return running_; }
  const std::string& why() const { return why_; }

  // What a client needs to find this server and nothing else.
  std::map<std::string, std::string> clientEnvironment() const;

  // Runs a client program (pactl, ...) to its end; its exit status.
  int run(const std::vector<std::string>& argv, std::string* output = nullptr) const;
  // Starts playing `wav` into `sink`; done when the process has ended.
  std::unique_ptr<ChildProcess> play(const std::string& sink, const std::string& wav) const;

  const TempFolder& folder() const { return folder_; }

 private:
  TempFolder folder_;
  std::map<std::string, std::string> environment_;
  std::unique_ptr<ChildProcess> server_;
  std::jthread logReader_;
  bool running_ = false;
  std::string why_;
};

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_TOOLS_PULSE_SERVER_H_
