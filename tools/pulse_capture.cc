#include "pulse_capture.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <mutex>

namespace veskar::tools {

namespace {

// How long the server may take to answer a connection, a query or the
// start of a recording.
constexpr pa_usec_t kAnswerTimeout = 5 * PA_USEC_PER_SEC;

}  // namespace

struct PulseCapture::Impl {
  struct Recording {
    Impl* owner = nullptr;
    CaptureInput input;
    // Under the main-loop lock.
    pa_stream* stream = nullptr;
    bool running = false;
    // Guarded by owner->mutex.
    std::vector<int16_t> delivered;
    std::string failure;
  };

  // Constant after construction.
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  int wakeFd = -1;

  // Filled by record(), then constant.
  std::vector<std::unique_ptr<Recording>> recordings;
  // Under the main-loop lock.
  bool connected = false;
  bool answerOverdue = false;

  // Guarded by mutex: what the library's thread hands to the owner.
  std::mutex mutex;
  std::string connectionFailure;

  ~Impl();
  void wake() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
  }
  std::string error() const { return pa_strerror(pa_context_errno(context)); }
  // Waits (with the main-loop lock held) until `done` or the answer timeout;
  // false on timeout. The lock is released while waiting so that the
  // library's thread can run the callbacks that make `done` true.
  bool waitFor(const std::function<bool()>& done);
  // Runs `operation` to its end; throws CaptureError naming `what`.
  void finish(pa_operation* operation, const char* what);
};

PulseCapture::Impl::~Impl() {
  if (loop != nullptr) {
    pa_threaded_mainloop_lock(loop);
    for (const auto& recording : recordings) {
      if (recording->stream == nullptr) continue;
      pa_stream_set_state_callback(recording->stream, nullptr, nullptr);
      pa_stream_set_read_callback(recording->stream, nullptr, nullptr);
      pa_stream_disconnect(recording->stream);
      pa_stream_unref(recording->stream);
    }
    if (context != nullptr) {
      pa_context_set_state_callback(context, nullptr, nullptr);
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
    pa_threaded_mainloop_unlock(loop);
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
  }
  if (wakeFd >= 0) ::close(wakeFd);
}

bool PulseCapture::Impl::waitFor(const std::function<bool()>& done) {
  answerOverdue = false;
  pa_time_event* timer = pa_context_rttime_new(
      context, pa_rtclock_now() + kAnswerTimeout,
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        Impl* self = static_cast<Impl*>(userdata);
        self->answerOverdue = true;
        pa_threaded_mainloop_signal(self->loop, 0);
      },
      this);
  while (!done() && !answerOverdue) pa_threaded_mainloop_wait(loop);
  if (timer != nullptr) pa_threaded_mainloop_get_api(loop)->time_free(timer);
  return done();
}

