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

/// What one motor is told, in joint coordinates: its torque command
/// c = k_p (position - p) + k_d (velocity - v) + torque (the motor's units),
/// limited to the motor's torque limit, delivers c / s N·m at an arm joint,
/// s the drive's torque command per N·m (ArmDynamics: 0.8 on joints 1-3, 1.32
/// on joints 4-6, divided by the model error's torque-constant scale), and
/// c N·m at the gripper. All zero leaves the joint limp. Beside the motor, a
/// torque from outside (a hand pushing the link) acts on the joint.
struct JointDrive {
  double k_p = 0.0;       ///< stiffness, command units per rad
  double k_d = 0.0;       ///< damping, command units per rad/s
  double position = 0.0;  ///< target position, rad
  double velocity = 0.0;  ///< target velocity, rad/s
  double torque = 0.0;    ///< feed-forward torque command
  /// Torque from outside the motor, N·m: not limited by the motor and not part
  /// of the torque the motor reports.
  double external = 0.0;
};

/// The true state of one joint.
struct JointState {
  double position = 0.0;  ///< radians
  double velocity = 0.0;  ///< radians per second
  double torque = 0.0;    ///< torque the motor applied at the joint in the last step, N·m
  /// The torque command that applied it (the motor's units): what the motor
  /// reports as its current.
  double command = 0.0;
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
/// The arm joints' defaults are the arm's dynamics model's (ArmConfig.h,
/// ArmDynamics): reflected rotor inertia 0.01 kg·m² on the type 4 joints
/// (1-3) and 0.002 kg·m² on the type 2 joints (4-6); viscous friction 0.05
/// N·m·s/rad (joints 1-3), 0.02 (joints 4-6); Coulomb friction 0.1 N·m
/// (joints 1-3), 0.05 (joints 4-6). The gripper: rotor inertia 0.002 kg·m²,
/// viscous friction 0.05, no Coulomb friction, its own inertia 0.001 kg·m².
/// Torque limits 30 (joints 1-3) and 10 (joints 4-6, gripper), in command
/// units: the torque ranges of their command fields. End stops: the arm
/// joints stop 0.1 rad beyond the controller's joint limits, the gripper at
/// one end only.
///
/// Model error, all off by default: mass_scale, torque_constant_scale, a
/// payload the controller does not know of, and the friction constants
/// changed from the defaults.
struct PhysicsParameters {
  /// Each joint's reflected rotor inertia, kg·m².
  std::array<double, kSimJoints> armature{config::kRotorInertia[0],
                                          config::kRotorInertia[1],
                                          config::kRotorInertia[2],
                                          config::kRotorInertia[3],
                                          config::kRotorInertia[4],
                                          config::kRotorInertia[5],
                                          0.002};
  /// Each joint's viscous friction, N·m·s/rad.
  std::array<double, kSimJoints> friction{config::kViscousFriction[0],
                                          config::kViscousFriction[1],
                                          config::kViscousFriction[2],
                                          config::kViscousFriction[3],
                                          config::kViscousFriction[4],
                                          config::kViscousFriction[5],
                                          0.05};
  /// Each joint's Coulomb friction, N·m (smoothed with coulomb_velocity).
  std::array<double, kSimJoints> coulomb{config::kCoulombFriction[0],
                                         config::kCoulombFriction[1],
                                         config::kCoulombFriction[2],
                                         config::kCoulombFriction[3],
                                         config::kCoulombFriction[4],
                                         config::kCoulombFriction[5],
                                         0.0};
  /// The speed at which Coulomb friction reaches tanh(1) of its value, rad/s.
  double coulomb_velocity = config::kCoulombVelocity;
  /// Each motor's torque limit, in its command units.
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
  /// Factor on the torque each arm motor delivers for its command (a torque
  /// constant off by this much); the motor still reports its command as
  /// current. Positive.
  std::array<double, kSimArmJoints> torque_constant_scale{1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
  /// A point mass on the flange, kg (0: none).
  double payload_mass = 0.0;
  /// The payload's centre of mass in the flange frame, m.
  std::array<double, 3> payload_centre{0.0, 0.0, 0.0};
};

/// The arm as a rigid chain under gravity, from a URDF description (chain
/// "base_link" to "link6", six revolute joints), plus the gripper as a single
/// joint with an end stop.
///
/// The arm joints' physics is the arm's dynamics model (ArmDynamics) on the
/// description's chain, with this model's constants. Each step integrates
/// one time step with semi-implicit Euler: the motors' gains and the friction
/// (Coulomb friction by its secant) are taken implicitly, so stiff gains on light links
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

  /// The joint torques (N·m at the joints) that hold the arm still against
  /// gravity at @p positions (six arm joints), from the simulated arm's masses
  /// and payload. May run
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
