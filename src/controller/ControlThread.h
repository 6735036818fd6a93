#pragma once
// The real-time thread that runs a controller's cycles.

#include <pthread.h>

#include <atomic>
#include <functional>

#include "controller/ArmPlatform.h"
#include "rt/Clock.h"

namespace kav {
namespace t8 {

/// Runs the cycles on the thread "kav-control" (SCHED_FIFO priority 80 when
/// allowed, normal priority otherwise), every 5 ms on an absolute schedule
/// of @p clock: the first cycle at once, and after an overrun the next one
/// at once, without catching up. Its console lines go through the console
/// queue.
class ControlThread final : public CycleDriver {
 public:
  explicit ControlThread(rt::Clock& clock) : clock_(clock) {}
  ~ControlThread() override { stop(); }
  ControlThread(const ControlThread&) = delete;
  ControlThread& operator=(const ControlThread&) = delete;

  /// @throw std::runtime_error naming the thread when it cannot be started
  void start(std::function<bool()> cycle, std::function<void()> finished) override;
  void stop() override;

 private:
  static void* body(void* self);
  void run();

  rt::Clock& clock_;
  std::function<bool()> cycle_;
  std::function<void()> finished_;
  pthread_t thread_{};
  bool started_ = false;
  std::atomic<bool> stop_{false};
};

}  // namespace t8
}  // namespace kav
