#include "sim/ArmPhysics.h"

#include <solver/ArmDynamics.h>
#include <solver/kinematic_dynamic_solver.h>

#include <Eigen/Dense>
#include <cmath>
#include <kdl/chain.hpp>
#include <kdl/tree.hpp>
#include <stdexcept>
#include <string>

namespace kav {
namespace sim {

namespace {

constexpr int kGripper = kSimArmJoints;
using Matrix6 = Eigen::Matrix<double, kSimArmJoints, kSimArmJoints>;
using Vector6 = Eigen::Matrix<double, kSimArmJoints, 1>;

void requireFinite(double value, const std::string& what) {
  if (!std::isfinite(value)) throw std::invalid_argument("ArmPhysics: " + what + " is not finite");
}

void requireNonNegative(double value, const std::string& what) {
  requireFinite(value, what);
  if (value < 0.0) throw std::invalid_argument("ArmPhysics: " + what + " is negative");
}

KDL::Chain armChain(const std::string& description, const std::array<double, kSimArmJoints>& mass_scale) {
  KDL::Tree tree;
  if (!parseDescriptionTree(description, tree)) {
    throw std::invalid_argument("ArmPhysics: the robot description cannot be parsed");
  }
  KDL::Chain chain;
  if (!tree.getChain("base_link", "link6", chain)) {
    throw std::invalid_argument("ArmPhysics: the robot description has no chain from base_link to link6");
  }
  if (chain.getNrOfJoints() != static_cast<unsigned>(kSimArmJoints)) {
    throw std::invalid_argument("ArmPhysics: the chain from base_link to link6 has " +
                                std::to_string(chain.getNrOfJoints()) + " joints, not 6");
  }
  // Link i moves with joint i: the segments after the first joint's carry the scales.
  int link = -1;
  for (KDL::Segment& segment : chain.segments) {
    if (segment.getJoint().getType() != KDL::Joint::None) ++link;
    if (link >= 0) segment.setInertia(mass_scale[link] * segment.getInertia());
  }
  return chain;
}

const PhysicsParameters& validated(const PhysicsParameters& p, const std::array<double, kSimJoints>& start) {
  for (int i = 0; i < kSimJoints; ++i) {
    const std::string joint = " of joint " + std::to_string(i);
    requireNonNegative(p.armature[i], "armature" + joint);
    requireNonNegative(p.friction[i], "friction" + joint);
    requireNonNegative(p.coulomb[i], "Coulomb friction" + joint);
    requireNonNegative(p.torque_limit[i], "torque limit" + joint);
    requireFinite(start[i], "start position" + joint);
    if (std::isnan(p.lower_stop[i]) || std::isnan(p.upper_stop[i]) || !(p.lower_stop[i] < p.upper_stop[i])) {
      throw std::invalid_argument("ArmPhysics: the end stops" + joint +
                                  " are not an interval (lower below upper)");
    }
    if (start[i] < p.lower_stop[i] || start[i] > p.upper_stop[i]) {
      throw std::invalid_argument("ArmPhysics: start position" + joint + " lies beyond its end stops");
    }
  }
  requireNonNegative(p.gripper_inertia, "gripper inertia");
  requireFinite(p.coulomb_velocity, "Coulomb velocity");
  if (p.coulomb_velocity <= 0.0)
    throw std::invalid_argument("ArmPhysics: the Coulomb velocity is not positive");
  requireNonNegative(p.payload_mass, "payload mass");
  for (double c : p.payload_centre) requireFinite(c, "a coordinate of the payload's centre of mass");
  for (int i = 0; i < kSimArmJoints; ++i) {
    requireFinite(p.torque_constant_scale[i], "torque constant scale of joint " + std::to_string(i));
    if (p.torque_constant_scale[i] <= 0.0) {
      throw std::invalid_argument("ArmPhysics: the torque constant scale of joint " + std::to_string(i) +
                                  " is not positive");
    }
    requireFinite(p.mass_scale[i], "mass scale of link " + std::to_string(i + 1));
    if (p.mass_scale[i] <= 0.0) {
      throw std::invalid_argument("ArmPhysics: the mass scale of link " + std::to_string(i + 1) +
                                  " is not positive");
    }
  }
  if (p.gripper_inertia + p.armature[kGripper] <= 0.0) {
    throw std::invalid_argument("ArmPhysics: the gripper has no inertia");
  }
  return p;
}

double limited(double torque, double limit) {
  return std::abs(torque) > limit ? std::copysign(limit, torque) : torque;
}

// Keeps a joint within its end stops: a joint that hits a stop stops there,
// and its motor's command is that of the law at rest against the stop,
// delivered as @p per_command N·m per unit.
void applyStops(const JointDrive& d, double lower, double upper, double limit, double per_command,
                JointState* s) {
  if (s->position >= lower && s->position <= upper) return;
  s->position = s->position < lower ? lower : upper;
  s->velocity = 0.0;
  s->command = limited(d.k_p * (d.position - s->position) + d.k_d * d.velocity + d.torque, limit);
  s->torque = per_command * s->command;
}

DriveParameters drivesOf(const PhysicsParameters& p) {
  DriveParameters drives;
  for (int i = 0; i < kSimArmJoints; ++i) {
    drives.rotor_inertia[i] = p.armature[i];
    drives.viscous[i] = p.friction[i];
    drives.coulomb[i] = p.coulomb[i];
    // A motor delivering more torque per command than the model says needs
    // less command per N·m.
    drives.command_per_newton_metre[i] = config::kTorqueCommandPerNewtonMetre[i] / p.torque_constant_scale[i];
  }
  drives.coulomb_velocity = p.coulomb_velocity;
  return drives;
}

Payload payloadOf(const PhysicsParameters& p) {
  return Payload{p.payload_mass,
                 Eigen::Vector3d(p.payload_centre[0], p.payload_centre[1], p.payload_centre[2])};
}

}  // namespace

class ArmPhysics::impl {
 public:
  impl(const std::string& description, const std::array<double, kSimJoints>& start,
       const PhysicsParameters& parameters)
      : parameters_(validated(parameters, start)),
        chain_(armChain(description, parameters.mass_scale)),
        dynamics_(chain_, drivesOf(parameters), payloadOf(parameters)),
        gravity_model_(chain_, drivesOf(parameters), payloadOf(parameters)) {
    for (int i = 0; i < kSimJoints; ++i) state_[i].position = start[i];
  }

