#include "controller/ControlLaws.h"

#include <algorithm>
#include <cmath>

#include "solver/Interpolation.h"

namespace kav {
namespace t8 {
namespace laws {

namespace {

using namespace config;
using hw_interface::HybridJointCmd;

HybridJointCmd command(double k_p, double k_d, double position, double velocity, double torque) {
  HybridJointCmd c;
  c.position = position;
  c.velocity = velocity;
  c.torque = torque;
  c.k_p = k_p;
  c.k_d = k_d;
  return c;
}

// Gravity, plus on joints 1-3 a correction toward the target.
double positionTorque(const Feedback& feedback, int joint, double target) {
  double torque = feedback.gravity[joint];
  if (joint < kCorrectedJoints) {
    torque += kCorrectionKp * (target - feedback.joints[joint].position) -
              kCorrectionKd * feedback.joints[joint].velocity;
  }
  return torque;
}

// Set-points of the arm joints one interpolation step toward the targets.
void interpolate(const std::array<double, kArmJoints>& targets, const Limits& limits, SetPoints& set_points,
                 std::array<double, kArmJoints>& velocity) {
  for (int i = 0; i < kArmJoints; ++i) {
    double target = targets[i];
    solve::Interpolation(&target, &set_points.position[i], &velocity[i], limits.max_acc, limits.max_vel,
                         kControlFrequency);
  }
}

}  // namespace

void soft(const Feedback& feedback, SetPoints& set_points, MotorCommands& commands) {
  for (int i = 0; i < kArmJoints; ++i) commands[i] = command(0, 0, 0, 0, 0);
  for (int i = 0; i < kArmJoints; ++i) set_points.position[i] = feedback.joints[i].position;
}

void protect(const Feedback& feedback, SetPoints& set_points, MotorCommands& commands) {
  for (int i = 0; i < kArmJoints; ++i) commands[i] = command(0, kDampingKd[i], 0, 0, 0);
  for (int i = 0; i < kArmJoints; ++i) set_points.position[i] = feedback.joints[i].position;
}

void gravityCompensation(const Feedback& feedback, SetPoints& set_points, MotorCommands& commands) {
  for (int i = 0; i < kArmJoints; ++i) commands[i] = command(0, 0, 0, 0, feedback.gravity[i]);
  for (int i = 0; i < kArmJoints; ++i) set_points.position[i] = feedback.joints[i].position;
}

void compliant(const Feedback& feedback, SetPoints& set_points, MotorCommands& commands) {
  for (int i = 0; i < kArmJoints; ++i) commands[i] = command(0, kDampingKd[i], 0, 0, feedback.gravity[i]);
  for (int i = 0; i < kArmJoints; ++i) set_points.position[i] = feedback.joints[i].position;
}

bool jointHome(const Feedback& feedback, const std::array<double, kMotors>& home, int joint) {
  return std::fabs(feedback.joints[joint].position - home[joint]) < kHomePositionTolerance &&
         std::fabs(feedback.joints[joint].velocity) < kHomeVelocityTolerance;
}

bool goHome(const Feedback& feedback, const std::array<double, kMotors>& home, SetPoints& set_points,
            MotorCommands& commands) {
  double velocity[kArmJoints];
  for (int i = 0; i < kArmJoints; ++i) {
    double target = home[i];
    solve::Interpolation(&target, &set_points.position[i], &velocity[i], kHomingAcceleration, kHomingVelocity,
                         kControlFrequency);
  }
  for (int i = 0; i < kArmJoints; ++i) {
    const double torque = i < kHomingJointsWithoutGravity ? 0.0 : feedback.gravity[i];
    commands[i] = command(kGoHomeGains.k_p[i], kGoHomeGains.k_d[i], set_points.position[i], 0, torque);
  }
  for (int i = 0; i < kArmJoints; ++i) {
    if (!jointHome(feedback, home, i)) return false;
  }
  return true;
}

void positionControl(const Feedback& feedback, const std::array<double, kArmJoints>& targets,
                     const motion::JointSample* sample, const Limits& limits, SetPoints& set_points,
                     MotorCommands& commands) {
  std::array<double, kArmJoints> target;
  std::array<double, kArmJoints> velocity;
  if (sample != nullptr) {
    // A motion runs: its sample is both the set-point and the target.
    for (int i = 0; i < kArmJoints; ++i) {
      set_points.position[i] = target[i] = sample->position[i];
      velocity[i] = sample->velocity[i];
    }
  } else {
    for (int i = 0; i < kArmJoints; ++i) target[i] = std::clamp(targets[i], kJointLower[i], kJointUpper[i]);
    interpolate(target, limits, set_points, velocity);
  }
  for (int i = 0; i < kArmJoints; ++i) {
    commands[i] = command(kPositionGains.k_p[i], kPositionGains.k_d[i], set_points.position[i], velocity[i],
                          positionTorque(feedback, i, target[i]));
  }
}

void endControl(const Feedback& feedback, const std::array<double, kArmJoints>& target, const Limits& limits,
                SetPoints& set_points, MotorCommands& commands) {
  std::array<double, kArmJoints> velocity;
  interpolate(target, limits, set_points, velocity);
  for (int i = 0; i < kArmJoints; ++i) {
    commands[i] = command(kEndControlGains.k_p[i], kEndControlGains.k_d[i], set_points.position[i],
                          velocity[i], positionTorque(feedback, i, target[i]));
  }
}

HybridJointCmd gripper(const Feedback& feedback, const Gripper& gripper) {
  // Clamped like the joints' targets: a target beyond the range would keep
  // the torque-driven gripper pushing at its torque limit.
  const std::array<double, 2> range = gripperTargetRange(gripper.variant);
  const double target = std::clamp(gripper.target, range[0], range[1]);
  if (gripper.variant == 2) return command(kGripperVariant2Kp, kGripperVariant2Kd, target, 0.0, 0.0);
  float send_cur = static_cast<float>(
      (gripper.zero + target - kGripperOffset - feedback.joints[kGripper].position) * kGripperPositionGain);
  if (gripper.mode == GripperMode::kTorque) send_cur = static_cast<float>(gripper.torque);
  constexpr float kTorqueLimit = static_cast<float>(kGripperTorqueLimit);
  send_cur = std::clamp(send_cur, -kTorqueLimit, kTorqueLimit);
  return command(0.0, kGripperSearchKd, 0.0, 0.0, static_cast<double>(send_cur));
}

HybridJointCmd gripperLimp() { return command(0, 0, 0, 0, 0); }

HybridJointCmd gripperSearch(int variant) {
  const double velocity = variant == 2 ? kGripperSearchVelocityVariant2 : kGripperSearchVelocity;
  return command(0.0, kGripperSearchKd, 0.0, velocity, 0.0);
}

}  // namespace laws
}  // namespace t8
}  // namespace kav
