#pragma once
/// @file Clock.h
/// The time a controller runs on: the machine's monotonic clock, or a
/// simulated clock that moves only when a simulation advances it.

#include <chrono>
#include <functional>

namespace kav {
namespace rt {

/// Now, and waiting until a time. Everything the controller times (cycle
/// starts, the slots of a round's frames, homing, the motors' silence
/// limits, a host's wait for a motion) goes through one Clock, so the same
/// code runs in real time or in a simulation.
class Clock {
 public:
  using duration = std::chrono::steady_clock::duration;      ///< a span of time
  using time_point = std::chrono::steady_clock::time_point;  ///< a point in time

  virtual ~Clock() = default;

  /// The present time.
  virtual time_point now() const = 0;
  /// Returns at @p deadline, not before (at once when it has passed).
  /// @param spin how much of the wait a real-time clock spends spinning
  ///        instead of sleeping, so that it wakes exactly on time; a
  ///        simulated clock ignores it
  virtual void waitUntil(time_point deadline,
                         std::chrono::microseconds spin = std::chrono::microseconds(0)) = 0;

  /// Waits for @p pause from now (a host thread's polling pause).
  void sleepFor(duration pause) { waitUntil(now() + pause); }
};

/// The machine's monotonic clock (steady_clock): absolute sleeps, then a
/// short spin. Safe to use from any thread; it has no state.
class RealTimeClock final : public Clock {
 public:
  /// The one instance every real-time controller shares.
  static RealTimeClock& instance();

  time_point now() const override { return std::chrono::steady_clock::now(); }
  void waitUntil(time_point deadline, std::chrono::microseconds spin) override;
};

/// A clock that stands still until waited on. waitUntil() hands the wait to
/// an advance function, which runs the simulated world up to the deadline
/// (moving this clock with set() as it goes); the clock then reads the
/// deadline. Single-threaded: it belongs to one simulation.
class SimulatedClock final : public Clock {
 public:
  /// @param advance runs everything due before the deadline it is given;
  ///        none: waiting just moves the clock
  explicit SimulatedClock(std::function<void(time_point)> advance = {}) : advance_(std::move(advance)) {}

  time_point now() const override { return now_; }
  void waitUntil(time_point deadline, std::chrono::microseconds spin = std::chrono::microseconds(0)) override;

  /// Moves the clock to @p time (never backwards), without advancing anything.
  void set(time_point time) {
    if (time > now_) now_ = time;
  }
  /// Replaces the advance function.
  void setAdvance(std::function<void(time_point)> advance) { advance_ = std::move(advance); }

 private:
  std::function<void(time_point)> advance_;
  time_point now_{};
};

}  // namespace rt
}  // namespace kav
