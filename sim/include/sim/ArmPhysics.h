#pragma once
/// @file ArmPhysics.h
/// Rigid-body dynamics of the six arm joints and the gripper, each driven by
/// its motor's hybrid law. A pure model: no threads, no clock; the caller
/// steps it.

#include <array>
#include <limits>
#include <memory>
#include <string>

#include "config/ArmConfig.h"

namespace kav {
namespace sim {

/// Number of joints: six arm joints (indices 0-5) and the gripper (index 6).
constexpr int kSimJoints = config::kMotors;
/// Number of arm joints in the kinematic chain.
constexpr int kSimArmJoints = config::kArmJoints;

/// What one motor applies to its joint, in joint coordinates:
/// torque = k_p (position - p) + k_d (velocity - v) + torque, then limited to
/// the motor's torque limit. All zero leaves the joint limp. Beside the motor,
/// a torque from outside (a hand pushing the link) acts on the joint.
struct JointDrive {
  double k_p = 0.0;       ///< stiffness
  double k_d = 0.0;       ///< damping
  double position = 0.0;  ///< target position, rad
  double velocity = 0.0;  ///< target velocity, rad/s
  double torque = 0.0;    ///< feed-forward torque, N·m
  /// Torque from outside the motor, N·m: not limited by the motor and not part
  /// of the torque the motor reports.
  double external = 0.0;
};

/// The true state of one joint.
struct JointState {
  double position = 0.0;  ///< radians
  double velocity = 0.0;  ///< radians per second
  double torque = 0.0;    ///< torque the motor applied in the last step, N·m
};

/// How far beyond the controller's joint limits the arm joints' end stops lie.
constexpr double kEndStopMargin = 0.1;

/// End stops @p margin beyond the arm joints' @p limits; @p gripper for the gripper.
constexpr std::array<double, kSimJoints> endStops(const std::array<double, kSimJoints>& limits, double margin,
                                                  double gripper) {
  std::array<double, kSimJoints> stops{};
  for (int i = 0; i < kSimArmJoints; ++i) stops[i] = limits[i] + margin;
  stops[kSimJoints - 1] = gripper;
  return stops;
}

/// Mechanical constants of the joints, per joint index (0-5 arm, 6 gripper).
///
/// The defaults: reflected rotor inertia 0.01 kg·m² on the type 4 joints (1-3)
/// and 0.002 kg·m² on the type 2 joints (4-6 and the gripper); viscous
/// friction 0.05 N·m·s/rad (joints 1-3), 0.02 (joints 4-6), 0.05 (gripper);
/// torque limits 30 N·m (joints 1-3) and 10 N·m (joints 4-6, gripper), the
/// torque ranges of their command fields; the gripper's own inertia 0.001
/// kg·m² (beside its motor's). End stops: the arm joints stop 0.1 rad beyond
/// the controller's joint limits, the gripper at one end only.
struct PhysicsParameters {
  /// Each joint's reflected rotor inertia, kg·m².
  std::array<double, kSimJoints> armature{0.01, 0.01, 0.01, 0.002, 0.002, 0.002, 0.002};
  /// Each joint's viscous friction, N·m·s/rad.
  std::array<double, kSimJoints> friction{0.05, 0.05, 0.05, 0.02, 0.02, 0.02, 0.05};
  /// Each motor's torque limit, N·m.
  std::array<double, kSimJoints> torque_limit{30.0, 30.0, 30.0, 10.0, 10.0, 10.0, 10.0};
  /// Lower end stops, radians; -infinity for none.
  std::array<double, kSimJoints> lower_stop = endStops(config::kJointLower, -kEndStopMargin, -1.0);
  /// Upper end stops, radians; +infinity for none.
  std::array<double, kSimJoints> upper_stop =
      endStops(config::kJointUpper, kEndStopMargin, std::numeric_limits<double>::infinity());
  double gripper_inertia = 0.001;  ///< the gripper's own inertia, kg·m²
  /// Factor on the mass and inertia of each arm link (link 1 first), so that
  /// the simulated arm differs from the description the controller models
  /// (0.9 to 1.1 for masses off by 10 %). Positive.
  std::array<double, kSimArmJoints> mass_scale{1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
};

/// The arm as a rigid chain under gravity, from a URDF description (chain
/// "base_link" to "link6", six revolute joints), plus the gripper as a single
/// joint with an end stop.
///
/// Each step integrates one time step with semi-implicit Euler: the motors'
/// gains and the friction are taken implicitly, so stiff gains on light links
/// stay stable at 1 kHz; gravity and Coriolis forces are taken at the start of
/// the step. A motor whose torque would exceed its limit applies the limit.
/// A joint that reaches an end stop stops there.
class ArmPhysics {
 public:
  /// @param description URDF text of the arm
  /// @param start the seven joint positions at time zero, at rest
  /// @param parameters mechanical constants
  /// @throw std::invalid_argument when the description cannot be parsed, has
  ///        no chain "base_link" to "link6" of six joints, a start position or
  ///        parameter is not finite (stops may be infinite), a start position
  ///        lies beyond an end stop, or an inertia, friction or torque limit is
  ///        negative
  ArmPhysics(const std::string& description, const std::array<double, kSimJoints>& start,
             const PhysicsParameters& parameters = PhysicsParameters());
  ~ArmPhysics();
  ArmPhysics(const ArmPhysics&) = delete;
  ArmPhysics& operator=(const ArmPhysics&) = delete;

  /// Advances the model by @p dt seconds under the given drives.
  /// @throw std::invalid_argument when @p dt is not positive and finite or a
  ///        drive value is not finite; the state is then unchanged
  void step(const std::array<JointDrive, kSimJoints>& drives, double dt);

  /// The present state of all seven joints.
  const std::array<JointState, kSimJoints>& state() const;

  /// The joint torques that hold the arm still against gravity at @p positions
  /// (six arm joints), from the description's masses, unscaled. May run
  /// while another thread steps the model, but not beside itself.
  /// @throw std::invalid_argument when a position is not finite
  std::array<double, kSimArmJoints> gravityTorques(const std::array<double, kSimArmJoints>& positions) const;

  /// The parameters the model runs with.
  const PhysicsParameters& parameters() const;

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace sim
}  // namespace kav
