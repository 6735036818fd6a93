#pragma once
// A simulated arm on a private local-socket bus, and a controller that can
// look at its own protected state, for the controller suites.

#include <controller/ControllerThread.h>
#include <gtest/gtest.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>
#include <solver/kinematic_dynamic_solver.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kav_test {

inline std::string urdfPath() { return std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf"; }

/// Exposes the controller's protected state to the tests.
class ProbeController : public kav::t8::ControllerThread {
 public:
  using ControllerThread::ControllerThread;
  using ControllerThread::gripperZero;
  using ControllerThread::storedState;
  double maxAcc() const { return maxAcceleration(); }
  double maxVel() const { return maxVelocity(); }
  /// 0 position, 1 torque.
  int catchMode() const { return static_cast<int>(ControllerThread::catchMode()); }
};

/// A bus hub with the simulated arm attached.
struct SimBench {
  explicit SimBench(kav::sim::SimulatedArmOptions options = {})
      : hub(), arm(hub.endpoint(), std::move(options)) {}
  kav::sim::BusHub hub;
  kav::sim::SimulatedArm arm;
};

inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

/// The hybrid commands a motor received during @p window after the
/// previous commands were forgotten (one cycle is allowed to pass first so
/// that a state change made just before is in effect).
/// The last hybrid command a motor received in such a window (a failed test
/// when there was none).
inline kav::sim::MotorCommand lastCommandDuring(kav::sim::SimulatedArm& arm, int joint,
                                                std::chrono::milliseconds window);

inline std::vector<kav::sim::MotorCommand> commandsDuring(kav::sim::SimulatedArm& arm, int joint,
                                                          std::chrono::milliseconds window) {
  std::this_thread::sleep_for(std::chrono::milliseconds(25));
  arm.clearReceivedCommands();
  std::this_thread::sleep_for(window);
  std::vector<kav::sim::MotorCommand> commands;
  for (const auto& received : arm.receivedCommands(joint)) commands.push_back(received.command);
  return commands;
}

inline kav::sim::MotorCommand lastCommandDuring(kav::sim::SimulatedArm& arm, int joint,
                                                std::chrono::milliseconds window) {
  const auto commands = commandsDuring(arm, joint, window);
  EXPECT_FALSE(commands.empty()) << "motor of joint " << joint << " received no command";
  return commands.empty() ? kav::sim::MotorCommand{} : commands.back();
}

/// The gravity torques the controller computes at the arm's true pose.
inline std::vector<double> scaledGravityAt(kav::sim::SimulatedArm& arm) {
  static kav::KinematicDynamicSolver solver(urdfPath(), "base_link", "link6");
  KDL::JntArray q(6);
  const auto states = arm.jointStates();
  for (int i = 0; i < 6; ++i) q(i) = states[i].position;
  const KDL::JntArray torque = solver.computeGravityCompensationTorque(q);
  return std::vector<double>(torque.data.data(), torque.data.data() + 6);
}

// Quantisation steps of the wire fields, with a little room.
constexpr double kType4TorqueStep = 60.0 / 4095 * 1.5;
constexpr double kType2TorqueStep = 20.0 / 4095 * 1.5;
constexpr double kPositionStep = 25.0 / 65535 * 1.5;

}  // namespace kav_test
