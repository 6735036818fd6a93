#include "controller/CollisionObserver.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "can_motor_dlc/MotorWire.h"

namespace kav {
namespace t8 {

using namespace config;

MomentumObserver::MomentumObserver(const KDL::Chain& chain)
    : bare_(std::make_unique<ArmDynamics>(chain)), model_(std::make_unique<ArmDynamics>(chain)) {}

MomentumObserver::~MomentumObserver() = default;

void MomentumObserver::setPayload(double mass, const Eigen::Vector3d& centre_of_mass) {
  std::lock_guard<std::mutex> host(host_mutex_);
  host_payload_ = Payload{mass, centre_of_mass};
  handOver(host_payload_, host_calibration_);
}

void MomentumObserver::setCalibration(const std::optional<DynamicsCalibration>& calibration) {
  std::lock_guard<std::mutex> host(host_mutex_);
  handOver(host_payload_, calibration);
  host_calibration_ = calibration;
}

void MomentumObserver::handOver(Payload payload, std::optional<DynamicsCalibration> calibration) {
  auto model = calibration
                   ? std::make_unique<ArmDynamics>(bare_->chain(), *calibration, payload, bare_->drives())
                   : std::make_unique<ArmDynamics>(bare_->chain(), bare_->drives(), payload);
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

void MomentumObserver::update(const laws::Feedback& feedback, double dt) {
  JointTorques steps;
  steps.fill(dt);
  step(feedback, steps, true);
}

void MomentumObserver::commanded(const MotorCommands& commands) {
  sent_[0] = sent_[1];
  for (int i = 0; i < kArmJoints; ++i) {
    const hw_interface::HybridJointCmd& c = commands[static_cast<std::size_t>(i)];
    // What the motor acts on: the values as its frame carries them.
    const hw_interface::MotorProtocol protocol = kMotorProtocols[i];
    const std::optional<hw_interface::MotorCommand> decoded = hw_interface::decodeCommand(
        protocol, hw_interface::packHybridCommand(protocol, kMotorIds[i], c.k_p, c.k_d, c.position,
                                                  c.velocity, c.torque));
    hw_interface::HybridJointCmd& kept = sent_[1][static_cast<std::size_t>(i)];
    kept = c;
    if (decoded) {
      kept.k_p = decoded->k_p;
      kept.k_d = decoded->k_d;
      kept.position = decoded->position;
      kept.velocity = decoded->velocity;
      kept.torque = decoded->torque;
    }
  }
  commands_known_ = std::min(commands_known_ + 1, 2);
  commands_fresh_ = true;
}

namespace {

// The torque command a motor's law gives at the measured state, within the
// motor's torque range.
double lawTorque(const hw_interface::HybridJointCmd& c, const hw_interface::HybridJointStatus& state,
                 double range) {
  const double torque =
      c.k_p * (c.position - state.position) + c.k_d * (c.velocity - state.velocity) + c.torque;
  return std::clamp(torque, -range, range);
}

}  // namespace

void MomentumObserver::step(const laws::Feedback& feedback, const JointTorques& dt, bool evidence) {
  takePayload();
  for (int i = 0; i < kArmJoints; ++i) {
    q_(i) = feedback.joints[i].position;
    v_(i) = feedback.joints[i].velocity;
  }
  ArmDynamics& model = *model_;
  model.inertia(q_, mass_);
  model.bias(q_, v_, bias_);  // C(q, qdot) qdot + g(q)
  if (model.payload().mass > 0.0 || model.calibrated()) {
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
  if (started_ && evidence) {
    mass_change.noalias() = (mass_ - previous_mass_) * v_;
    for (int i = 0; i < kArmJoints; ++i) mass_change(i) /= dt[i];
    // A held or first step could not take Mdot qdot (its length was not
    // known): its input lacks the term, which at speed is N·m. The present
    // step's value stands in for it.
    if (!previous_has_mass_change_) previous_input_ += mass_change;
  }
  previous_has_mass_change_ = started_ && evidence;
  Eigen::Matrix<double, kArmJoints, 1> start;  // the input at the next step's start
  const bool jump_known = commands_known_ == 2 && commands_fresh_;
  for (int i = 0; i < kArmJoints; ++i) {
    const double current = feedback.joints[i].current;
    const double motor = model.jointTorque(i, current);
    const double beta = bias_(i) - mass_change(i) + model.friction(i, v_(i));
    input(i) = motor - beta;
    start(i) = input(i);
    if (jump_known) {
      // The reply reported the old command's current; from now on the new
      // command drives the joint.
      const double range = hw_interface::rangesOf(kMotorProtocols[i]).torque_max;
      const std::size_t j = static_cast<std::size_t>(i);
      const double jump = lawTorque(sent_[1][j], feedback.joints[i], range) -
                          lawTorque(sent_[0][j], feedback.joints[i], range);
      start(i) += model.jointTorque(i, current + jump) - motor;
    }
  }
  commands_fresh_ = false;
  if (started_ && evidence) {
    // The mean external torque over the step: the change of momentum the
    // model's torques (trapezoidal rule) do not explain. The residual
    // follows it as rdot = K_O (tau_ext - r) solved exactly over the step,
    // which stays stable and free of overshoot however long the step was.
    for (int i = 0; i < kArmJoints; ++i) {
      const double external =
          (momentum(i) - previous_momentum_(i)) / dt[i] - 0.5 * (input(i) + previous_input_(i));
      const double keep = std::exp(-kObserverGain[i] * dt[i]);
      residual_[i] = keep * residual_[i] + (1.0 - keep) * external;
    }
  }
  started_ = true;
  previous_momentum_ = momentum;
  previous_input_ = start;
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
