#include "controller/UserControl.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace kav {
namespace t8 {
namespace laws {

namespace {

using Gains = std::array<double, 6>;

void requireGains(const Gains& gains, const char* function, const char* argument) {
  for (int i = 0; i < 6; ++i) {
    if (!std::isfinite(gains[i]) || gains[i] < 0.0) {
      throw std::invalid_argument(std::string(function) + ": " + argument + "[" + std::to_string(i) +
                                  "] must be a finite number of at least 0");
    }
  }
}

}  // namespace

ControlLaw jointImpedance(const Gains& stiffness, const Gains& damping, const Gains& target) {
  requireGains(stiffness, "jointImpedance", "stiffness");
  requireGains(damping, "jointImpedance", "damping");
  for (int i = 0; i < 6; ++i) {
    if (!std::isfinite(target[i])) {
      throw std::invalid_argument("jointImpedance: target[" + std::to_string(i) +
                                  "] must be a finite number");
    }
  }
  // The motors' own gains do the impedance, at their rate between cycles.
  return [stiffness, damping, target](const CycleState& state) {
    JointCommand command;
    for (int i = 0; i < 6; ++i) {
      HybridJointCmd& joint = command.joints[i];
      joint.position = target[i];
      joint.velocity = 0.0;
      joint.torque = state.gravity[i];
      joint.k_p = stiffness[i];
      joint.k_d = damping[i];
    }
    return command;
  };
}

std::array<double, 6> cartesianImpedanceTorques(const CycleState& state, const Gains& stiffness,
                                                const Gains& damping, const Eigen::Isometry3d& target) {
  Eigen::Matrix<double, 6, 1> error;
  error.head<3>() = target.translation() - state.pose.translation();
  const Eigen::AngleAxisd turn(target.linear() * state.pose.linear().transpose());
  error.tail<3>() = turn.axis() * turn.angle();
  Eigen::Matrix<double, 6, 1> dq;
  for (int i = 0; i < 6; ++i) dq[i] = state.dq[i];
  const Eigen::Matrix<double, 6, 1> twist = state.jacobian * dq;
  Eigen::Matrix<double, 6, 1> wrench;
  for (int k = 0; k < 6; ++k) wrench[k] = stiffness[k] * error[k] - damping[k] * twist[k];
  const Eigen::Matrix<double, 6, 1> torques = state.jacobian.transpose() * wrench;
  std::array<double, 6> result;
  for (int i = 0; i < 6; ++i) result[i] = torques[i];
  return result;
}

ControlLaw cartesianImpedance(const Gains& stiffness, const Gains& damping, const Eigen::Isometry3d& target) {
  requireGains(stiffness, "cartesianImpedance", "stiffness");
  requireGains(damping, "cartesianImpedance", "damping");
  if (!target.matrix().allFinite()) {
    throw std::invalid_argument("cartesianImpedance: target must hold finite numbers only");
  }
  const Eigen::Matrix3d rotation = target.linear();
  if ((rotation.transpose() * rotation - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff() > 1e-6 ||
      std::fabs(rotation.determinant() - 1.0) > 1e-6) {
    throw std::invalid_argument("cartesianImpedance: the linear part of target is not a rotation");
  }
  return [stiffness, damping, target](const CycleState& state) {
    const std::array<double, 6> torques = cartesianImpedanceTorques(state, stiffness, damping, target);
    JointCommand command;
    for (int i = 0; i < 6; ++i) command.joints[i].torque = torques[i] + state.gravity[i];
    return command;
  };
}

}  // namespace laws
}  // namespace t8
}  // namespace kav
