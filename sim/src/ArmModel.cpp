#include "ArmModel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "config/ArmConfig.h"
#include "solver/kinematic_solver.h"

namespace kav {
namespace sim {

namespace {

using config::kMotorIds;
using hw_interface::CanFrame;

constexpr int kGripper = kSimJoints - 1;
constexpr int kTemperature = 30;
constexpr double kGripperStop = 1.0;  // distance of the gripper's end stop from 0
constexpr double kPositionNoise = 0.0002, kVelocityNoise = 0.005, kCurrentNoise = 0.005;

void requireJoint(int joint) {
  if (joint < 0 || joint >= kSimJoints) {
    throw std::invalid_argument("SimulatedArm: joint " + std::to_string(joint) + " is not a joint index 0-6");
  }
}

SimulatedArmOptions checked(SimulatedArmOptions options) {
  if (options.reply_latency < std::chrono::microseconds(0) ||
      options.reply_latency > std::chrono::seconds(1)) {
    throw std::invalid_argument("SimulatedArm: reply_latency must lie within 0 and 1 s");
  }
  if (!std::isfinite(options.current_noise) || options.current_noise < 0.0) {
    throw std::invalid_argument("SimulatedArm: current_noise must be a finite number, at least 0");
  }
  if (options.description.empty()) options.description = urdf_xml_g;
  const double inf = std::numeric_limits<double>::infinity();
  if (options.variant == 2) {
    options.physics.lower_stop[kGripper] = -inf;
    options.physics.upper_stop[kGripper] = kGripperStop;
  } else {
    options.physics.lower_stop[kGripper] = -kGripperStop;
    options.physics.upper_stop[kGripper] = inf;
  }
  return options;
}

}  // namespace

ArmModel::ArmModel(SimulatedArmOptions options)
    : options_(checked(std::move(options))),
      physics_(options_.description, options_.start_pose, options_.physics),
      state_(physics_.state()),
      drop_rng_(options_.drop_seed) {
  for (int j = 0; j < kSimJoints; ++j) {
    motors_[j].protocol = SimulatedArm::protocolOf(j);
    motors_[j].enabled = motors_[j].protocol == MotorProtocol::kType4;
  }
  if (options_.noise_seed) noise_rng_.seed(*options_.noise_seed);
}

void ArmModel::stepPhysics(time_point at) {
  std::array<JointDrive, kSimJoints> drives;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int j = 0; j < kSimJoints; ++j) drives[j] = driveOf(motors_[j], state_[j]);
  }
  const double dt = std::chrono::duration<double>(kStep).count();
  physics_.step(drives, dt);
  std::lock_guard<std::mutex> lock(mutex_);
  const std::array<JointState, kSimJoints>& next = physics_.state();
  const PhysicsParameters& p = physics_.parameters();
  for (int j = 0; j < kSimJoints; ++j) {
    // A joint that hit its end stop was stopped at once: no motion to carry on.
    const bool stopped = next[j].position <= p.lower_stop[j] || next[j].position >= p.upper_stop[j];
    acceleration_[j] = stopped ? 0.0 : (next[j].velocity - state_[j].velocity) / dt;
  }
  state_ = next;
  state_time_ = at;
}

void ArmModel::catchUp(time_point now) {
  std::lock_guard<std::mutex> stepping(step_mutex_);
  time_point at;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_time_ == time_point{} || now - state_time_ > kLongestLag) {
      state_time_ = std::max(state_time_, now - kStep);
      return;
    }
    at = state_time_;
  }
  for (; at + kStep <= now; at += kStep) stepPhysics(at + kStep);
}

JointDrive ArmModel::driveOf(Motor& motor, const JointState& state) {
  JointDrive drive;
  if (motor.enabled) {
    const MotorCommand& c = motor.command;
    drive = JointDrive{c.k_p, c.k_d, c.position + motor.zero, c.velocity, c.torque};
  }
  drive.external = motor.external;  // a hand pushes whether the motor acts or not
  motor.obstacle_torque = 0.0;
  if (motor.obstacle_stiffness > 0.0) {
    const double depth = motor.obstacle_side * (state.position - motor.obstacle_position);
    if (depth > 0.0) motor.obstacle_torque = -motor.obstacle_side * motor.obstacle_stiffness * depth;
  }
  drive.external += motor.obstacle_torque;
  return drive;
}