  void step(const std::array<JointDrive, kSimJoints>& drives, double dt) {
    if (!std::isfinite(dt) || dt <= 0.0) {
      throw std::invalid_argument("ArmPhysics: the time step must be positive and finite");
    }
    for (int i = 0; i < kSimJoints; ++i) {
      const JointDrive& d = drives[i];
      for (double value : {d.k_p, d.k_d, d.position, d.velocity, d.torque, d.external}) {
        // The message only when it is needed: this runs a thousand times a second.
        if (!std::isfinite(value)) requireFinite(value, "a drive value of joint " + std::to_string(i));
      }
    }
    stepArm(drives, dt);
    stepGripper(drives[kGripper], dt);
  }

  std::array<double, kSimArmJoints> gravityTorques(const std::array<double, kSimArmJoints>& positions) {
    ArmDynamics::Vector q, g;
    for (int i = 0; i < kSimArmJoints; ++i) {
      requireFinite(positions[i], "position " + std::to_string(i));
      q(i) = positions[i];
    }
    gravity_model_.gravity(q, g);
    std::array<double, kSimArmJoints> result{};
    for (int i = 0; i < kSimArmJoints; ++i) result[i] = g(i);
    return result;
  }

  const PhysicsParameters parameters_;
  std::array<JointState, kSimJoints> state_{};

