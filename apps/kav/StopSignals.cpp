#include "StopSignals.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

namespace kav {
namespace tool {

namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

StopSignals::StopSignals() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  watcher_ = std::thread([this] { watch(); });
}

StopSignals::~StopSignals() {
  quit_.store(true);
  watcher_.join();
}

void StopSignals::requestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_.store(true);
  }
  wake_.notify_all();
}

bool StopSignals::sleepFor(std::chrono::steady_clock::duration duration) {
  std::unique_lock<std::mutex> lock(mutex_);
  return wake_.wait_for(lock, duration, [this] { return requested_.load(); });
}

void StopSignals::watch() {
  const sigset_t set = stopSignals();
  const timespec poll{0, 100000000};  // to notice quit_ within 0.1 s
  while (!quit_.load()) {
    const int received = sigtimedwait(&set, nullptr, &poll);
    if (received > 0) {
      signal_.store(received);
      requestStop();
    }
  }
}

}  // namespace tool
}  // namespace kav