int ArmModel::accept(const CanFrame& frame, time_point now) {
  int joint = -1;
  for (int j = 0; j < kSimJoints; ++j) {
    if (frame.can_id == static_cast<uint32_t>(kMotorIds[j])) joint = j;
  }
  if (joint < 0) return -1;
  const std::optional<MotorCommand> command = decodeCommand(SimulatedArm::protocolOf(joint), frame);
  if (!command) return -1;

  std::lock_guard<std::mutex> lock(mutex_);
  if (bus_silent_ || dropped()) return -1;
  Motor& motor = motors_[joint];
  switch (command->kind) {
    case CommandKind::kHybrid:
      if (motor.enabled) motor.command = *command;
      break;
    case CommandKind::kEnable:
      if (!motor.enabled) motor.command = MotorCommand();
      motor.enabled = true;
      break;
    case CommandKind::kDisable:
      motor.enabled = false;
      motor.command = MotorCommand();
      break;
    case CommandKind::kSetZero:
      motor.zero = state_[joint].position;
      break;
    case CommandKind::kClearError:
      if (motor.persistence == ErrorPersistence::kUntilClearError) motor.error = 0;
      break;
  }
  if (options_.log_capacity > 0) {
    if (motor.log.size() >= options_.log_capacity) motor.log.pop_front();
    motor.log.push_back({now, *command});
  }
  frames_received_.fetch_add(1);
  return joint;
}

std::optional<CanFrame> ArmModel::feedbackFrame(int joint, time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Motor& motor = motors_[joint];
  if (bus_silent_ || motor.silent || dropped()) return std::nullopt;
  const JointState& state = state_[joint];
  // The physics runs in steps; a motor samples its encoder when it answers.
  const double since = std::clamp(std::chrono::duration<double>(now - state_time_).count(), 0.0,
                                  std::chrono::duration<double>(kStep).count());
  const double a = acceleration_[joint];
  const PhysicsParameters& p = physics_.parameters();
  const double position = std::clamp(state.position + state.velocity * since + 0.5 * a * since * since,
                                     p.lower_stop[joint], p.upper_stop[joint]);
  MotorFeedback feedback;
  feedback.position = singleTurnReading(position - motor.zero) + noise(kPositionNoise);
  feedback.velocity = state.velocity + a * since + noise(kVelocityNoise);
  feedback.current = motor.current
                         ? *motor.current
                         : state.command + noise(kCurrentNoise) + currentNoise(joint);  // in command units
  if (motor.error != 0) {
    feedback.code = motor.error;
  } else if (motor.protocol == MotorProtocol::kType2) {
    feedback.code = motor.enabled ? 1 : 0;
  }
  feedback.temperature = kTemperature;
  return encodeFeedback(motor.protocol, kMotorIds[joint], feedback);
}

bool ArmModel::dropped() {
  if (drop_share_ <= 0.0) return false;
  return std::uniform_real_distribution<double>(0.0, 1.0)(drop_rng_) < drop_share_;
}

double ArmModel::currentNoise(int joint) {
  if (options_.current_noise <= 0.0) return 0.0;
  // The option is N·m at the joint; the arm joints report command units.
  const double per_newton_metre = joint < kSimArmJoints ? config::kTorqueCommandPerNewtonMetre[joint] : 1.0;
  return std::normal_distribution<double>(0.0, per_newton_metre * options_.current_noise)(noise_rng_);
}

double ArmModel::noise(double sigma) {
  if (!options_.noise_seed) return 0.0;
  return std::normal_distribution<double>(0.0, sigma)(noise_rng_);
}

std::array<JointState, kSimJoints> ArmModel::jointStates() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

std::array<double, kSimArmJoints> ArmModel::gravityTorques() const {
  const std::array<JointState, kSimJoints> state = jointStates();
  std::array<double, kSimArmJoints> positions{};
  for (int j = 0; j < kSimArmJoints; ++j) positions[j] = state[j].position;
  std::lock_guard<std::mutex> lock(gravity_mutex_);
  return physics_.gravityTorques(positions);
}

bool ArmModel::motorEnabled(int joint) const {
  requireJoint(joint);
  std::lock_guard<std::mutex> lock(mutex_);
  return motors_[joint].enabled;
}

