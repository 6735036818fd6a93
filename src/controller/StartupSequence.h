#pragma once
// Bringing an arm up: listen, clear, enable, damp, home, zero the gripper.

#include <string>

#include "controller/ControlLoop.h"
#include "controller/MotorBus.h"

namespace kav {
namespace t8 {

/// The start-up sequence of one arm, on an opened bus:
/// 1. listen 100 ms: another host's commands on the bus fail the start
///    before anything is sent;
/// 2. three rounds of clear-error frames and three of enable frames, one
///    round per control period;
/// 3. 100 damping cycles that load real feedback; a motor that never
///    answered fails the start;
/// 4. homing at 200 Hz while the gripper searches its end stop, at least
///    3.55 s and until every arm joint is home; not home after 30 s fails
///    the start, the arm held in damping;
/// 5. the gripper's zero is its measured position at the stop (variant 2
///    also has the motor take it as zero), then a damping frame to the
///    gripper, and "Init completed" on standard error.
/// A failure detaches the bus from the transport and throws
/// std::runtime_error; the caller closes the transport.
class StartupSequence {
 public:
  StartupSequence(MotorBus& bus, ControlLoop& loop, std::string can_name, int type);

  /// Runs the sequence on the calling thread, timed on the bus's clock.
  void run();

 private:
  void listenForAnotherHost();
  void requireEveryMotorAnswered();
  void home();
  void zeroGripper();
  [[noreturn]] void failHoming();

  MotorBus& bus_;
  ControlLoop& loop_;
  const std::string can_name_;
  const int type_;
};

}  // namespace t8
}  // namespace kav