void PulseCapture::Impl::finish(pa_operation* operation, const char* what) {
  if (operation == nullptr) throw CaptureError(std::string("the sound server refused ") + what + ": " + error());
  const bool done = waitFor([&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
  pa_operation_unref(operation);
  if (!done) throw CaptureError(std::string("the sound server did not answer ") + what);
}

namespace {

// Holds the main-loop lock for a scope.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

std::string serverHint() {
  const char* server = std::getenv("PULSE_SERVER");
  std::string hint = server != nullptr && *server != '\0' ? std::string(" at ") + server : std::string();
  return hint;
}

}  // namespace

PulseCapture::PulseCapture(const std::string& clientName) : impl_(std::make_unique<Impl>()) {
  Impl& impl = *impl_;
  impl.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (impl.wakeFd < 0) throw CaptureError("cannot make an event descriptor for the capture");
  impl.loop = pa_threaded_mainloop_new();
  if (impl.loop == nullptr) throw CaptureError("cannot make the sound server's main loop");
  impl.context = pa_context_new(pa_threaded_mainloop_get_api(impl.loop), clientName.c_str());
  if (impl.context == nullptr) throw CaptureError("cannot make a sound server connection");
  pa_context_set_state_callback(
      impl.context,
      [](pa_context* context, void* userdata) {
        Impl* self = static_cast<Impl*>(userdata);
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) self->connected = true;
        if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && self->connected) {
          {
            std::lock_guard lock(self->mutex);
            self->connectionFailure = "lost the connection to the sound server: " + self->error();
          }
          self->wake();
        }
        pa_threaded_mainloop_signal(self->loop, 0);
      },
      &impl);

  // The library's thread takes no signals: they stay with the tool's loop,
  // whose waits they must interrupt.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  const int started = pa_threaded_mainloop_start(impl.loop);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started < 0) throw CaptureError("cannot start the sound server's main loop");

  LoopLock lock(impl.loop);
  // Never start a sound server of our own: a missing one is the user's to know.
  if (pa_context_connect(impl.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    throw CaptureError("cannot connect to the sound server" + serverHint() + ": " + impl.error() +
                       " (is PulseAudio, or PipeWire with pipewire-pulse, running?)");
  }
  const bool answered = impl.waitFor([&] {
    const pa_context_state_t state = pa_context_get_state(impl.context);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
  });
  if (pa_context_get_state(impl.context) != PA_CONTEXT_READY) {
    throw CaptureError("cannot connect to the sound server" + serverHint() + ": " +
                       (answered ? impl.error() : std::string("no answer")) +
                       " (is PulseAudio, or PipeWire with pipewire-pulse, running?)");
  }
}

PulseCapture::~PulseCapture() = default;

DeviceList PulseCapture::devices() {
  Impl& impl = *impl_;
  DeviceList list;
  LoopLock lock(impl.loop);
  struct Query {
    Impl* impl;
    DeviceList* list;
  } query{&impl, &list};
  impl.finish(pa_context_get_server_info(
                  impl.context,
                  [](pa_context*, const pa_server_info* info, void* userdata) {
                    auto* q = static_cast<Query*>(userdata);
                    if (info != nullptr) {
                      q->list->defaultSource = info->default_source_name != nullptr ? info->default_source_name : "";
                      q->list->defaultSink = info->default_sink_name != nullptr ? info->default_sink_name : "";
                      q->list->server = std::string(info->server_name != nullptr ? info->server_name : "?") + " " +
                                        (info->server_version != nullptr ? info->server_version : "");
                    }
                    pa_threaded_mainloop_signal(q->impl->loop, 0);
                  },
                  &query),
              "the server information");
  impl.finish(pa_context_get_source_info_list(
                  impl.context,
                  [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                    auto* q = static_cast<Query*>(userdata);
                    if (eol == 0 && info != nullptr) {
                      q->list->sources.push_back(AudioDevice{
                          info->name, info->description != nullptr ? info->description : "",
                          info->monitor_of_sink != PA_INVALID_INDEX && info->monitor_of_sink_name != nullptr
                              ? info->monitor_of_sink_name
                              : ""});
                    }
                    pa_threaded_mainloop_signal(q->impl->loop, 0);
                  },
                  &query),
              "the list of inputs");
  impl.finish(pa_context_get_sink_info_list(
                  impl.context,
                  [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
                    auto* q = static_cast<Query*>(userdata);
                    if (eol == 0 && info != nullptr) {
                      q->list->sinks.push_back(AudioDevice{info->name,
                                                           info->description != nullptr ? info->description : "",
                                                           info->monitor_source_name != nullptr ? info->monitor_source_name : ""});
                    }
                    pa_threaded_mainloop_signal(q->impl->loop, 0);
                  },
                  &query),
              "the list of outputs");
  return list;
}

namespace {

std::string describeFailure(const CaptureInput& input, int error) {
  const std::string what = "the " + input.role + " '" + input.device + "'";
  if (error == PA_ERR_KILLED || error == PA_ERR_NOENTITY) {
    return what + " went away (" + pa_strerror(error) + ")";
  }
  return "recording " + what + " failed: " + pa_strerror(error);
}

}  // namespace

void PulseCapture::record(const std::vector<CaptureInput>& inputs, int fragmentMs) {
  Impl& impl = *impl_;
  using Recording = Impl::Recording;
  LoopLock lock(impl.loop);
  const pa_sample_spec spec{PA_SAMPLE_S16LE, kCaptureSampleRate, 1};
  pa_channel_map mono;
  pa_channel_map_init_mono(&mono);
  for (const CaptureInput& input : inputs) {
    auto recording = std::make_unique<Recording>();
    recording->owner = &impl;
    recording->input = input;
    const std::string name = "veskar-transcribe " + input.role;
    recording->stream = pa_stream_new(impl.context, name.c_str(), &spec, &mono);
    if (recording->stream == nullptr) throw CaptureError("cannot make a recording: " + impl.error());
    pa_stream_set_state_callback(
        recording->stream,
        [](pa_stream* stream, void* userdata) {
          auto* r = static_cast<Recording*>(userdata);
          const pa_stream_state_t state = pa_stream_get_state(stream);
          if (state == PA_STREAM_READY) r->running = true;
          if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && r->running) {
            {
              std::lock_guard lock(r->owner->mutex);
              r->failure = describeFailure(r->input, pa_context_errno(pa_stream_get_context(stream)));
            }
            r->owner->wake();
          }
          pa_threaded_mainloop_signal(r->owner->loop, 0);
        },
        recording.get());
    pa_stream_set_read_callback(
        recording->stream,
        [](pa_stream* stream, size_t, void* userdata) {
          auto* r = static_cast<Recording*>(userdata);
          const void* data = nullptr;
          size_t bytes = 0;
          bool delivered = false;
          while (pa_stream_readable_size(stream) > 0) {
            if (pa_stream_peek(stream, &data, &bytes) < 0) {
              std::lock_guard lock(r->owner->mutex);
              r->failure = describeFailure(r->input, pa_context_errno(pa_stream_get_context(stream)));
              delivered = true;  // the failure is news too
              break;
            }
            if (bytes == 0) break;
            {
              std::lock_guard lock(r->owner->mutex);
              const std::size_t samples = bytes / sizeof(int16_t);
              if (data == nullptr) {
                r->delivered.insert(r->delivered.end(), samples, 0);  // a gap: silence keeps the timeline
              } else {
                const auto* first = static_cast<const int16_t*>(data);
                r->delivered.insert(r->delivered.end(), first, first + samples);
              }
            }
            pa_stream_drop(stream);
            delivered = true;
          }
          if (delivered) r->owner->wake();
        },
        recording.get());
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(kCaptureSampleRate * sizeof(int16_t) * fragmentMs / 1000);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(recording->stream, input.device.c_str(), &attributes, flags) < 0) {
      throw CaptureError(describeFailure(input, pa_context_errno(impl.context)));
    }
    impl.recordings.push_back(std::move(recording));
  }
  for (const auto& recording : impl.recordings) {
    const bool answered = impl.waitFor([&] {
      const pa_stream_state_t state = pa_stream_get_state(recording->stream);
      return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    });
    if (pa_stream_get_state(recording->stream) != PA_STREAM_READY) {
      throw CaptureError(answered ? describeFailure(recording->input, pa_context_errno(impl.context))
                                  : "the sound server did not start recording the " + recording->input.role + " '" +
                                        recording->input.device + "'");
    }
  }
}

int PulseCapture::wakeFd() const { return impl_->wakeFd; }

void PulseCapture::take(std::vector<std::vector<int16_t>>& audio) {
  Impl& impl = *impl_;
  std::string failure;
  {
    std::lock_guard lock(impl.mutex);
    // Drained under the lock: audio delivered after this is announced anew.
    uint64_t count;
    [[maybe_unused]] const ssize_t got = ::read(impl.wakeFd, &count, sizeof count);
    audio.resize(impl.recordings.size());
    for (std::size_t i = 0; i < impl.recordings.size(); ++i) {
      std::vector<int16_t>& delivered = impl.recordings[i]->delivered;
      audio[i].insert(audio[i].end(), delivered.begin(), delivered.end());
      delivered.clear();
      if (failure.empty()) failure = impl.recordings[i]->failure;
    }
    if (failure.empty()) failure = impl.connectionFailure;
  }
  if (!failure.empty()) throw CaptureError(failure);
}

}  // namespace veskar::tools
