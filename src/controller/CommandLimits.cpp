#include "controller/CommandLimits.h"

#include <Eigen/Cholesky>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace kav {
namespace t8 {
namespace limits {

namespace {

using config::kArmJoints;
using config::kMotors;
using hw_interface::HybridJointCmd;
using Kind = ErrorCode::LimitKind;

// The end effector's position is looked at this far ahead at its measured
// velocity: about the time the hold takes to stop the arm.
constexpr double kLookAhead = 0.05;
// Damping of the least-squares wrench, for configurations near a singularity.
constexpr double kWrenchDamping = 1e-4;

bool finite(const HybridJointCmd& c) {
  return std::isfinite(c.position) && std::isfinite(c.velocity) && std::isfinite(c.torque) &&
         std::isfinite(c.k_p) && std::isfinite(c.k_d);
}

// The torque (command units) the motor applies at the measured state.
double askedTorque(const HybridJointCmd& c, const hw_interface::HybridJointStatus& joint) {
  return c.k_p * (c.position - joint.position) + c.k_d * (c.velocity - joint.velocity) + c.torque;
}

// Leaves the command no torque in direction @p direction (+1, -1) beyond
// gravity's share of it. @return whether it had more
bool cutDrive(HybridJointCmd& c, const hw_interface::HybridJointStatus& joint, double gravity,
              double direction) {
  const double allowed = std::max(direction * gravity, 0.0);
  const double drive = direction * askedTorque(c, joint);
  if (drive <= allowed) return false;
  c.torque -= direction * (drive - allowed);
  return true;
}

void requirePositive(double value, const std::string& what) {
  if (!std::isfinite(value) || value <= 0.0)
    throw std::invalid_argument("setSafetyLimits: " + what + " must be a finite number above 0");
}

}  // namespace

void validate(const SafetyLimits& limits) {
  for (int i = 0; i < kArmJoints; ++i) {
    const std::string joint = " of joint " + std::to_string(i + 1);
    const double margin = limits.position_margin[i];
    if (!std::isfinite(margin) || margin < 0.0 ||
        config::kJointLower[i] + margin >= config::kJointUpper[i] - margin) {
      throw std::invalid_argument("setSafetyLimits: position_margin" + joint +
                                  " must be a finite number of at least 0 rad that leaves part of the "
                                  "joint's range");
    }
    requirePositive(limits.max_velocity[i], "max_velocity" + joint);
    requirePositive(limits.max_torque[i], "max_torque" + joint);
  }
  static const char* const kAxes[] = {"x", "y", "z"};
  for (int k = 0; k < 3; ++k) {
    if (!std::isfinite(limits.box_lower[k]) || !std::isfinite(limits.box_upper[k]) ||
        limits.box_lower[k] >= limits.box_upper[k]) {
      throw std::invalid_argument(std::string("setSafetyLimits: box_lower and box_upper along ") + kAxes[k] +
                                  " must be finite numbers, the lower below the upper");
    }
  }
  requirePositive(limits.max_end_speed, "max_end_speed");
  if (limits.response != SafetyLimits::Response::kClamp && limits.response != SafetyLimits::Response::kEnd)
    throw std::invalid_argument("setSafetyLimits: response must be kClamp or kEnd");
}

Verdict apply(const SafetyLimits& limits, const Measurement& m, MotorCommands& commands, Hold& held) {
  Verdict verdict;
  for (int i = 0; i < kMotors; ++i) {
    if (!finite(commands[i])) verdict.broken |= Verdict::bit(Kind::kNotFinite);
  }
  if (verdict.refused()) return verdict;

  const auto& joints = m.feedback.joints;
  const auto& gravity = m.feedback.gravity;
  for (int i = 0; i < kArmJoints; ++i) {
    HybridJointCmd& c = commands[i];
    const double position = joints[i].position;
    const double velocity = joints[i].velocity;
    const double lower = config::kJointLower[i] + limits.position_margin[i];
    const double upper = config::kJointUpper[i] - limits.position_margin[i];
    const double max_velocity = limits.max_velocity[i];

    // Targets: only those the motor's gains act on. A joint beyond its range
    // may be held where it is or pulled back.
    const double target_lower = std::min(lower, position);
    const double target_upper = std::max(upper, position);
    if (c.k_p > 0.0 && (c.position < target_lower || c.position > target_upper)) {
      c.position = std::clamp(c.position, target_lower, target_upper);
      verdict.broken |= Verdict::bit(Kind::kPosition);
    }
    if (c.k_d > 0.0 && std::fabs(c.velocity) > max_velocity) {
      c.velocity = std::clamp(c.velocity, -max_velocity, max_velocity);
      verdict.broken |= Verdict::bit(Kind::kVelocity);
    }
    // A joint beyond its range or its speed is driven on by gravity at most
    // (one on its way back may be braked).
    const double out = position > upper ? 1.0 : -1.0;
    if ((position > upper || position < lower) && out * velocity >= 0.0) {
      if (out * c.velocity > 0.0) c.velocity = 0.0;
      if (cutDrive(c, joints[i], gravity[i], out)) verdict.broken |= Verdict::bit(Kind::kPosition);
    }
    if (m.host_law && std::fabs(velocity) > max_velocity) {
      if (cutDrive(c, joints[i], gravity[i], velocity > 0.0 ? 1.0 : -1.0))
        verdict.broken |= Verdict::bit(Kind::kVelocity);
    }
  }

  // The end effector: its box and its speed.
  const Eigen::Matrix<double, 6, 1> dq =
      (Eigen::Matrix<double, 6, 1>() << joints[0].velocity, joints[1].velocity, joints[2].velocity,
       joints[3].velocity, joints[4].velocity, joints[5].velocity)
          .finished();
  const Eigen::Vector3d end_velocity = m.jacobian.topRows<3>() * dq;
  const Eigen::Vector3d next = m.end_position + end_velocity * kLookAhead;
  bool hold = false;
  if (end_velocity.norm() > limits.max_end_speed) {
    hold = true;
    verdict.broken |= Verdict::bit(Kind::kSpeed);
  }
  bool outside = false;
  for (int k = 0; k < 3; ++k)
    outside = outside || next[k] > limits.box_upper[k] || next[k] < limits.box_lower[k];
  if (outside) {
    // The wrench at the end effector that the commands' torques beyond
    // gravity stand for (least squares, damped near a singularity).
    Eigen::Matrix<double, 6, 1> drive;
    for (int i = 0; i < kArmJoints; ++i)
      drive[i] = (askedTorque(commands[i], joints[i]) - gravity[i]) / m.command_per_newton_metre[i];
    const Eigen::Matrix<double, 6, 6> jjt =
        m.jacobian * m.jacobian.transpose() + kWrenchDamping * Eigen::Matrix<double, 6, 6>::Identity();
    const Eigen::Matrix<double, 6, 1> wrench = jjt.ldlt().solve(m.jacobian * drive);
    for (int k = 0; k < 3; ++k) {
      const bool above = next[k] > limits.box_upper[k] && (wrench[k] > 0.0 || end_velocity[k] > 0.0);
      const bool below = next[k] < limits.box_lower[k] && (wrench[k] < 0.0 || end_velocity[k] < 0.0);
      if (above || below) {
        hold = true;
        verdict.broken |= Verdict::bit(Kind::kBox);
      }
    }
  }
  if (hold && !held.active) {
    for (int i = 0; i < kArmJoints; ++i)
      held.position[i] = std::clamp(joints[i].position, config::kJointLower[i], config::kJointUpper[i]);
  }
  held.active = hold;
  if (hold) {
    for (int i = 0; i < kArmJoints; ++i) {
      commands[i].k_p = config::kPositionGains.k_p[i];
      commands[i].k_d = config::kPositionGains.k_d[i];
      commands[i].position = held.position[i];
      commands[i].velocity = 0.0;
      commands[i].torque = gravity[i];
    }
  }

  // The torque asked for: at the measured state for a host's law, the
  // feed-forward for the library's.
  for (int i = 0; i < kArmJoints; ++i) {
    const double limit = limits.max_torque[i] * m.command_per_newton_metre[i];
    const double asked = m.host_law ? askedTorque(commands[i], joints[i]) : commands[i].torque;
    if (std::fabs(asked) > limit) {
      commands[i].torque -= asked - std::clamp(asked, -limit, limit);
      verdict.broken |= Verdict::bit(Kind::kTorque);
    }
  }
  return verdict;
}

}  // namespace limits
}  // namespace t8
}  // namespace kav
