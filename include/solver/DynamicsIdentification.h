#pragma once
/// @file DynamicsIdentification.h
/// Identifying the arm's dynamics from recorded motion (kav identify): the
/// gravity regressor, the excitation motion and the least-squares fits.
/// docs/tools.md says which parameters are identified and why.

#include <Eigen/Core>
#include <array>
#include <kdl/chain.hpp>
#include <kdl/chaindynparam.hpp>
#include <kdl/chainidsolver_recursive_newton_euler.hpp>
#include <memory>
#include <string>
#include <vector>

#include "motion/Motion.h"
#include "solver/ArmDynamics.h"
#include "solver/DynamicsCalibration.h"

namespace kav {
namespace identify {

/// Gravity parameters of one joint: the mass scales of links 1-5, then the
/// flange's mass and first moment (x, y, z), in that order.
constexpr int kGravityParameters = kScaledLinks + 4;
/// The gravity torques' columns: joint torque per unit of each parameter.
using GravityColumns = Eigen::Matrix<double, config::kArmJoints, kGravityParameters>;
/// Values of the gravity parameters, in the columns' order.
using GravityParameters = Eigen::Matrix<double, kGravityParameters, 1>;

/// Gravity torques are linear in the parameters of JointCalibration: each
/// link's mass scale multiplies that link's gravity torques, and the flange
/// body's torques are linear in its mass and first moment. This gives the
/// columns (N·m per unit of each parameter) at a pose. Allocation-free once
/// constructed; one object per thread.
class GravityRegressor {
 public:
  /// @param chain base to flange, six revolute joints, link 6 the last segment
  /// @throw std::invalid_argument otherwise
  explicit GravityRegressor(const KDL::Chain& chain);
  ~GravityRegressor();
  GravityRegressor(const GravityRegressor&) = delete;
  GravityRegressor& operator=(const GravityRegressor&) = delete;

  /// The columns at @p q: row i holds joint i's torque per unit of each parameter.
  void columns(const ArmDynamics::Vector& q, GravityColumns& out);
  /// The same for the whole rigid-body torque (gravity, inertia, Coriolis) in
  /// motion: each link's torques alone, and the flange body's as a point mass.
  void dynamicColumns(const ArmDynamics::Vector& q, const ArmDynamics::Vector& qd,
                      const ArmDynamics::Vector& qdd, GravityColumns& out);
  /// The torques of link 6's rotational inertia about the flange alone (as
  /// described): the part of the flange body the parameters leave out.
  void flangeRotation(const ArmDynamics::Vector& q, const ArmDynamics::Vector& qd,
                      const ArmDynamics::Vector& qdd, ArmDynamics::Vector& out);
  /// The description's own parameters: scales 1, link 6's mass and first moment.
  const GravityParameters& nominal() const { return nominal_; }
  /// One joint's parameters as a vector.
  static GravityParameters parametersOf(const JointCalibration& joint);
  /// The gravity torques of @p calibration at @p q, N·m.
  void gravity(const DynamicsCalibration& calibration, const ArmDynamics::Vector& q,
               ArmDynamics::Vector& out);

 private:
  // The solvers refer to their chains: both kept here. Links 1-5 alone, then
  // a unit mass at the flange's origin, at e_x, e_y and e_z.
  std::vector<std::unique_ptr<KDL::Chain>> chains_;
  std::vector<std::unique_ptr<KDL::ChainDynParam>> parts_;
  std::vector<std::unique_ptr<KDL::ChainIdSolver_RNE>> inverse_;
  KDL::JntArray q_, qd_, qdd_, torque_;
  KDL::Wrenches wrenches_;
  GravityParameters nominal_;
  GravityColumns columns_;
};

/// The description's own model as a calibration (what the controller assumes
/// without one).
DynamicsCalibration nominalCalibration(const KDL::Chain& chain);

/// A smooth excitation motion: per joint a sum of four sine harmonics of one
/// base period of about 30 s (a Fourier series) about a centre pose (the
/// middle of the joint ranges), faded in and out over the first and last 8 s
/// so that it starts and ends at rest at the centre. Positions stay within the joint limits less a margin,
/// speeds and accelerations within the motion limits times the speed scale (and its square).
class Excitation {
 public:
  /// @param duration seconds, 30 to 3600
  /// @param speed_scale (0, 1]
  /// @param seed chooses the harmonics' amplitudes and phases
  /// @throw std::invalid_argument for values outside these
  Excitation(double duration, double speed_scale, unsigned seed = 1);
  /// The pose it starts and ends at.
  const motion::JointArray& centre() const { return centre_; }
  /// Its length, seconds.
  double duration() const { return duration_; }
  /// Position, velocity and acceleration at @p t seconds (clamped to the motion).
  void sample(double t, ArmDynamics::Vector& q, ArmDynamics::Vector& qd, ArmDynamics::Vector& qdd) const;
  /// The motion as trajectory points every @p step seconds (with
  /// velocities and accelerations), the last one at rest.
  std::vector<motion::TrajectoryPoint> points(double step) const;

