#include "controller/CollisionObserver.h"

#include <cmath>
#include <kdl/chaindynparam.hpp>
#include <mutex>

namespace kav {
namespace t8 {

using namespace config;

namespace {

const KDL::Vector kGravity(0.0, 0.0, -9.81);

}  // namespace

struct MomentumObserver::Model {
  explicit Model(const KDL::Chain& c) : chain(c), dynamics(chain, kGravity) {}
  KDL::Chain chain;
  KDL::ChainDynParam dynamics;
};

MomentumObserver::MomentumObserver(const KDL::Chain& chain)
    : bare_(std::make_unique<Model>(chain)),
      model_(std::make_unique<Model>(chain)),
      q_(kArmJoints),
      v_(kArmJoints),
      gravity_(kArmJoints),
      bare_gravity_(kArmJoints),
      coriolis_(kArmJoints),
      mass_(kArmJoints) {}

MomentumObserver::~MomentumObserver() = default;

void MomentumObserver::setPayload(double mass, const Eigen::Vector3d& centre_of_mass) {
  KDL::Chain chain = bare_->chain;
  KDL::Segment& flange = chain.segments.back();
  const KDL::Vector centre(centre_of_mass.x(), centre_of_mass.y(), centre_of_mass.z());
  flange.setInertia(flange.getInertia() + KDL::RigidBodyInertia(mass, centre));
  auto model = std::make_unique<Model>(chain);
  std::lock_guard<rt::PiMutex> lock(pending_mutex_);
  pending_ = std::move(model);  // frees a model the control thread replaced, here on the host's thread
  pending_ready_ = true;
}

void MomentumObserver::takePayload() {
  std::unique_lock<rt::PiMutex> lock(pending_mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !pending_ready_) return;
  // The replaced model goes back to the pending slot, so that the control
  // thread frees nothing.
  std::swap(model_, pending_);
  pending_ready_ = false;
}

void MomentumObserver::update(const laws::Feedback& feedback, double dt) { step(feedback, dt, true); }

void MomentumObserver::step(const laws::Feedback& feedback, double dt, bool evidence) {
  takePayload();
  for (int i = 0; i < kArmJoints; ++i) {
    q_(i) = feedback.joints[i].position;
    v_(i) = feedback.joints[i].velocity;
  }
  KDL::ChainDynParam& dynamics = model_->dynamics;
  dynamics.JntToMass(q_, mass_);
  dynamics.JntToCoriolis(q_, v_, coriolis_);
  dynamics.JntToGravity(q_, gravity_);
  bare_->dynamics.JntToGravity(q_, bare_gravity_);

  Eigen::Matrix<double, kArmJoints, kArmJoints> mass = mass_.data;
  Eigen::Matrix<double, kArmJoints, 1> velocity, input;
  for (int i = 0; i < kArmJoints; ++i) {
    mass(i, i) += kRotorInertia[i];
    velocity(i) = v_(i);
    payload_gravity_[i] = gravity_(i) - bare_gravity_(i);
  }
  const Eigen::Matrix<double, kArmJoints, 1> momentum = mass * velocity;
  if (!started_) residual_.fill(0.0);
  // Mdot qdot from the change of M over the cycle (C + C^T = Mdot).
  Eigen::Matrix<double, kArmJoints, 1> mass_change = Eigen::Matrix<double, kArmJoints, 1>::Zero();
  if (started_ && evidence) mass_change.noalias() = (mass - previous_mass_) * velocity / dt;
  for (int i = 0; i < kArmJoints; ++i) {
    const double motor = kMotorTorqueConstant[i] * feedback.joints[i].current;
    const double beta = gravity_(i) + coriolis_(i) - mass_change(i) + kViscousFriction[i] * velocity(i);
    input(i) = motor - beta;
  }
  if (started_ && evidence) {
    // The mean external torque over the step: the change of momentum the
    // model's torques (trapezoidal rule) do not explain. The residual
    // follows it as rdot = K_O (tau_ext - r) solved exactly over the step,
    // which stays stable and free of overshoot however long the step was.
    for (int i = 0; i < kArmJoints; ++i) {
      const double external =
          (momentum(i) - previous_momentum_(i)) / dt - 0.5 * (input(i) + previous_input_(i));
      const double keep = std::exp(-kObserverGain[i] * dt);
      residual_[i] = keep * residual_[i] + (1.0 - keep) * external;
    }
  }
  started_ = true;
  previous_momentum_ = momentum;
  previous_input_ = input;
  previous_mass_ = mass;
}

void CollisionMonitor::setThresholds(const CollisionThresholds& thresholds) {
  std::lock_guard<rt::PiMutex> lock(mutex_);
  requested_ = thresholds;
  requested_new_ = true;
}

CollisionThresholds CollisionMonitor::thresholds() {
  std::lock_guard<rt::PiMutex> lock(mutex_);
  return requested_;
}

int CollisionMonitor::check(const JointTorques& residual, double upper_scale) {
  {
    std::unique_lock<rt::PiMutex> lock(mutex_, std::try_to_lock);
    if (lock.owns_lock() && requested_new_) {
      active_ = requested_;
      requested_new_ = false;
    }
  }
  contact_ = false;
  int reflex = 0;
  for (int i = 0; i < kArmJoints; ++i) {
    const double magnitude = std::fabs(residual[i]);
    if (magnitude > active_.lower[i]) contact_ = true;
    if (reflex == 0 && magnitude > upper_scale * active_.upper[i]) reflex = i + 1;
  }
  return reflex;
}

}  // namespace t8
}  // namespace kav
