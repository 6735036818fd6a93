#pragma once
// Stopping on SIGINT, SIGTERM and SIGHUP: the signals become a request that
// the program's loops check, so that an arm is always stopped through its
// facade's destructor (the damping hold), never by the signal itself.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kav {
namespace tool {

/// Turns SIGINT, SIGTERM and SIGHUP into a stop request. Construct it before
/// any other thread starts: the signals are blocked in the constructing
/// thread, every thread started afterwards inherits that, and one watcher
/// thread receives them.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  /// Whether a stop was requested (by a signal or by requestStop).
  bool requested() const { return requested_.load(); }
  /// Asks every loop to stop, as a signal would.
  void requestStop();
  /// Sleeps for @p duration or until a stop is requested.
  /// @return true when a stop was requested
  bool sleepFor(std::chrono::steady_clock::duration duration);
  /// The signal that asked to stop, or 0.
  int signal() const { return signal_.load(); }

 private:
  void watch();

  std::atomic<bool> requested_{false};
  std::atomic<bool> quit_{false};
  std::atomic<int> signal_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread watcher_;
};

}  // namespace tool
}  // namespace kav
