#pragma once
/// @file ArmDynamics.h
/// The one dynamics model of the arm: the robot description's rigid body,
/// a payload on the flange, each drive's reflected rotor inertia and
/// friction, and how a motor's torque command and reported current relate to
/// the torque at its joint. The controller's gravity feed-forward, the
/// collision observer and the simulated arm all take their physics from here.

#include <Eigen/Core>
#include <array>
#include <kdl/chain.hpp>
#include <kdl/chaindynparam.hpp>
#include <kdl/chainidsolver_recursive_newton_euler.hpp>
#include <kdl/jntarray.hpp>
#include <kdl/jntspaceinertiamatrix.hpp>
#include <memory>

#include "config/ArmConfig.h"
#include "solver/DynamicsCalibration.h"

namespace kav {

namespace identify {
class GravityRegressor;
}

/// The torque command (the motor's units) that delivers @p torque N·m at arm
/// joint @p joint (0-5): @p torque times kTorqueCommandPerNewtonMetre.
inline double torqueCommand(int joint, double torque) {
  return torque * config::kTorqueCommandPerNewtonMetre[static_cast<std::size_t>(joint)];
}

/// The drives of the six arm joints (defaults from ArmConfig.h).
struct DriveParameters {
  /// Reflected rotor inertia, kg·m².
  std::array<double, config::kArmJoints> rotor_inertia = config::kRotorInertia;
  /// Viscous friction, N·m·s/rad.
  std::array<double, config::kArmJoints> viscous = config::kViscousFriction;
  /// Coulomb friction, N·m.
  std::array<double, config::kArmJoints> coulomb = config::kCoulombFriction;
  /// Speed at which the smoothed Coulomb friction reaches tanh(1) of its
  /// value, rad/s (positive).
  double coulomb_velocity = config::kCoulombVelocity;
  /// Torque command per N·m delivered at the joint (positive); a motor reports
  /// its current in these units.
  std::array<double, config::kArmJoints> command_per_newton_metre = config::kTorqueCommandPerNewtonMetre;
};

/// A point mass on the flange.
struct Payload {
  double mass = 0.0;                                         ///< kg, at least 0
  Eigen::Vector3d centre_of_mass = Eigen::Vector3d::Zero();  ///< m, in the flange frame
};

/// The arm's equation of motion in joint space,
///
///   M(q) qdd + C(q, qd) qd + g(q) + friction(qd) = tau_motor + tau_ext,
///
/// where M includes each drive's rotor inertia, friction per joint is
/// viscous qd + Coulomb tanh(qd / v_c), and tau_motor = command / scale.
///
/// Every computation is allocation-free once constructed; one object is not
/// to be used by two threads at once (each user owns its own).
class ArmDynamics {
 public:
  /// Joint-space vector of the six arm joints.
  using Vector = Eigen::Matrix<double, config::kArmJoints, 1>;
  /// Joint-space matrix of the six arm joints.
  using Matrix = Eigen::Matrix<double, config::kArmJoints, config::kArmJoints>;

  /// @param chain the chain from the base to the flange, six joints
  /// @param drives the drives' constants
  /// @param payload a point mass added to the flange's link (none when its
  ///        mass is 0)
  /// @throw std::invalid_argument when the chain has not six joints, or a
  ///        drive constant or the payload is not finite, negative, or (a
  ///        scale or the Coulomb velocity) not positive
  explicit ArmDynamics(const KDL::Chain& chain, const DriveParameters& drives = DriveParameters(),
                       const Payload& payload = Payload());
  /// The model of an identified arm: gravity, friction and the torque per
  /// command unit from @p calibration (its payload block aside: its joints'
  /// flange terms include what the arm carried), the rotor inertias, the
  /// Coulomb velocity and the inertia from @p drives and the description;
  /// @p payload is added to the calibration's flange terms.
  /// @throw std::invalid_argument as the other constructor, or for an
  ///        implausible calibration (checkCalibration)
  ArmDynamics(const KDL::Chain& chain, const DynamicsCalibration& calibration, const Payload& payload,
              const DriveParameters& drives = DriveParameters());
  ~ArmDynamics();
  ArmDynamics(const ArmDynamics&) = delete;
  ArmDynamics& operator=(const ArmDynamics&) = delete;

  /// M(q) with the rotor inertias on its diagonal.
  void inertia(const Vector& q, Matrix& out);
  /// The gravity torques g(q), N·m at the joints.
  void gravity(const Vector& q, Vector& out);
  /// C(q, qd) qd + g(q): the torques that keep the arm moving at @p qd
  /// without acceleration, friction aside.
  void bias(const Vector& q, const Vector& qd, Vector& out);
  /// The friction torque of joint @p joint (0-5) at velocity @p qd, opposing it.
  double friction(int joint, double qd) const;
  /// Friction over velocity of joint @p joint at @p qd (its secant through
  /// zero; at rest the slope there): what an integrator takes implicitly.
  double frictionSecant(int joint, double qd) const;
  /// N·m at joint @p joint for a torque command (or a reported current) @p command.
  double jointTorque(int joint, double command) const {
    return command / drives_.command_per_newton_metre[joint];
  }
  /// The torque command that delivers @p torque N·m at joint @p joint.
  double command(int joint, double torque) const { return torque * drives_.command_per_newton_metre[joint]; }

  /// The chain the model was built from, with the payload.
  const KDL::Chain& chain() const { return chain_; }
  /// The drives' constants the model was built with.
  const DriveParameters& drives() const { return drives_; }
  /// The payload the model was built with.
  const Payload& payload() const { return payload_; }
  /// Whether the model is an identified arm's (the calibration constructor).
  bool calibrated() const { return regressor_ != nullptr; }
  /// The calibration with the payload in its flange terms (calibrated() only).
  const DynamicsCalibration& calibration() const { return calibration_; }

 private:
  KDL::Chain chain_;
  DriveParameters drives_;
  Payload payload_;
  KDL::ChainDynParam parameters_;
  KDL::ChainIdSolver_RNE inverse_;
  KDL::JntArray q_, qd_, zero_, out_;
  KDL::JntSpaceInertiaMatrix mass_;
  KDL::Wrenches wrenches_;
  std::unique_ptr<identify::GravityRegressor> regressor_;  // calibrated models only
  DynamicsCalibration calibration_;
  Vector calibrated_gravity_;
};

}  // namespace kav
