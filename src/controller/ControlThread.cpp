#include "controller/ControlThread.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "config/ArmConfig.h"
#include "console/Console.h"
#include "controller/CycleClock.h"
#include "rt/Priority.h"
#include "rt/Seams.h"

namespace kav {
namespace t8 {

void ControlThread::start(std::function<bool()> cycle, std::function<void()> finished) {
  cycle_ = std::move(cycle);
  finished_ = std::move(finished);
  stop_.store(false);
  const int error = rt::startThread(&thread_, "kav-control", &ControlThread::body, this);
  if (error != 0) {
    std::fprintf(stderr, "Failed to create thread\n");
    throw std::runtime_error(std::string("Cannot start the control thread \"kav-control\": ") +
                             std::strerror(error));
  }
  started_ = true;
}

void ControlThread::stop() {
  stop_.store(true);
  if (!started_) return;
  // The thread ends within one cycle of the stop flag.
  pthread_join(thread_, nullptr);
  started_ = false;
}

void* ControlThread::body(void* self) {
  static_cast<ControlThread*>(self)->run();
  return nullptr;
}

void ControlThread::run() {
  pthread_setname_np(pthread_self(), "kav-control");
  // A real-time priority keeps the period when the machine is busy.
  rt::preferRealtime(config::kControlThreadPriority);
  console::markRealtimeThread();
  auto deadline = clock_.now();
  while (!stop_.load()) {
    if (!cycle_()) break;
    // The first cycle runs at once; an overrun starts the next one at once,
    // without catching up.
    deadline += config::kCyclePeriod;
    const auto now = clock_.now();
    if (deadline < now) deadline = now;
    clock_.waitUntil(deadline, kCycleSpin);
  }
  finished_();
}

}  // namespace t8
}  // namespace kav
