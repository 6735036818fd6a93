#pragma once
// Watches how long this machine keeps a real-time thread from running: one
// thread per processor, pinned to it, at the simulator's priority, waking
// every millisecond on an absolute schedule and keeping its longest lateness.
// A test of the simulated bus's timing reads it to tell the machine's stalls
// (a kernel that does not preempt its own work can hold every thread off for
// tens of milliseconds) from a fault of the code under test.

#include <config/ArmConfig.h>
#include <pthread.h>
#include <rt/Priority.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace kav_test {

class StallWitness {
 public:
  explicit StallWitness(int priority = kav::config::kSimulatorBusPriority) {
    const long processors = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    for (long cpu = 0; cpu < processors; ++cpu) {
      threads_.emplace_back([this, cpu, priority] { watch(static_cast<int>(cpu), priority); });
    }
  }
  ~StallWitness() {
    stop_.store(true);
    for (auto& thread : threads_) thread.join();
  }
  StallWitness(const StallWitness&) = delete;
  StallWitness& operator=(const StallWitness&) = delete;

  /// The longest a watching thread woke after its time, so far.
  std::chrono::microseconds longest() const { return std::chrono::microseconds(longest_us_.load()); }

 private:
  void watch(int cpu, int priority) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);  // best effort, as the rig's threads
    kav::rt::preferRealtime(priority);
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!stop_.load()) {
      next.tv_nsec += 1000000;
      if (next.tv_nsec >= 1000000000) {
        next.tv_nsec -= 1000000000;
        ++next.tv_sec;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const std::int64_t late_us =
          ((now.tv_sec - next.tv_sec) * 1000000000LL + (now.tv_nsec - next.tv_nsec)) / 1000;
      std::int64_t seen = longest_us_.load();
      while (late_us > seen && !longest_us_.compare_exchange_weak(seen, late_us)) {
      }
      if (late_us > 1000) next = now;  // after a stall, no burst of catching up
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> longest_us_{0};
  std::vector<std::thread> threads_;
};

}  // namespace kav_test
