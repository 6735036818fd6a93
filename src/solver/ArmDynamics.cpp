#include "solver/ArmDynamics.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "solver/DynamicsIdentification.h"

namespace kav {

namespace {

using config::kArmJoints;

const KDL::Vector kGravity(0.0, 0.0, -9.81);

void require(bool ok, const std::string& what) {
  if (!ok) throw std::invalid_argument("ArmDynamics: " + what);
}

const DriveParameters& checked(const DriveParameters& d) {
  for (int i = 0; i < kArmJoints; ++i) {
    const std::string joint = " of joint " + std::to_string(i + 1);
    require(std::isfinite(d.rotor_inertia[i]) && d.rotor_inertia[i] >= 0.0,
            "the rotor inertia" + joint + " must be finite and at least 0");
    require(std::isfinite(d.viscous[i]) && d.viscous[i] >= 0.0,
            "the viscous friction" + joint + " must be finite and at least 0");
    require(std::isfinite(d.coulomb[i]) && d.coulomb[i] >= 0.0,
            "the Coulomb friction" + joint + " must be finite and at least 0");
    require(std::isfinite(d.command_per_newton_metre[i]) && d.command_per_newton_metre[i] > 0.0,
            "the torque command per N·m" + joint + " must be finite and positive");
  }
  require(std::isfinite(d.coulomb_velocity) && d.coulomb_velocity > 0.0,
          "the Coulomb velocity must be finite and positive");
  return d;
}

KDL::Chain withPayload(const KDL::Chain& chain, const Payload& payload) {
  require(chain.getNrOfJoints() == static_cast<unsigned>(kArmJoints), "the chain has not six joints");
  require(std::isfinite(payload.mass) && payload.mass >= 0.0 && payload.centre_of_mass.allFinite(),
          "the payload must have a finite mass of at least 0 and a finite centre of mass");
  KDL::Chain result = chain;
  if (payload.mass > 0.0 && !result.segments.empty()) {
    KDL::Segment& flange = result.segments.back();
    const Eigen::Vector3d& c = payload.centre_of_mass;
    flange.setInertia(flange.getInertia() +
                      KDL::RigidBodyInertia(payload.mass, KDL::Vector(c.x(), c.y(), c.z())));
  }
  return result;
}

}  // namespace

ArmDynamics::ArmDynamics(const KDL::Chain& chain, const DriveParameters& drives, const Payload& payload)
    : chain_(withPayload(chain, payload)),
      drives_(checked(drives)),
      payload_(payload),
      parameters_(chain_, kGravity),
      inverse_(chain_, kGravity),
      q_(kArmJoints),
      qd_(kArmJoints),
      zero_(kArmJoints),
      out_(kArmJoints),
      mass_(kArmJoints),
      wrenches_(chain_.getNrOfSegments(), KDL::Wrench::Zero()) {}

namespace {

DriveParameters drivesOf(const DynamicsCalibration& calibration, DriveParameters drives) {
  checkCalibration(calibration, true);
  for (int i = 0; i < kArmJoints; ++i) {
    const JointCalibration& joint = calibration.joints[i];
    drives.command_per_newton_metre[i] = joint.command_per_newton_metre;
    drives.viscous[i] = joint.viscous;
    drives.coulomb[i] = joint.coulomb;
  }
  return drives;
}

DynamicsCalibration withPayload(DynamicsCalibration calibration, const Payload& payload) {
  // Gravity is linear in the flange body's mass and first moment.
  for (JointCalibration& joint : calibration.joints) {
    joint.flange_mass += payload.mass;
    joint.flange_moment += payload.mass * payload.centre_of_mass;
  }
  return calibration;
}

}  // namespace

ArmDynamics::ArmDynamics(const KDL::Chain& chain, const DynamicsCalibration& calibration,
                         const Payload& payload, const DriveParameters& drives)
    : ArmDynamics(chain, drivesOf(calibration, drives), payload) {
  regressor_ = std::make_unique<identify::GravityRegressor>(chain);
  calibration_ = withPayload(calibration, payload);
}

ArmDynamics::~ArmDynamics() = default;

void ArmDynamics::inertia(const Vector& q, Matrix& out) {
  q_.data = q;
  parameters_.JntToMass(q_, mass_);
  out = mass_.data;
  for (int i = 0; i < kArmJoints; ++i) out(i, i) += drives_.rotor_inertia[i];
}

void ArmDynamics::gravity(const Vector& q, Vector& out) {
  if (regressor_) {
    regressor_->gravity(calibration_, q, out);
    return;
  }
  q_.data = q;
  parameters_.JntToGravity(q_, out_);
  out = out_.data;
}

void ArmDynamics::bias(const Vector& q, const Vector& qd, Vector& out) {
  q_.data = q;
  qd_.data = qd;
  inverse_.CartToJnt(q_, qd_, zero_, wrenches_, out_);
  out = out_.data;
  if (regressor_) {
    // The description's gravity out, the calibration's in.
    parameters_.JntToGravity(q_, out_);
    out -= out_.data;
    regressor_->gravity(calibration_, q, calibrated_gravity_);
    out += calibrated_gravity_;
  }
}

double ArmDynamics::friction(int joint, double qd) const {
  return drives_.viscous[joint] * qd + drives_.coulomb[joint] * std::tanh(qd / drives_.coulomb_velocity);
}

double ArmDynamics::frictionSecant(int joint, double qd) const {
  const double v_c = drives_.coulomb_velocity;
  const double x = qd / v_c;
  // tanh(x) / x, 1 at rest; its series below 1e-4 is exact to rounding.
  const double ratio = std::fabs(x) < 1e-4 ? 1.0 - x * x / 3.0 : std::tanh(x) / x;
  return drives_.viscous[joint] + drives_.coulomb[joint] * ratio / v_c;
}

}  // namespace kav