 private:
  // Joint-space equation of motion M(q) a + h(q, v) = tau - b v, with the
  // motors' torques tau = k_p (p_ref - q') + k_d (v_ref - v') + t_ff taken at
  // the end of the step (q' = q + dt v'), which makes the update a linear
  // solve for v'. A motor that would exceed its limit applies the limit
  // instead, and the solve is repeated without its gains.
  void stepArm(const std::array<JointDrive, kSimJoints>& commanded, double dt) {
    // The motors' commands as torques at the joints (the limits too).
    std::array<JointDrive, kSimArmJoints> drives;
    double per_command[kSimArmJoints], limit[kSimArmJoints];
    for (int i = 0; i < kSimArmJoints; ++i) {
      per_command[i] = dynamics_.jointTorque(i, 1.0);
      const JointDrive& c = commanded[i];
      drives[i] = JointDrive{per_command[i] * c.k_p,
                             per_command[i] * c.k_d,
                             c.position,
                             c.velocity,
                             per_command[i] * c.torque,
                             c.external};
      limit[i] = per_command[i] * parameters_.torque_limit[i];
    }
    ArmDynamics::Vector q, velocity, bias;
    for (int i = 0; i < kSimArmJoints; ++i) {
      q(i) = state_[i].position;
      velocity(i) = state_[i].velocity;
    }
    ArmDynamics::Matrix inertia;
    dynamics_.inertia(q, inertia);
    dynamics_.bias(q, velocity, bias);  // Coriolis and gravity
    const ArmDynamics::Vector momentum = inertia * velocity;

    bool saturated[kSimArmJoints] = {};
    double fixed_torque[kSimArmJoints] = {};
    ArmDynamics::Vector next_velocity;
    double torque[kSimArmJoints] = {};
    for (int pass = 0; pass <= kSimArmJoints; ++pass) {
      ArmDynamics::Matrix a = inertia;
      ArmDynamics::Vector rhs = momentum - dt * bias;
      for (int i = 0; i < kSimArmJoints; ++i) {
        const JointDrive& d = drives[i];
        a(i, i) += dt * dynamics_.frictionSecant(i, velocity(i));
        rhs(i) += dt * d.external;
        if (saturated[i]) {
          rhs(i) += dt * fixed_torque[i];
        } else {
          a(i, i) += dt * d.k_d + dt * dt * d.k_p;
          rhs(i) += dt * (d.k_p * (d.position - state_[i].position) + d.k_d * d.velocity + d.torque);
        }
      }
      next_velocity = a.ldlt().solve(rhs);

      bool changed = false;
      for (int i = 0; i < kSimArmJoints; ++i) {
        if (saturated[i]) {
          torque[i] = fixed_torque[i];
          continue;
        }
        const JointDrive& d = drives[i];
        const double next_position = state_[i].position + dt * next_velocity(i);
        torque[i] = d.k_p * (d.position - next_position) + d.k_d * (d.velocity - next_velocity(i)) + d.torque;
        if (std::abs(torque[i]) > limit[i]) {
          saturated[i] = true;
          fixed_torque[i] = std::copysign(limit[i], torque[i]);
          changed = true;
        }
      }
      if (!changed) break;
    }

    for (int i = 0; i < kSimArmJoints; ++i) {
      JointState& s = state_[i];
      s.velocity = next_velocity(i);
      s.position += dt * s.velocity;
      s.torque = torque[i];
      s.command = dynamics_.command(i, torque[i]);
      applyStops(commanded[i], parameters_.lower_stop[i], parameters_.upper_stop[i],
                 parameters_.torque_limit[i], per_command[i], &s);
    }
  }

  // The gripper: one joint with its own inertia, no gravity, the same
  // implicit motor law and torque limit.
  void stepGripper(const JointDrive& d, double dt) {
    JointState& s = state_[kGripper];
    const double inertia = parameters_.gripper_inertia + parameters_.armature[kGripper];
    const double friction = parameters_.friction[kGripper];
    const double limit = parameters_.torque_limit[kGripper];
    double next_velocity = (inertia * s.velocity + dt * (d.k_p * (d.position - s.position) +
                                                         d.k_d * d.velocity + d.torque + d.external)) /
                           (inertia + dt * (friction + d.k_d) + dt * dt * d.k_p);
    double torque = d.k_p * (d.position - s.position - dt * next_velocity) +
                    d.k_d * (d.velocity - next_velocity) + d.torque;
    if (std::abs(torque) > limit) {
      torque = std::copysign(limit, torque);
      next_velocity = (inertia * s.velocity + dt * (torque + d.external)) / (inertia + dt * friction);
    }
    s.velocity = next_velocity;
    s.position += dt * s.velocity;
    s.torque = torque;
    s.command = torque;
    applyStops(d, parameters_.lower_stop[kGripper], parameters_.upper_stop[kGripper], limit, 1.0, &s);
  }

  KDL::Chain chain_;
  ArmDynamics dynamics_;
  ArmDynamics gravity_model_;  // apart from dynamics_, so it may run beside step()
};

ArmPhysics::ArmPhysics(const std::string& description, const std::array<double, kSimJoints>& start,
                       const PhysicsParameters& parameters)
    : pimpl(new impl(description, start, parameters)) {}

ArmPhysics::~ArmPhysics() = default;

void ArmPhysics::step(const std::array<JointDrive, kSimJoints>& drives, double dt) {
  pimpl->step(drives, dt);
}

const std::array<JointState, kSimJoints>& ArmPhysics::state() const { return pimpl->state_; }

std::array<double, kSimArmJoints> ArmPhysics::gravityTorques(
    const std::array<double, kSimArmJoints>& positions) const {
  return pimpl->gravityTorques(positions);
}

const PhysicsParameters& ArmPhysics::parameters() const { return pimpl->parameters_; }

}  // namespace sim
}  // namespace kav
