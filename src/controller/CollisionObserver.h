#pragma once
// Collision detection: the external joint torques estimated by a
// generalised-momentum observer, the thresholds that turn them into contact
// and a reflex, and the payload that belongs to the model.

#include <Eigen/Core>
#include <array>
#include <kdl/chain.hpp>
#include <memory>
#include <mutex>
#include <optional>

#include "config/ArmConfig.h"
#include "controller/ControlLaws.h"
#include "rt/PiMutex.h"
#include "solver/ArmDynamics.h"

namespace kav {
namespace t8 {

using JointTorques = std::array<double, config::kArmJoints>;

/// Lower (contact) and upper (reflex) thresholds of the six arm joints, N·m.
struct CollisionThresholds {
  JointTorques lower = config::kContactThreshold;
  JointTorques upper = config::kCollisionThreshold;
};

/// Estimates the torques from outside on joints 1-6 from the measured
/// motion and motor currents (docs/safety.md):
///
///   r = K_O (p(t) - p(0) - integral of (tau_m - beta + r) dt),
///   p = M(q) qdot,  beta = g(q) + C(q, qdot) qdot - Mdot(q) qdot + friction(qdot),
///
/// so that rdot = K_O (tau_ext - r), solved exactly over each step (stable
/// for any step length, as a late cycle on a busy machine gives). The
/// integral of tau_m over a step is the trapezoid between the torque the
/// motor delivered at its start and the current it reports at its end. A
/// motor's reply reports the current of the command it had before the one
/// it answers, while the step is driven by the new one: when the control
/// law's command jumps (a set-point moving at the interpolation ceilings, a
/// change of law), the reported current at the step's start is the old
/// command's. The observer therefore evaluates both commands' laws,
/// k_p (p - q) + k_d (v - qdot) + tau limited to the motor's torque range,
/// at the measured state and takes the difference as the jump at the
/// step's start (commanded()). The
/// model is the arm's one dynamics model (ArmDynamics): the robot
/// description's chain with the drives' rotor inertia and friction and the
/// payload on the flange; tau_m is the reported currents in joint torque.
///
/// Threads: update(), reset(), residual() and payloadGravity() on the control
/// thread (allocation-free); setPayload() from host threads: it builds the
/// new model and hands it over, taken at a later cycle (the control thread
/// only tries the lock).
class MomentumObserver {
 public:
  /// @param chain the controller's chain from the base to the flange
  explicit MomentumObserver(const KDL::Chain& chain);
  ~MomentumObserver();
  MomentumObserver(const MomentumObserver&) = delete;
  MomentumObserver& operator=(const MomentumObserver&) = delete;

  // ---- host threads
  /// A payload of @p mass kg with its centre of mass at @p centre_of_mass
  /// (m, flange frame), as a point mass. Validated by the caller.
  void setPayload(double mass, const Eigen::Vector3d& centre_of_mass);
  /// An identified model of the arm (checked by the caller), kept with the
  /// payload set before or after; empty: the description's model again.
  void setCalibration(const std::optional<DynamicsCalibration>& calibration);

  // ---- control thread
  /// The commands sent to the arm motors this cycle, before the update that
  /// takes their replies (as the motors decode them from their frames).
  void commanded(const MotorCommands& commands);
  /// One observer step on the feedback of a cycle, @p dt seconds (positive)
  /// after the previous one. The first step after construction or reset()
  /// only takes the initial momentum (@p dt is not used): its residual is zero.
  void update(const laws::Feedback& feedback, double dt);
  /// As update(), each arm joint's step @p dt seconds long: the time between
  /// the samples of its last two readings.
  void update(const laws::Feedback& feedback, const JointTorques& dt) { step(feedback, dt, true); }
  /// A step that carries no evidence (its length is not to be trusted): the
  /// residual is held and the momentum taken afresh from @p feedback.
  void hold(const laws::Feedback& feedback) { step(feedback, JointTorques{}, false); }
  /// Starts the observer again at the next update (after a pause of the cycles).
  void reset() { started_ = false; }
  /// The estimated external torques, N·m, positive in each joint's positive direction.
  const JointTorques& residual() const { return residual_; }
  /// The payload's share of the gravity torques at the last update's
  /// joints, N·m at the joints.
  const JointTorques& payloadGravity() const { return payload_gravity_; }
  /// The model with the payload (control thread).
  ArmDynamics& model() { return *model_; }
  /// The model's gravity torques at the last update's joints, N·m; kept
  /// only while the model has a payload or a calibration.
  const ArmDynamics::Vector& modelGravity() const { return gravity_; }
  const ArmDynamics& model() const { return *model_; }

 private:
  void takePayload();
  void handOver(Payload payload, std::optional<DynamicsCalibration> calibration);
  void step(const laws::Feedback& feedback, const JointTorques& dt, bool evidence);

  std::unique_ptr<ArmDynamics> bare_;     // the description's chain only (for the payload's share)
  std::unique_ptr<ArmDynamics> model_;    // with the payload; control thread only
  std::unique_ptr<ArmDynamics> pending_;  // handed over by a host (or the one replaced), guarded
  rt::PiMutex pending_mutex_;
  bool pending_ready_ = false;  // guarded
  // What the host threads asked for last, so that a payload keeps the
  // calibration and the other way round (host threads only).
  std::mutex host_mutex_;
  Payload host_payload_;
  std::optional<DynamicsCalibration> host_calibration_;

  // The last two commands each arm motor was sent (k_p, k_d, position,
  // velocity, torque), newest at [1]; commands_known_ of them are valid.
  std::array<std::array<hw_interface::HybridJointCmd, config::kArmJoints>, 2> sent_{};
  int commands_known_ = 0;
  bool commands_fresh_ = false;  // sent_[1] was sent since the last step

  bool started_ = false;
  ArmDynamics::Vector q_, v_, bias_, gravity_, bare_gravity_;
  ArmDynamics::Matrix mass_, previous_mass_;
  Eigen::Matrix<double, config::kArmJoints, 1> previous_momentum_, previous_input_;
  bool previous_has_mass_change_ = false;  // previous_input_ took Mdot qdot
  JointTorques residual_{};
  JointTorques payload_gravity_{};
};

/// Turns residuals into the contact flag and the reflex. Thresholds are set
/// by host threads and taken by the control thread a cycle later (it only
/// tries the lock).
class CollisionMonitor {
 public:
  // ---- host threads
  /// Thresholds validated by the caller.
  void setThresholds(const CollisionThresholds& thresholds);
  CollisionThresholds thresholds();

  // ---- control thread
  /// Checks @p residual against the thresholds, the upper ones times
  /// @p upper_scale.
  /// @return the first joint (1-6) above its (scaled) upper threshold, or 0
  int check(const JointTorques& residual, double upper_scale = 1.0);
  /// Whether the last check found a joint above its lower threshold.
  bool contact() const { return contact_; }

 private:
  rt::PiMutex mutex_;
  CollisionThresholds requested_;  // guarded
  bool requested_new_ = false;     // guarded
  CollisionThresholds active_;     // control thread only
  bool contact_ = false;
};

}  // namespace t8
}  // namespace kav
