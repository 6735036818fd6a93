#include "controller/ControlLoop.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "console/Console.h"
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
      compliant(commands);
    } else {
      runLaw(state_.load(), commands);
    }
    sendCommands(commands);
  } else {
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
                      state == ControllerBase::GO_HOME;
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
    case ControllerBase::PROTECT:
    default:
      laws::protect(feedback_, set_points_, commands);
      commands[kGripper] = laws::gripperLimp();
      break;
  }
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
