#include "controller/ControlLoop.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "console/Console.h"
#include "controller/CommandLimits.h"
#include "controller/ControllerBase.h"
#include "rt/Seams.h"

namespace kav {
namespace t8 {

using namespace config;

std::atomic<std::uint64_t> reflexes_in_process{0};

ControlLoop::ControlLoop(MotorBus& bus, KinematicDynamicSolver& solver, EndTarget& end_target, int type,
                         bool& go_home_flag)
    : bus_(bus),
      end_target_(end_target),
      type_(type),
      go_home_flag_(go_home_flag),
      estimator_(solver),
      observer_(solver.chain()),
      state_(ControllerBase::GO_HOME) {
  offline_.reserve(kMotors);
}

ControlLoop::Outcome ControlLoop::step(rt::Clock::time_point start) {
  ++cycles_;
  cycle_start_ = start;
  law_time_ = std::chrono::nanoseconds(0);
  bus_.startRound(start);
  rt::raiseRequestedCycleFailure();
  if (!bus_.transport().checkOnline()) faults_.record(ErrorCode::linkOffline());

  if (!faults_.currentWithinLimit(feedback_)) {
    faults_.record(ErrorCode::overCurrent());
    sendDamping();
    return {ErrorCode::kOverCurrentCode};
  }
  // A motor fault collected by an earlier cycle (at start-up or while
  // running) ends control.
  if (faults_.pendingFault() != 0) {
    sendDamping();
    return {faults_.pendingFault()};
  }

  checkCollision();
  // A reflex ends a running motion for good, as an offline motor does.
  motion_.beginCycle(state_, set_points_.position.data(),
                     !online_             ? MotionExecutor::Held::kOffline
                     : reflex_joint_ != 0 ? MotionExecutor::Held::kReflex
                                          : MotionExecutor::Held::kNo);
  if (online_) {
    MotorCommands commands;
    if (reflex_joint_ != 0) {
      endUserLaw(ErrorCode::collision(reflex_joint_).code());
      compliant(commands);
    } else {
      runLaw(state_.load(), commands);
    }
    const int refused = limitCommands(commands);
    if (refused != 0) {
      sendDamping();
      return {refused};
    }
    sendCommands(commands);
    if (user_finishing_) endUserLaw(0);
  } else {
    if (!offline_.empty()) endUserLaw(ErrorCode::motorOffline(offline_.front()).code());
    sendDamping();
    printOffline();
  }
  bus_.endRound();
  loadFeedback();
  return {};
}

void ControlLoop::checkCollision() {
  // Only a state that drives the arm toward a target has a motion to abort;
  // in the limp and compliant states a push is what the arm is there for.
  const int state = state_.load();
  const bool driven = state == ControllerBase::POSITION_CONTROL || state == ControllerBase::END_CONTROL ||
                      state == ControllerBase::GO_HOME ||
                      (state == ControllerBase::USER_CONTROL && user_law_.running());
  if (state != reflex_state_) {
    reflex_state_ = state;
    reflex_settling_ = kReflexSettleCycles;
  }
  // Right after a change of law the residual reads a few N·m of the law's
  // own jolt: the reflex then needs a larger torque, not none.
  const bool settling = reflex_settling_ > 0;
  if (settling) --reflex_settling_;
  // A joint beyond its limits rests on its end stop (a limp arm sagged
  // there; the position laws' clamp drives it back): the stop's torque on it
  // is not a collision.
  JointTorques residual = observer_.residual();
  for (int i = 0; i < kArmJoints; ++i) {
    const double position = feedback_.joints[i].position;
    if (position < kJointLower[i] - kEndStopMargin || position > kJointUpper[i] + kEndStopMargin)
      residual[i] = 0.0;
  }
  const int joint = collisions_.check(residual, settling ? kReflexSettleScale : 1.0);
  if (joint == 0 || reflex_joint_ != 0 || !driven) return;
  reflex_joint_ = joint;
  reflexes_in_process.fetch_add(1, std::memory_order_relaxed);
  faults_.record(ErrorCode::collision(joint));
  const double torque = observer_.residual()[joint - 1];
  // Formatted in place: no allocation on the control thread.
  std::snprintf(reflex_message_.data(), reflex_message_.size(),
                "Collision on joint %d: external torque %.2f N·m above its reflex threshold; "
                "the arm is compliant until recover()",
                joint, torque);
  console::print(console::Stream::kErr, "%s\n", reflex_message_.data());
}

void ControlLoop::compliant(MotorCommands& commands) {
  laws::compliant(feedback_, set_points_, commands);
  const int state = state_.load();
  const bool gripper_held = state == ControllerBase::POSITION_CONTROL || state == ControllerBase::END_CONTROL;
  // A held object stays held.
  commands[kGripper] =
      gripper_held ? laws::gripper(feedback_, gripperTarget(targets_.joints[kGripper])) : laws::gripperLimp();
}

void ControlLoop::compliantOnce() {
  bus_.startRound();
  MotorCommands commands;
  laws::compliant(feedback_, set_points_, commands);
  commands[kGripper] = laws::gripperLimp();
  sendCommands(commands);
  bus_.endRound();
}

void ControlLoop::sendCompliantHold() {
  readDrivers();
  estimator_.update(feedback_, end_pose_);
  addPayloadGravity();
  MotorCommands commands;
  laws::compliant(feedback_, set_points_, commands);
  commands[kGripper] = laws::gripperLimp();
  sendCommands(commands);
}

void ControlLoop::resumeHoldingPose() {
  faults_.clearFault();
  observer_.reset();
  reflex_joint_ = 0;
  reflex_state_ = -1;
  online_ = true;
  set_points_.resync(feedback_);
  for (int i = 0; i < kArmJoints; ++i) targets_.joints[i] = feedback_.joints[i].position;
  motion_.interruptWithState(state_, ControllerBase::POSITION_CONTROL);
}

void ControlLoop::runLaw(int state, MotorCommands& commands) {
  const laws::Limits limits = this->limits();
  user_commands_ = false;
  user_finishing_ = false;
  // A host command that selected another state ends a host law.
  if (state != ControllerBase::USER_CONTROL) endUserLaw(0);
  switch (state) {
    case ControllerBase::SOFT:
      laws::soft(feedback_, set_points_, commands);
      commands[kGripper] = laws::gripperLimp();
      break;
    case ControllerBase::GO_HOME:
      goHome(commands);
      commands[kGripper] = laws::gripper(feedback_, gripperTarget(0.0));  // the gripper to its zero
      break;
    case ControllerBase::G_COMPENSATION:
      laws::gravityCompensation(feedback_, set_points_, commands);
      commands[kGripper] = laws::gripperLimp();
      break;
    case ControllerBase::END_CONTROL:
      endControl(commands);
      commands[kGripper] = laws::gripper(feedback_, gripperTarget(targets_.joints[kGripper]));
      break;
    case ControllerBase::POSITION_CONTROL: {
      std::array<double, kArmJoints> targets;
      std::copy(targets_.joints.begin(), targets_.joints.begin() + kArmJoints, targets.begin());
      laws::positionControl(feedback_, targets, motion_.current(), limits, set_points_, commands);
      commands[kGripper] = laws::gripper(feedback_, gripperTarget(targets_.joints[kGripper]));
      break;
    }
    case ControllerBase::USER_CONTROL:
      userControl(commands);  // the gripper's law too
      break;
    case ControllerBase::PROTECT:
    default:
      laws::protect(feedback_, set_points_, commands);
      commands[kGripper] = laws::gripperLimp();
      break;
  }
}

void ControlLoop::userControl(MotorCommands& commands) {
  user_law_.begin(cycle_start_);  // when armed
  if (user_law_.running() && user_law_.stopRequested()) endUserLaw(0);
  if (!user_law_.running()) {
    // After a law that finished or was stopped the arm is held where it
    // ended until the host selects POSITION_CONTROL; without a law, damping.
    if (user_law_.phase() == UserLaw::Phase::kEnded && user_law_.endCode() == 0) {
      laws::positionControl(feedback_, user_hold_, nullptr, limits(), set_points_, commands);
      commands[kGripper] = laws::gripper(feedback_, gripperTarget(targets_.joints[kGripper]));
    } else {
      laws::protect(feedback_, set_points_, commands);
      commands[kGripper] = laws::gripperLimp();
    }
    return;
  }
  // The gripper keeps its own law meanwhile.
  commands[kGripper] = laws::gripper(feedback_, gripperTarget(targets_.joints[kGripper]));
  fillCycleState(user_law_.state());
  JointCommand command;
  const int failed = user_law_.run(cycle_start_, command);
  law_time_ = user_law_.lastRunTime();
  if (failed != 0) {
    faults_.record(ErrorCode(failed));
    console::print(console::Stream::kErr,
                   failed == ErrorCode::kLawFailedCode
                       ? "The control law threw an exception: the arm is held in damping\n"
                       : "The host's streamed commands stopped coming: the arm is held in damping\n");
    endUserLaw(failed);
    state_.store(ControllerBase::PROTECT);
    laws::protect(feedback_, set_points_, commands);
    commands[kGripper] = laws::gripperLimp();
    return;
  }
  if (user_law_.firstOverrun()) {
    faults_.record(ErrorCode::lawOverrun());
    console::print(console::Stream::kErr, "The control law took %.2f ms in a cycle (budget %.2f ms)\n",
                   std::chrono::duration<double, std::milli>(law_time_).count(),
                   std::chrono::duration<double, std::milli>(UserLaw::kBudget).count());
  }
  // From the joints' units to the motors' command units.
  const ArmDynamics& model = observer_.model();
  for (int i = 0; i < kArmJoints; ++i) {
    const hw_interface::HybridJointCmd& joint = command.joints[i];
    commands[i].position = joint.position;
    commands[i].velocity = joint.velocity;
    commands[i].torque = model.command(i, joint.torque);
    commands[i].k_p = model.command(i, joint.k_p);
    commands[i].k_d = model.command(i, joint.k_d);
  }
  // A position law that follows starts from the measured pose.
  set_points_.resync(feedback_);
  user_commands_ = true;
  user_finishing_ = command.finished;
}

void ControlLoop::fillCycleState(CycleState& state) const {
  const ArmDynamics& model = observer_.model();
  for (int i = 0; i < kMotors; ++i) {
    state.q[i] = feedback_.joints[i].position;
    state.dq[i] = feedback_.joints[i].velocity;
    state.current[i] = feedback_.joints[i].current;
  }
  state.q[kGripper] -= gripperZero();
  const JointTorques& external = observer_.residual();
  for (int i = 0; i < kArmJoints; ++i) {
    state.external_torque[i] = external[i];
    state.gravity[i] = model.jointTorque(i, feedback_.gravity[i]);
  }
  state.pose = end_pose_;
  state.jacobian = estimator_.jacobian();
}

void ControlLoop::endUserLaw(int code) {
  if (!user_law_.running()) return;
  for (int i = 0; i < kArmJoints; ++i) user_hold_[i] = feedback_.joints[i].position;
  user_law_.end(code, user_hold_);
}

int ControlLoop::limitCommands(MotorCommands& commands) {
  {
    std::unique_lock<rt::PiMutex> lock(safety_mutex_, std::try_to_lock);
    if (lock.owns_lock() && safety_request_pending_) {
      safety_ = safety_request_;
      safety_request_pending_ = false;
    }
  }
  const Eigen::Vector3d end_position = end_pose_.translation();
  const limits::Measurement measurement{feedback_, end_position, estimator_.jacobian(),
                                        observer_.model().drives().command_per_newton_metre, user_commands_};
  const limits::Verdict verdict = limits::apply(safety_, measurement, commands, limit_hold_);
  // A code when a kind of violation begins (not every cycle it lasts).
  const unsigned began = verdict.broken & ~limits_broken_;
  limits_broken_ = verdict.broken;
  int ending = 0;
  for (int kind = 0; kind < ErrorCode::kLimitKinds; ++kind) {
    const auto limit_kind = static_cast<ErrorCode::LimitKind>(kind);
    if ((verdict.broken & limits::Verdict::bit(limit_kind)) == 0) continue;
    if ((began & limits::Verdict::bit(limit_kind)) != 0) faults_.record(ErrorCode::limit(limit_kind));
    const bool ends =
        limit_kind == ErrorCode::LimitKind::kNotFinite || safety_.response == SafetyLimits::Response::kEnd;
    if (ends && ending == 0) ending = ErrorCode::limit(limit_kind).code();
  }
  if (ending == 0) return 0;
  if (!user_commands_) return ending;
  // A host law's command refused: the law ends, the arm goes to damping,
  // and the cycles go on.
  console::print(console::Stream::kErr, "The control law's command broke a safety limit (code %d): damping\n",
                 ending);
  endUserLaw(ending);
  state_.store(ControllerBase::PROTECT);
  laws::protect(feedback_, set_points_, commands);
  commands[kGripper] = laws::gripperLimp();
  return 0;
}

void ControlLoop::setSafetyLimits(const SafetyLimits& limits) {
  std::lock_guard<rt::PiMutex> lock(safety_mutex_);
  safety_request_ = limits;
  safety_request_pending_ = true;
}

SafetyLimits ControlLoop::safetyLimits() {
  std::lock_guard<rt::PiMutex> lock(safety_mutex_);
  return safety_request_;
}

void ControlLoop::endControl(MotorCommands& commands) {
  const bool entering = last_end_control_cycle_ + 1 != cycles_;
  last_end_control_cycle_ = cycles_;
  std::array<double, kArmJoints> target;
  if (!end_target_.update(entering, feedback_, end_pose_, targets_.end_pose, target)) {
    // No pose was ever solved: hold the present set-points.
    std::copy(set_points_.position.begin(), set_points_.position.begin() + kArmJoints, target.begin());
  }
  laws::endControl(feedback_, target, limits(), set_points_, commands);
}

laws::Gripper ControlLoop::gripperTarget(double target) const {
  laws::Gripper gripper;
  gripper.variant = type_;
  gripper.mode = targets_.gripper_mode;
  gripper.zero = home_[kGripper];
  gripper.target = target;
  gripper.torque = targets_.gripper_torque;
  return gripper;
}

void ControlLoop::goHome(MotorCommands& commands) {
  takeHome();
  go_home_flag_ = laws::goHome(feedback_, home_, set_points_, commands);
}

void ControlLoop::sendDamping() {
  MotorCommands commands;
  laws::protect(feedback_, set_points_, commands);
  commands[kGripper] = laws::gripperLimp();
  sendCommands(commands);
}

void ControlLoop::sendCommands(const MotorCommands& commands) {
  observer_.commanded(commands);
  bus_.send(commands);
}

void ControlLoop::dampOnce() {
  bus_.startRound();
  sendDamping();
  bus_.endRound();
}

void ControlLoop::holdDamping(int rounds) {
  for (int round = 0; round < rounds; ++round) {
    dampOnce();
    bus_.waitRoundPeriod();
  }
}

void ControlLoop::readDrivers() {
  bus_.publish();
  for (int i = 0; i < kMotors; ++i) feedback_.joints[i] = bus_.driver(i).GetMotorMsg();
}

void ControlLoop::addPayloadGravity() {
  // The payload is part of the model the laws compensate: its share of the
  // gravity torques, as the motors' torque commands.
  ArmDynamics& model = observer_.model();
  if (model.calibrated()) {
    // An identified arm: its own gravity torques, as its motors' commands.
    for (int i = 0; i < kArmJoints; ++i) feedback_.gravity[i] = model.command(i, observer_.modelGravity()(i));
    return;
  }
  for (int i = 0; i < kArmJoints; ++i)
    feedback_.gravity[i] += model.command(i, observer_.payloadGravity()[i]);
}

void ControlLoop::loadFeedback() {
  readDrivers();
  const bool all_online = faults_.inspect(bus_.drivers(), motors_enabled_, offline_);
  online_ = online_ && all_online;
  estimator_.update(feedback_, end_pose_);
  // The observer integrates over the feedback's own times: each joint's step
  // lasts from the reception of its previous reading to that of its present
  // one. A motor samples its reading when a command reaches it, so the
  // sample lies between the command's sending and the reply's reception. A
  // steady time between the two shifts both ends of a step alike (a reply
  // may even come after the round's end and be taken a cycle later); a reply
  // whose time from its command changed by more than kObserverSampleJitter
  // since the last (a stalled bus member held it up) gives a step of unknown
  // length, which carries no evidence. After a pause of the cycles (a fault,
  // a recovery) or a silence the observer starts again.
  const double period = std::chrono::duration<double>(kCyclePeriod).count();
  JointTorques steps;
  bool restart = false, evidence = true;
  for (int i = 0; i < kArmJoints; ++i) {
    const rt::Clock::time_point sampled = bus_.driver(i).feedbackTime();
    steps[i] = std::chrono::duration<double>(sampled - last_sampled_[i]).count();
    last_sampled_[i] = sampled;
    if (!(steps[i] >= 0.0 && steps[i] < kObserverLongestStep)) restart = true;
    if (std::fabs(steps[i] - period) > kObserverStepTolerance * period) evidence = false;
    const rt::Clock::duration window = sampled - bus_.commandSentBefore(i, sampled);
    const rt::Clock::duration change = window - reply_time_[i];
    reply_time_[i] = window;
    if (change > kObserverSampleJitter || change < -kObserverSampleJitter) evidence = false;
  }
  if (restart) {
    observer_.reset();
    observer_.update(feedback_, 0.0);
  } else if (!evidence) {
    observer_.hold(feedback_);
  } else {
    observer_.update(feedback_, steps);
  }
  addPayloadGravity();
}

void ControlLoop::printOffline() const {
  // Formatted in place: on the control thread this runs every cycle.
  char motors[3 * kMotors + 1] = "";
  int length = 0;
  for (int motor : offline_) {
    length += std::snprintf(motors + length, sizeof(motors) - static_cast<std::size_t>(length), "%d ", motor);
  }
  console::print(console::Stream::kOut, "电机掉线！掉线电机编号：%s\n", motors);
}

void ControlLoop::setLimits(double max_acc, double max_vel) {
  max_acc_.store(max_acc);
  max_vel_.store(max_vel);
}

void ControlLoop::requestHome(const std::array<double, kArmJoints>& home) {
  std::lock_guard<rt::PiMutex> lock(home_mutex_);
  home_request_ = home;
  home_request_pending_ = true;
}

void ControlLoop::takeHome() {
  std::unique_lock<rt::PiMutex> lock(home_mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return;  // a host is handing over: take it next cycle
  if (!home_request_pending_) return;
  std::copy(home_request_.begin(), home_request_.end(), home_.begin());
  home_request_pending_ = false;
}

}  // namespace t8
}  // namespace kav
