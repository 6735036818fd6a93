#pragma once
// The hand-over of a host's control law to the control thread, and what the
// thread keeps for it: the law (stored once, before its first cycle), the
// cycle state it is given (preallocated), how it ended.

#include <atomic>
#include <chrono>
#include <cstdint>

#include "config/ArmConfig.h"
#include "controller/UserControl.h"
#include "rt/Clock.h"

namespace kav {
namespace t8 {

/// One host law at a time. The host arms the slot with a law; the control
/// thread starts it at its next USER_CONTROL cycle, runs it every cycle and
/// ends it (finished, stopped, failed); the host then reads how it ended and
/// releases the slot. Phases move Idle -> Armed (host) -> Running -> Ended
/// (control thread; or Armed -> Ended by the host's disarm) -> Idle (host);
/// the law and the state are touched by
/// the control thread only between Running and Ended, by the host only
/// outside them, so no lock is needed and the thread allocates nothing.
/// Thrown by a law of the library's own to end with @p code instead of
/// ErrorCode::lawFailed's (the streamed commands' timeout).
struct LawEnded {
  int code;
};

class UserLaw {
 public:
  enum class Phase { kIdle, kArmed, kRunning, kEnded };

  /// A law's time in one cycle above this is reported (ErrorCode::lawOverrun).
  static constexpr std::chrono::microseconds kBudget{1000};

  // ---- host threads
  /// Stores @p law for the control thread. @return false when a law is armed or runs
  bool arm(const ControlLaw& law);
  /// Asks the control thread to end the law at its next cycle.
  void requestStop() { stop_.store(true); }
  Phase phase() const { return phase_.load(std::memory_order_acquire); }
  /// How the law ended (once kEnded): 0 finished or stopped, else an error code.
  int endCode() const { return end_code_.load(std::memory_order_relaxed); }
  /// Where the arm is held after a law that finished or was stopped (once kEnded).
  const std::array<double, config::kArmJoints>& holdPositions() const { return hold_; }
  /// Back to kIdle, the law dropped: after kEnded, or when the cycles have
  /// stopped (a fault ended control) while it ran.
  void release();
  /// kArmed -> kEnded (code 0) unless the control thread began the law
  /// meanwhile: for a law another host command displaced before its start.
  /// @return whether it was still armed
  bool disarm();

  // ---- control thread
  /// Armed -> Running, when armed (and not disarmed meanwhile): the law's
  /// time and cycle count start at @p start.
  void begin(rt::Clock::time_point start);
  bool running() const { return phase_.load(std::memory_order_relaxed) == Phase::kRunning; }
  bool stopRequested() const { return stop_.load(std::memory_order_relaxed); }
  /// The state to fill before run(); time and cycle are set by run().
  CycleState& state() { return state_; }
  /// Runs the law on state() for the cycle that began at @p start.
  /// @return 0, or the error code that ends the law when it threw (192, or
  ///         a LawEnded's code); nothing of @p command is to be used then
  int run(rt::Clock::time_point start, JointCommand& command);
  /// How long the last run() took, wall-clock.
  std::chrono::nanoseconds lastRunTime() const { return last_run_; }
  /// Whether the last run() overran kBudget for the first time since begin().
  bool firstOverrun() const { return first_overrun_; }
  /// Running -> Ended with @p code, the arm held at @p hold.
  void end(int code, const std::array<double, config::kArmJoints>& hold);

 private:
  std::atomic<Phase> phase_{Phase::kIdle};
  std::atomic<bool> stop_{false};
  ControlLaw law_;
  CycleState state_{};
  std::atomic<int> end_code_{0};  // also read by the control thread after kEnded
  std::array<double, config::kArmJoints> hold_{};
  // Control thread only.
  rt::Clock::time_point start_{};
  std::uint64_t cycle_ = 0;
  std::uint64_t overruns_ = 0;
  bool first_overrun_ = false;
  std::chrono::nanoseconds last_run_{0};
};

}  // namespace t8
}  // namespace kav
