#pragma once
/// @file HybridJointTypeDef.h
/// The joint records shared by the drivers, the controller and the facades.

namespace kav {
namespace hw_interface {

/// The state of one joint as the rest of the system sees it.
struct HybridJointStatus {
  double position;  ///< radians
  double velocity;  ///< the motor's velocity unit, as decoded
  double torque;    ///< left at 0 by the drivers
  double current;   ///< the motor's third feedback quantity, as decoded
  HybridJointStatus() : position(0.0), velocity(0.0), torque(0.0), current(0.0) {}
};

/// One hybrid (impedance) command: the motor applies
/// k_p (position - p) + k_d (velocity - v) + torque.
struct HybridJointCmd {
  double position;  ///< target position, radians
  double velocity;  ///< target velocity
  double torque;    ///< feed-forward torque
  double k_p;       ///< position gain
  double k_d;       ///< velocity (damping) gain
};

}  // namespace hw_interface
}  // namespace kav
