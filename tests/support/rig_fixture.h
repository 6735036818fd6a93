#pragma once
// The controller suites on the lockstep rig: the arm, the simulated arm and
// one simulated clock, so every wait is simulated time and no case depends on
// how busy the machine is.

#include <can_motor_dlc/MotorWire.h>
#include <gtest/gtest.h>
#include <sim/Lockstep.h>

#include <functional>
#include <string>
#include <vector>

#include "arm_fixture.h"

namespace kav_test {

/// A rig brought up with @p options, and waits that advance it.
class Rig {
 public:
  explicit Rig(kav::sim::LockstepOptions options = {}) : rig_(urdfPath(), std::move(options)) {}

  kav::sim::Lockstep& rig() { return rig_; }
  kav::t8::InterfacesThread& arm() { return rig_.arm(); }
  kav::sim::SimulatedArm& sim() { return rig_.simulatedArm(); }
  double now() const { return rig_.now(); }

  /// Runs @p seconds of simulated time.
  void run(double seconds) { rig_.advance(seconds); }

  /// Runs a control cycle at a time until @p condition holds or @p timeout
  /// seconds of simulated time have passed.
  /// @return whether the condition held
  bool runUntil(const std::function<bool()>& condition, double timeout = 10.0) {
    const double end = rig_.now() + timeout;
    while (rig_.now() < end) {
      if (condition()) return true;
      rig_.advance(0.005);
    }
    return condition();
  }

  /// The commands the motor of @p joint received during @p window seconds,
  /// after a cycle for a state change made just before to take effect.
  std::vector<kav::sim::MotorCommand> commandsDuring(int joint, double window = 0.06) {
    run(0.025);
    sim().clearReceivedCommands();
    run(window);
    std::vector<kav::sim::MotorCommand> commands;
    for (const auto& received : sim().receivedCommands(joint)) commands.push_back(received.command);
    return commands;
  }

  /// The last of those commands (a failure when there was none).
  kav::sim::MotorCommand lastCommandDuring(int joint, double window = 0.05) {
    const auto commands = commandsDuring(joint, window);
    EXPECT_FALSE(commands.empty()) << "motor of joint " << joint << " received no command";
    return commands.empty() ? kav::sim::MotorCommand{} : commands.back();
  }

  /// The controller's frames on the bus since @p from seconds.
  std::vector<kav::sim::BusRecord> hostFrames(double from = 0.0) const {
    std::vector<kav::sim::BusRecord> frames;
    for (const auto& record : rig_.frames()) {
      if (record.from_host && record.time >= from) frames.push_back(record);
    }
    return frames;
  }

 private:
  kav::sim::Lockstep rig_;
};

/// A logged frame as the motors' wire decoder sees it.
inline kav::hw_interface::CanFrame frameOf(const kav::sim::BusRecord& record) {
  kav::hw_interface::CanFrame frame{};
  frame.can_id = record.id;
  frame.can_dlc = record.dlc;
  for (int i = 0; i < 8; ++i) frame.data[i] = record.data[i];
  return frame;
}

}  // namespace kav_test
