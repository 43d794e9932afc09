#include "pulse_server.h"

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace veskar::testing {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kReady = "Daemon startup complete";

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string rest = path != nullptr ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string dir = rest.substr(0, colon);
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (colon == std::string::npos) break;
    rest.erase(0, colon + 1);
  }
  return false;
}

}  // namespace

PulseServer::PulseServer() {
  for (const char* program : {"pulseaudio", "pactl", "paplay"}) {
    if (!onPath(program)) {
      why_ = std::string(program) + " is not installed (Debian packages pulseaudio and pulseaudio-utils)";
      return;
    }
  }
  const fs::path root = folder_.path();
  for (const char* dir : {"run", "home", "config", "state"}) fs::create_directory(root / dir);
  ::chmod((root / "run").c_str(), 0700);
  const std::string socket = (root / "run" / "native").string();
  environment_ = {{"HOME", (root / "home").string()},
                  {"XDG_RUNTIME_DIR", (root / "run").string()},
                  {"XDG_CONFIG_HOME", (root / "config").string()},
                  {"PULSE_RUNTIME_PATH", (root / "run").string()},
                  {"PULSE_STATE_PATH", (root / "state").string()},
                  {"PULSE_SERVER", "unix:" + socket}};
  const std::string script = (root / "server.pa").string();
  std::ofstream(script) << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket << "\n"
                        << "load-module module-null-sink sink_name=speakers rate=48000 channels=2 "
                           "sink_properties=device.description=Speakers\n"
                        << "load-module module-null-sink sink_name=mic_feed rate=48000 channels=2 "
                           "sink_properties=device.description=Microphone-feed\n"
                        << "load-module module-remap-source source_name=mic master=mic_feed.monitor channels=1 "
                           "channel_map=mono source_properties=device.description=Microphone\n"
                        << "set-default-sink speakers\n"
                        << "set-default-source mic\n";
  std::map<std::string, std::string> serverEnvironment = environment_;
  serverEnvironment.erase("PULSE_SERVER");
  try {
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1",
                                 "--use-pid-file=no", "--system=no", "--realtime=no", "--high-priority=no",
                                 "--disable-shm=yes", "--log-target=stderr", "--log-level=info"},
        serverEnvironment);
  } catch (const std::exception& error) {
    why_ = error.what();
    return;
  }
  // The log is read for as long as the server runs, so that it never
  // blocks on a full pipe; the first sight of the ready line opens the gate.
  auto ready = std::make_shared<std::promise<bool>>();
  std::future<bool> readyFuture = ready->get_future();
  logReader_ = std::jthread([server = server_.get(), ready] {
    bool said = false;
    server->waitFor(
        [&](const std::string&, const std::string& err) {
          if (!said && err.find(kReady) != std::string::npos) {
            said = true;
            ready->set_value(true);
          }
          return false;
        },
        24h);
    if (!said) ready->set_value(false);
  });
  if (readyFuture.wait_for(20s) != std::future_status::ready || !readyFuture.get()) {
    server_->signalGroup(SIGKILL);
    logReader_.join();
    why_ = "the PulseAudio server did not start: " + server_->err().substr(0, 2000);
    return;
  }
  running_ = true;
}

PulseServer::~PulseServer() {
  if (server_) server_->signalGroup(SIGKILL);  // the log reader sees its end
  if (logReader_.joinable()) logReader_.join();
}

std::map<std::string, std::string> PulseServer::clientEnvironment() const { return environment_; }

int PulseServer::run(const std::vector<std::string>& argv, std::string* output) const {
  ChildProcess client(argv, environment_);
  const int status = client.finish(30s);
  if (output != nullptr) *output = client.out() + client.err();
  return status;
}

std::unique_ptr<ChildProcess> PulseServer::play(const std::string& sink, const std::string& wav) const {
  return std::make_unique<ChildProcess>(std::vector<std::string>{"paplay", "--device=" + sink, wav}, environment_);
}

}  // namespace veskar::testing
