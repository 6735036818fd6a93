#include "controller/CollisionObserver.h"

#include <cmath>
#include <mutex>

namespace kav {
namespace t8 {

using namespace config;

MomentumObserver::MomentumObserver(const KDL::Chain& chain)
    : bare_(std::make_unique<ArmDynamics>(chain)), model_(std::make_unique<ArmDynamics>(chain)) {}

MomentumObserver::~MomentumObserver() = default;

void MomentumObserver::setPayload(double mass, const Eigen::Vector3d& centre_of_mass) {
  auto model = std::make_unique<ArmDynamics>(bare_->chain(), bare_->drives(), Payload{mass, centre_of_mass});
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
  ArmDynamics& model = *model_;
  model.inertia(q_, mass_);
  model.bias(q_, v_, bias_);  // C(q, qdot) qdot + g(q)
  if (model.payload().mass > 0.0) {
    model.gravity(q_, gravity_);
    bare_->gravity(q_, bare_gravity_);
    for (int i = 0; i < kArmJoints; ++i) payload_gravity_[i] = gravity_(i) - bare_gravity_(i);
  } else {
    payload_gravity_.fill(0.0);
  }

  Eigen::Matrix<double, kArmJoints, 1> input;
  const Eigen::Matrix<double, kArmJoints, 1> momentum = mass_ * v_;
  if (!started_) residual_.fill(0.0);
  // Mdot qdot from the change of M over the cycle (C + C^T = Mdot).
  Eigen::Matrix<double, kArmJoints, 1> mass_change = Eigen::Matrix<double, kArmJoints, 1>::Zero();
  if (started_ && evidence) mass_change.noalias() = (mass_ - previous_mass_) * v_ / dt;
  for (int i = 0; i < kArmJoints; ++i) {
    const double motor = model.jointTorque(i, feedback.joints[i].current);
    const double beta = bias_(i) - mass_change(i) + model.friction(i, v_(i));
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
  previous_mass_ = mass_;
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