double ArmModel::motorZero(int joint) const {
  requireJoint(joint);
  std::lock_guard<std::mutex> lock(mutex_);
  return motors_[joint].zero;
}

double ArmModel::gripperStop() const {
  const PhysicsParameters& p = physics_.parameters();
  return std::isfinite(p.lower_stop[kGripper]) ? p.lower_stop[kGripper] : p.upper_stop[kGripper];
}

std::vector<ReceivedCommand> ArmModel::receivedCommands(int joint) const {
  requireJoint(joint);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto& log = motors_[joint].log;
  return std::vector<ReceivedCommand>(log.begin(), log.end());
}

void ArmModel::clearReceivedCommands() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& motor : motors_) motor.log.clear();
}

void ArmModel::setMotorSilent(int joint, bool silent) {
  requireJoint(joint);
  std::lock_guard<std::mutex> lock(mutex_);
  motors_[joint].silent = silent;
}

void ArmModel::setMotorError(int joint, int code, ErrorPersistence persistence) {
  const MotorProtocol protocol = SimulatedArm::protocolOf(joint);
  if (code != 0) {
    const bool type4 = protocol == MotorProtocol::kType4;
    const int lowest = type4 ? 1 : 2;
    const int highest = type4 ? 31 : 15;
    if (code < lowest || code > highest) {
      throw std::invalid_argument("SimulatedArm: error code " + std::to_string(code) + " of joint " +
                                  std::to_string(joint) + " must be 0 or " + std::to_string(lowest) + "-" +
                                  std::to_string(highest));
    }
    if (type4 && persistence == ErrorPersistence::kUntilClearError) {
      throw std::invalid_argument("SimulatedArm: joint " + std::to_string(joint) +
                                  " has a type 4 motor, which has no clear-error command");
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  motors_[joint].error = code;
  motors_[joint].persistence = persistence;
}

void ArmModel::setMotorCurrent(int joint, std::optional<double> current) {
  requireJoint(joint);
  if (current && !std::isfinite(*current)) {
    throw std::invalid_argument("SimulatedArm: the current of joint " + std::to_string(joint) +
                                " is not finite");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  motors_[joint].current = current;
}

void ArmModel::setExternalTorque(int joint, double torque) {
  requireJoint(joint);
  if (!std::isfinite(torque)) {
    throw std::invalid_argument("SimulatedArm: the external torque of joint " + std::to_string(joint) +
                                " is not finite");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  motors_[joint].external = torque;
}

void ArmModel::setObstacle(int joint, double position, double stiffness, int side) {
  if (joint < 0 || joint >= kSimArmJoints) {
    throw std::invalid_argument("SimulatedArm: an obstacle needs an arm joint 0-5, got " +
                                std::to_string(joint));
  }
  if (!std::isfinite(position) || !std::isfinite(stiffness) || stiffness < 0.0) {
    throw std::invalid_argument("SimulatedArm: the obstacle of joint " + std::to_string(joint) +
                                " needs a finite position and a finite stiffness of at least 0");
  }
  if (side != 1 && side != -1) {
    throw std::invalid_argument("SimulatedArm: the obstacle of joint " + std::to_string(joint) +
                                " needs side +1 or -1, got " + std::to_string(side));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Motor& motor = motors_[joint];
  motor.obstacle_position = position;
  motor.obstacle_stiffness = stiffness;
  motor.obstacle_side = side;
  if (stiffness == 0.0) motor.obstacle_torque = 0.0;
}

double ArmModel::obstacleTorque(int joint) const {
  if (joint < 0 || joint >= kSimArmJoints) {
    throw std::invalid_argument("SimulatedArm: an obstacle needs an arm joint 0-5, got " +
                                std::to_string(joint));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return motors_[joint].obstacle_torque;
}

void ArmModel::setBusSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  bus_silent_ = silent;
}

void ArmModel::setDropShare(double share) {
  if (!(share >= 0.0 && share <= 1.0)) {
    throw std::invalid_argument("SimulatedArm: the drop share must lie within 0 and 1");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  drop_share_ = share;
}

void ArmModel::clearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  bus_silent_ = false;
  drop_share_ = 0.0;
  for (auto& motor : motors_) {
    motor.silent = false;
    motor.error = 0;
    motor.current.reset();
  }
}

}  // namespace sim
}  // namespace kav
