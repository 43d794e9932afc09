#include "app/process_guards.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace veskar {

void guardTerminationSignals(OutputSink& sink) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([&sink, signals] {
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    // Holding the sink's lock, no line is half written. A writer stuck on a
    // full pipe (a host that stopped reading) must not delay the end.
    auto lock = sink.lockFor(std::chrono::milliseconds(200));
    ::signal(received, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, received);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    ::raise(received);
    ::_exit(128 + received);  // not reached: the default action ends the process
  }).detach();
}

void exitWhenUnread(int fd, const OutputSink& sink) {
  std::thread([fd, &sink] {
    // With no events asked for, poll reports only POLLERR or POLLHUP, which a
    // pipe or socket raises once its reader is gone; files never do.
    pollfd watched{fd, 0, 0};
    for (;;) {
      const int ready = ::poll(&watched, 1, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return;
      if (watched.revents & (POLLERR | POLLHUP)) {
        if (sink.closedExitStatus() == OutputSink::kKeepRunning) return;
        ::_exit(sink.closedExitStatus());
      }
      if (watched.revents & POLLNVAL) return;
    }
  }).detach();
}

}  // namespace veskar
