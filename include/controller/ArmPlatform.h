#pragma once
/// @file ArmPlatform.h
/// What a controller runs on: its bus transport, its clock, and who runs its
/// control cycles. By default a SocketCan, the machine's monotonic clock and
/// the controller's own real-time thread; the lockstep simulation
/// (sim/Lockstep.h) gives an in-memory bus, a simulated clock and cycles
/// stepped on the simulation's one thread.

#include <functional>
#include <memory>

#include "canbase/Transport.h"
#include "rt/Clock.h"

namespace kav {
namespace t8 {

/// Runs a controller's control cycles once its arm is up.
class CycleDriver {
 public:
  virtual ~CycleDriver() = default;
  /// From now on runs @p cycle once per control period (5 ms; the first at
  /// once, an overrun starts the next at once), until it returns false or
  /// stop() is called; then runs @p finished once.
  /// @throw std::runtime_error when the cycles cannot be started
  virtual void start(std::function<bool()> cycle, std::function<void()> finished) = 0;
  /// Ends the cycles (a cycle in progress completes) and returns once
  /// finished has run. Does nothing when they were never started.
  virtual void stop() = 0;
};

/// The parts a controller is built on. Empty members take the defaults.
struct ArmPlatform {
  /// The bus, not yet opened: the controller opens it with its can_name,
  /// owns it from then on and closes it at the end. Default: a SocketCan.
  std::unique_ptr<hw_interface::Transport> transport;
  /// Everything is timed on it; it must outlive the controller. Default:
  /// rt::RealTimeClock::instance().
  rt::Clock* clock = nullptr;
  /// Runs the cycles; it must outlive the controller. With one, the
  /// controller starts no thread of its own (the end-effector target search
  /// then runs right after each cycle). Default: the thread "kav-control"
  /// at SCHED_FIFO priority 80 when allowed.
  CycleDriver* cycles = nullptr;
};

}  // namespace t8
}  // namespace kav