 private:
  static constexpr int kHarmonics = 4;
  double duration_, base_, fade_;
  motion::JointArray centre_{};
  std::array<std::array<double, kHarmonics>, config::kArmJoints> sine_{};
};

/// One recorded instant: joint positions, velocities, accelerations and the
/// motors' reported currents (torque command units).
struct Sample {
  ArmDynamics::Vector q;        ///< rad
  ArmDynamics::Vector qd;       ///< rad/s
  ArmDynamics::Vector qdd;      ///< rad/s²
  ArmDynamics::Vector current;  ///< torque command units
};

/// Accelerations of @p samples (taken at @p times, seconds) by central
/// differences of their velocities over @p half_window samples each side,
/// and their velocities averaged over the same window.
void differentiate(std::vector<Sample>& samples, const std::vector<double>& times, int half_window);

/// How one joint's fit went.
struct JointFitReport {
  double rms_before = 0.0;  ///< RMS torque residual of the description's model, N·m
  double rms_after = 0.0;   ///< of the identified model, N·m
  double condition = 0.0;   ///< condition number of the (column-scaled) identified columns
  int base_parameters = 0;  ///< parameters identified (the rest keep their nominal values)
};

/// The fit's result.
struct FitResult {
  DynamicsCalibration calibration;                        ///< the identified model
  std::array<JointFitReport, config::kArmJoints> joints;  ///< per joint
  std::size_t samples = 0;                                ///< samples the fit used
  /// The fit's report as a JSON object (for the file).
  std::string json() const;
};

/// Fits each joint's model to @p samples by least squares about the
/// description's values: measured current = s (rigid-body torque + rotor
/// inertia qdd + viscous qd + Coulomb tanh(qd / v_c)), the rigid-body torque
/// (gravity, inertia, Coriolis) linear in the JointCalibration parameters
/// (dynamicColumns), s the torque per command unit. s cannot be told apart
/// from the masses (only the rotors' small inertial torques could), so it
/// stays nominal and the gravity terms hold it: the holding commands are
/// what is identified. Link 5's factor stays nominal (the flange body takes
/// up its error). Directions the data do not determine keep their nominal
/// values (a truncated SVD of the columns scaled by plausible changes).
/// @throw std::invalid_argument for fewer than 50 samples or values that are not finite
FitResult fitDynamics(const KDL::Chain& chain, const std::vector<Sample>& samples);

/// The payload from currents held at rest: the mass and centre of mass whose
/// gravity torques, with @p base's (the arm without it) and @p base's
/// torque per command unit, explain @p samples best (joints 2-6).
/// @throw std::invalid_argument for fewer than 3 samples, or when the poses
///        do not determine the payload
PayloadCalibration fitPayload(const KDL::Chain& chain, const DynamicsCalibration& base,
                              const std::vector<Sample>& samples);

/// The payload part of a fitted model: its flange terms less link 6's own
/// (as described), combined over the joints at @p poses.
PayloadCalibration payloadOf(const KDL::Chain& chain, const DynamicsCalibration& fitted,
                             const std::vector<ArmDynamics::Vector>& poses);

}  // namespace identify
}  // namespace kav
