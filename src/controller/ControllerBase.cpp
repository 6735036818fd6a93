#include "controller/ControllerBase.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "can_motor_dlc/Mtp2Dlc.h"
#include "can_motor_dlc/Mtp4Dlc.h"
#include "config/ArmConfig.h"
#include "controller/CycleClock.h"
#include "controller/EdgeSearch.h"
#include "controller/MotionExecutor.h"
#include "rt/Seams.h"
#include "rt/SigpipeGuard.h"
#include "solver/Exercise.h"
#include "solver/Interpolation.h"

namespace kav {
namespace t8 {

namespace {

using namespace config;

// Room for the codes one cycle can collect (link, current, seven motors'
// faults, six offline motors) many times over, so a running cycle never grows it.
constexpr std::size_t kCodeCapacity = 256;
constexpr int kDampingHoldRounds = 100;
// The start-up listens this long for another host's commands before sending.
constexpr auto kListenBeforeSending = std::chrono::milliseconds(100);

bool isMotorId(std::uint32_t id) {
  return std::find(kMotorIds.begin(), kMotorIds.end(), static_cast<int>(id)) != kMotorIds.end();
}

bool allFinite(const std::vector<double>& values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(values[i])) return false;
  }
  return true;
}

}  // namespace

ControllerBase::ControllerBase(const std::string& urdf_path, const std::string& can_name, int type)
    : go_home_flag_(false),
      state_machine_(GO_HOME),
      zero_point_position_(kMotors, 0.0),
      current_limit_(kMotors, kCurrentLimit),
      lower_bound_xyzrpy_(kEndEffectorLower.begin(), kEndEffectorLower.end()),
      upper_bound_xyzrpy_(kEndEffectorUpper.begin(), kEndEffectorUpper.end()),
      temp_position{0, 0, 0, 0, 0, 0, 0},
      joint_target_(kMotors),
      ee_command_(Eigen::Isometry3d::Identity()),
      catch_torque_target_(0.0),
      catch_control_mode_(kPosition),
      max_acc_(kMaxAcceleration),
      max_vel_(kMaxVelocity),
      joint_status_(kMotors),
      online_(true),
      ee_state_(Eigen::Isometry3d::Identity()),
      can_name_(can_name),
      type_(type),
      current_out_count_{0, 0, 0, 0, 0, 0, 0},
      max_current_out_(kCurrentTripChecks),
      solver_(urdf_path, "base_link", "link6"),
      motion_executor_(std::make_unique<MotionExecutor>()),
      lower_Joint{kJointLower[0], kJointLower[1], kJointLower[2], kJointLower[3],
                  kJointLower[4], kJointLower[5], kJointLower[6]},
      upper_Joint{kJointUpper[0], kJointUpper[1], kJointUpper[2], kJointUpper[3],
                  kJointUpper[4], kJointUpper[5], kJointUpper[6]},
      offline_motors_(),
      gravity_compensation_torqe_(kArmJoints, 0.0),
      solve_position_(),
      measured_joints_(kArmJoints),
      gravity_torques_(kArmJoints),
      edge_search_(std::make_unique<EdgeSearch>(urdf_path)) {
  error_code_.reserve(kCodeCapacity);
  offline_motors_.reserve(kMotors);
  using hw_interface::MotorType2;
  using hw_interface::MotorType4;
  for (int i = 0; i < kMotors; ++i) {
    if (kMotorProtocols[i] == MotorProtocol::kType4) {
      joint_ptr_.push_back(std::make_shared<MotorType4>(kMotorIds[i]));
    } else {
      joint_ptr_.push_back(std::make_shared<MotorType2>(kMotorIds[i]));
    }
  }
  const rt::SigpipeGuard no_sigpipe;
  Init();
}

ControllerBase::~ControllerBase() {
  const rt::SigpipeGuard no_sigpipe;
  edge_search_.reset();
  if (!kav_can_) return;  // a failed start-up already shut everything down
  destoryFunc();
  std::printf("DisableMotor\n");
  holdDamping();
  kav_can_.reset();  // its lines too, under the guard
}

void ControllerBase::holdDamping() {
  for (int round = 0; round < kDampingHoldRounds; ++round) {
    dampOnce();
    waitRoundPeriod();
  }
}

void ControllerBase::dampOnce() {
  startRound();
  stateProtect();
  endRound();
}

void ControllerBase::startRound() {
  round_start_ = CycleClock::now();
  frame_slot_ = 0;
}

void ControllerBase::endRound() { waitUntil(round_start_ + frame_slot_ * kFrameSpacing, kFrameSpin); }

void ControllerBase::waitRoundPeriod() { waitUntil(round_start_ + kCyclePeriod); }

void ControllerBase::Init() {
  try {
    bringUp();
  } catch (...) {
    // The transport's threads must not reach this half-built controller.
    destoryFunc();
    kav_can_.reset();
    throw;
  }
}

void ControllerBase::bringUp() {
  kav_can_ = std::make_unique<hw_interface::SocketCan>();
  auto lamba_can_callback = [this](CanFrame* frame) { CanCallback(frame); };
  auto lamba_exchange_motor_msg = [this]() { ExchangeMotorMsg(); };
  kav_can_->setCallBackFunction(lamba_can_callback);
  kav_can_->setGetMsgContentFunction(lamba_exchange_motor_msg);
  listening_.store(true);
  if (!kav_can_->Init(can_name_.c_str())) {
    if (kav_can_->threadStartFailed()) {
      throw std::runtime_error("Cannot start the bus receive thread \"kav-can-rx\" for \"" + can_name_ +
                               "\"");
    }
    throw std::runtime_error("Cannot open the CAN interface \"" + can_name_ + "\"");
  }
  listenForAnotherHost();

  for (int round = 0; round < kClearErrorRounds; ++round) {
    clearMotorError();
    waitRoundPeriod();
  }
  for (int round = 0; round < kEnableRounds; ++round) {
    setEnableMotor();
    waitRoundPeriod();
  }
  for (int cycle = 0; cycle < kStartupDampingCycles; ++cycle) {
    startRound();
    stateProtect();
    endRound();
    loadJointStatus();
    waitRoundPeriod();
  }
  requireEveryMotorAnswered();
  motors_enabled_ = true;
  state_machine_.store(GO_HOME);

  bool is_starting = false;
  const auto start = CycleClock::now();
  for (int i = 0; i < kMotors; ++i) temp_position[i] = joint_status_[i].position;
  auto cycle_start = start;
  while (!is_starting) {
    startRound();
    stateGoHome();
    const double search_velocity = type_ == 2 ? kGripperSearchVelocityVariant2 : kGripperSearchVelocity;
    send(joint_ptr_[kGripper]->packMotorMsg(0.0, kGripperSearchKd, 0.0, search_velocity, 0.0));
    endRound();
    const auto homing_time = CycleClock::now() - start;
    if (homing_time > kHomingMinimum && go_home_flag_) is_starting = true;
    loadJointStatus();
    if (!is_starting && homing_time > kHomingLimit) {
      const std::vector<int> stuck = jointsNotHome();
      shutDownAfterFailedStart();
      std::ostringstream message;
      message << "Homing failed on \"" << can_name_ << "\": joint";
      if (stuck.size() != 1) message << "s";
      for (int joint : stuck) message << " " << joint;
      message << (stuck.empty() ? " (none found still moving)" : "")
              << " not home 30 s after homing began; the arm was left in damping";
      throw std::runtime_error(message.str());
    }
    cycle_start += kCyclePeriod;
    // No catch-up after an overrun: the next cycle starts at once.
    if (cycle_start < CycleClock::now()) cycle_start = CycleClock::now();
    waitUntil(cycle_start);
  }

  zero_point_position_[kGripper] = joint_status_[kGripper].position;
  startRound();
  if (type_ == 2) send(joint_ptr_[kGripper]->packSetZero());
  send(joint_ptr_[kGripper]->packMotorMsg(0.0, kGripperSettleKd, 0.0, 0.0, 0.0));
  endRound();
  std::cerr << "Init completed" << std::endl;
}

void ControllerBase::listenForAnotherHost() {
  std::this_thread::sleep_for(kListenBeforeSending);
  listening_.store(false);
  if (foreign_frames_.load() > 0) {
    throw std::runtime_error("another host is driving the arm on " + can_name_ +
                             " (its commands are on the bus); nothing was sent");
  }
}

void ControllerBase::requireEveryMotorAnswered() {
  std::string silent;
  for (int i = 0; i < kMotors; ++i) {
    if (joint_ptr_[i]->framesAccepted() == 0) silent += " " + std::to_string(i + 1);
  }
  if (silent.empty()) return;
  destoryFunc();
  kav_can_.reset();
  throw std::runtime_error("No answer from motor" + std::string(silent.size() > 2 ? "s" : "") + silent +
                           " on \"" + can_name_ + "\" during the start-up damping; nothing more was sent");
}

void ControllerBase::shutDownAfterFailedStart() {
  destoryFunc();
  holdDamping();
  kav_can_.reset();
}

std::vector<int> ControllerBase::jointsNotHome() const {
  std::vector<int> joints;
  for (int i = 0; i < kArmJoints; ++i) {
    if (!(std::fabs(joint_status_[i].position - zero_point_position_[i]) < kHomePositionTolerance &&
          std::fabs(joint_status_[i].velocity) < kHomeVelocityTolerance)) {
      joints.push_back(i + 1);
    }
  }
  return joints;
}

bool ControllerBase::allJointsHome() const {
  for (int i = 0; i < kArmJoints; ++i) {
    if (!(std::fabs(joint_status_[i].position - zero_point_position_[i]) < kHomePositionTolerance &&
          std::fabs(joint_status_[i].velocity) < kHomeVelocityTolerance)) {
      return false;
    }
  }
  return true;
}

void ControllerBase::Update() {
  ++update_count_;
  startRound();
  rt::raiseRequestedCycleFailure();
  if (!kav_can_->checkOnline()) error_code_.push_back(kCodeLinkOffline);

  if (!ifTorqeLimit()) {
    error_code_.push_back(kCodeOverCurrent);
    stateProtect();
    usleep(100000);
    errorCurrentOutLimit();
  }

  // A motor fault collected by an earlier cycle (at start-up or while
  // running) ends control.
  if (pending_fault_ != 0) {
    stateProtect();
    usleep(100000);
    raiseMotorFault(pending_fault_);
  }

  motion_executor_->beginCycle(state_machine_, temp_position, online_);
  if (online_) {
    switch (state_machine_.load()) {
      case SOFT:
        stateSoft();
        break;
      case GO_HOME:
        stateGoHome();
        joint_target_[kGripper].position = 0.0;
        CatchPositionCtrl();
        break;
      case G_COMPENSATION:
        stateGravityCompensation();
        break;
      case END_CONTROL:
        stateEndControl();
        break;
      case POSITION_CONTROL:
        statePositionControl();
        break;
      case PROTECT:
      default:
        stateProtect();
        break;
    }
  } else {
    stateProtect();
    errorCurrentDeviceOffline();
  }
  endRound();
  loadJointStatus();
}

void ControllerBase::loadJointStatus() {
  kav_can_->LoadMutexMsg();
  offline_motors_.clear();
  for (int i = 0; i < kMotors; ++i) {
    joint_status_[i] = joint_ptr_[i]->GetMotorMsg();
    const int code = joint_ptr_[i]->faultCode();
    if (code != 0) noteFault((i + 1) * 16 + std::min(code, kLargestReportedFault));
    if (joint_ptr_[i]->implausibleFault()) noteFault(kCodeImplausibleFeedback + i + 1);
    // A wrist motor that went limp on its own (a stray disable frame) would
    // let its joint fall unnoticed.
    const bool wrist = i < kArmJoints && kMotorProtocols[i] == MotorProtocol::kType2;
    if (wrist && motors_enabled_ && joint_ptr_[i]->getErrorCode() == 0) noteFault(kCodeMotorDisabled + i + 1);
  }
  for (int i = 0; i < kArmJoints; ++i) {
    const bool motor_online = joint_ptr_[i]->online();
    if (!motor_online) {
      error_code_.push_back((i + 1) * 16 + 15);
      offline_motors_.push_back(i + 1);
    }
    online_ = online_ && motor_online;
  }
  // A silent gripper is reported, but the arm goes on.
  if (!joint_ptr_[kGripper]->online()) error_code_.push_back((kGripper + 1) * 16 + 15);

  for (int i = 0; i < kArmJoints; ++i) measured_joints_(i) = joint_status_[i].position;
  solver_.computeGravityCompensationTorque(measured_joints_, gravity_torques_);
  for (int i = 0; i < kArmJoints; ++i) gravity_compensation_torqe_[i] = gravity_torques_(i);

  const KDL::Frame end_effector_pose = solver_.computeForwardKinematics(measured_joints_);
  double end[6] = {end_effector_pose.p.x(), end_effector_pose.p.y(), end_effector_pose.p.z(), 0, 0, 0};
  end_effector_pose.M.GetRPY(end[3], end[4], end[5]);
  ee_state_ = solve::Xyzrpy2Isometry(end);
}

std::vector<HybridJointStatus> ControllerBase::getJointStatus() { return joint_status_; }

Eigen::Isometry3d ControllerBase::getEndPose() { return ee_state_; }

void ControllerBase::noteFault(int code) {
  error_code_.push_back(code);
  if (pending_fault_ == 0) pending_fault_ = code;
}

void ControllerBase::setHomePositions(std::vector<double> home_positions) {
  if (home_positions.size() < static_cast<std::size_t>(kArmJoints)) {
    throw std::invalid_argument("setHomePositions: expected 6 joint positions, got " +
                                std::to_string(home_positions.size()));
  }
  if (!allFinite(home_positions, kArmJoints)) {
    throw std::invalid_argument("setHomePositions: every home position must be a finite number");
  }
  for (int i = 0; i < kArmJoints; ++i)
    home_positions[i] = limit(home_positions[i], lower_Joint[i], upper_Joint[i]);
  std::lock_guard<rt::PiMutex> lock(mutex_home_);
  home_request_.assign(home_positions.begin(), home_positions.begin() + kArmJoints);
  home_request_pending_ = true;
}

void ControllerBase::takeHomePositions() {
  std::unique_lock<rt::PiMutex> lock(mutex_home_, std::try_to_lock);
  if (!lock.owns_lock()) return;  // a host is handing over: take it next cycle
  if (!home_request_pending_) return;
  std::copy(home_request_.begin(), home_request_.end(), zero_point_position_.begin());
  home_request_pending_ = false;
}

void ControllerBase::setClampPos() {
  startRound();
  send(joint_ptr_[kGripper]->packEnableMotor());
  endRound();
}

void ControllerBase::setEnableMotor() {
  startRound();
  for (int i = 0; i < kMotors; ++i) send(joint_ptr_[i]->packEnableMotor());
  endRound();
}

void ControllerBase::clearMotorError() {
  startRound();
  for (int i = 0; i < kMotors; ++i) send(joint_ptr_[i]->packClearError());
  endRound();
}

void ControllerBase::setInterpolationParam(double max_acc, double max_vel) {
  if (!std::isfinite(max_acc) || !std::isfinite(max_vel)) {
    throw std::invalid_argument("setInterpolationParam: the limits must be finite numbers");
  }
  max_acc_.store(limit(max_acc, 0.0, kMaxAcceleration));
  max_vel_.store(limit(max_vel, 0.0, kMaxVelocity));
}

void ControllerBase::ExchangeMotorMsg() {
  for (auto& motor : joint_ptr_) motor->ExchangeMotorMsg();
}

void ControllerBase::CanCallback(CanFrame* frame) {
  if (listening_.load(std::memory_order_relaxed)) {
    // Before the start-up sends anything, a frame on a motor's identifier
    // is another host's command (or a motor's answer to one).
    if (frame != nullptr && isMotorId(frame->can_id)) foreign_frames_.fetch_add(1);
    return;
  }
  for (auto& motor : joint_ptr_) motor->CanAnalyze(frame);
}

std::vector<std::uint64_t> ControllerBase::droppedFrames() const {
  std::vector<std::uint64_t> dropped;
  for (const auto& motor : joint_ptr_) dropped.push_back(motor->framesDropped());
  return dropped;
}

bool ControllerBase::ifTorqeLimit() {
  for (int i = 0; i < kArmJoints; ++i) {
    if (std::fabs(joint_status_[i].current) > current_limit_[i]) {
      ++current_out_count_[i];
    } else {
      current_out_count_[i] = 0;
    }
  }
  for (int i = 0; i < kArmJoints; ++i) {
    if (current_out_count_[i] >= max_current_out_) return false;
  }
  return true;
}

void ControllerBase::errorCurrentOutLimit() { throw Fault("关节力矩超限！"); }

void ControllerBase::errorMotorFault(int joint_index, int error_code) {
  std::ostringstream message;
  message << "电机故障，电机编号：" << joint_index << "，故障类型：" << error_code;
  throw Fault(message.str());
}

void ControllerBase::raiseMotorFault(int code) {
  if (code >= kCodeMotorDisabled) {
    throw Fault("Motor " + std::to_string(code - kCodeMotorDisabled) +
                " reported itself disabled while the arm was driven");
  }
  if (code >= kCodeImplausibleFeedback) {
    throw Fault("Motor " + std::to_string(code - kCodeImplausibleFeedback) + " sent " +
                std::to_string(hw_interface::MotorDlcBase::kImplausibleInARow) +
                " implausible readings in a row");
  }
  errorMotorFault(code / 16, code % 16);
}

void ControllerBase::errorCurrentDeviceOffline() {
  // Formatted in place: on the control thread this runs every cycle.
  char motors[3 * kMotors + 1] = "";
  int length = 0;
  for (int motor : offline_motors_) {
    length += std::snprintf(motors + length, sizeof(motors) - static_cast<std::size_t>(length), "%d ", motor);
  }
  console::print(console::Stream::kOut, "电机掉线！掉线电机编号：%s\n", motors);
}

void ControllerBase::destoryFunc() {
  if (!kav_can_) return;
  kav_can_->setCallBackFunction(nullptr);
  kav_can_->setGetMsgContentFunction(nullptr);
}

bool ControllerBase::computeInverseKinematics(double* _current_pos, double* _endstate) {
  if (_current_pos == nullptr || _endstate == nullptr) {
    throw std::invalid_argument(
        "computeInverseKinematics: the joint positions and the pose must not be null pointers");
  }
  KDL::JntArray solution(kArmJoints);
  if (!solvePose(solver_, _current_pos, _endstate, solution)) return false;
  solve_position_ = solution;
  return true;
}

// ------------------------------------------------------------------ handlers

void ControllerBase::send(CanFrame frame) {
  // Frame k of the round at its slot on the absolute schedule.
  if (frame_slot_ > 0) waitUntil(round_start_ + frame_slot_ * kFrameSpacing, kFrameSpin);
  ++frame_slot_;
  kav_can_->ExchangeData(&frame);
}

void ControllerBase::sendCommand(int index, double k_p, double k_d, double position, double velocity,
                                 double torque) {
  send(joint_ptr_[index]->packMotorMsg(k_p, k_d, position, velocity, torque));
}

void ControllerBase::stateSoft() {
  for (int i = 0; i < kArmJoints; ++i) sendCommand(i, 0, 0, 0, 0, 0);
  for (int i = 0; i < kArmJoints; ++i) temp_position[i] = joint_status_[i].position;
  CatchSoft();
}

void ControllerBase::stateGravityCompensation() {
  for (int i = 0; i < kArmJoints; ++i) sendCommand(i, 0, 0, 0, 0, gravity_compensation_torqe_[i]);
  for (int i = 0; i < kArmJoints; ++i) temp_position[i] = joint_status_[i].position;
  CatchSoft();
}

void ControllerBase::stateGoHome() {
  const auto& kKp = kGoHomeGains.k_p;
  const auto& kKd = kGoHomeGains.k_d;
  takeHomePositions();
  go_home_flag_ = false;
  double output_vel[kArmJoints];
  for (int i = 0; i < kArmJoints; ++i) {
    solve::Interpolation(&zero_point_position_[i], &temp_position[i], &output_vel[i], kHomingAcceleration,
                         kHomingVelocity, kControlFrequency);
  }
  for (int i = 0; i < kArmJoints; ++i) {
    const double torque = i < kHomingJointsWithoutGravity ? 0.0 : gravity_compensation_torqe_[i];
    sendCommand(i, kKp[i], kKd[i], temp_position[i], 0, torque);
  }
  if (allJointsHome()) go_home_flag_ = true;
}

void ControllerBase::statePositionControl() {
  const auto& kKp = kPositionGains.k_p;
  const auto& kKd = kPositionGains.k_d;
  double solve_position[kArmJoints];
  double output_vel[kArmJoints];
  const double max_acc = max_acc_.load();
  const double max_vel = max_vel_.load();
  if (const motion::JointSample* sample = motion_executor_->current()) {
    // A motion runs: its sample is both the set-point and the target.
    for (int i = 0; i < kArmJoints; ++i) {
      temp_position[i] = solve_position[i] = sample->position[i];
      output_vel[i] = sample->velocity[i];
    }
  } else {
    for (int i = 0; i < kArmJoints; ++i) {
      solve_position[i] = limit(joint_target_[i].position, lower_Joint[i], upper_Joint[i]);
    }
    for (int i = 0; i < kArmJoints; ++i) {
      solve::Interpolation(&solve_position[i], &temp_position[i], &output_vel[i], max_acc, max_vel,
                           kControlFrequency);
    }
  }
  for (int i = 0; i < kArmJoints; ++i) {
    double torque = gravity_compensation_torqe_[i];
    if (i < kCorrectedJoints) {
      torque += kCorrectionKp * (solve_position[i] - joint_status_[i].position) -
                kCorrectionKd * joint_status_[i].velocity;
    }
    sendCommand(i, kKp[i], kKd[i], temp_position[i], output_vel[i], torque);
  }
  CatchPositionCtrl();
}

void ControllerBase::stateEndControl() {
  const auto& kKp = kEndControlGains.k_p;
  const auto& kKd = kEndControlGains.k_d;
  double current_pos[kArmJoints];
  for (int i = 0; i < kArmJoints; ++i) current_pos[i] = joint_status_[i].position;
  double command[6];
  solve::Isometry2Xyzrpy(ee_command_, command);
  PoseVector end_command;
  for (int i = 0; i < 6; ++i) {
    end_command[i] = limit(command[i], lower_bound_xyzrpy_[i], upper_bound_xyzrpy_[i]);
  }

  // A target with a solution is solved here, once per cycle, from the
  // measured joints. Once it has none, the cycle would not fit in 5 ms with
  // the edge search (up to ten more failing solves of about 2 ms each), so
  // the search runs on the worker from this cycle's state and each cycle
  // takes the newest finished result. The worker also solves the target
  // first in every search; when that succeeds, the target is solved here
  // again from the next cycle on.
  const bool entering = last_end_control_update_ + 1 != update_count_;
  last_end_control_update_ = update_count_;
  if (entering && searching_edge_) {
    edge_search_->discard();
    searching_edge_ = false;
  }
  bool target_failed_here = false;
  if (!searching_edge_) {
    if (!computeInverseKinematics(current_pos, end_command.data())) {
      searching_edge_ = true;
      target_failed_here = true;
    }
  }
  if (searching_edge_) {
    double measured[6];
    solve::Isometry2Xyzrpy(ee_state_, measured);
    JointVector seed;
    PoseVector end_state;
    std::copy(current_pos, current_pos + kArmJoints, seed.begin());
    std::copy(measured, measured + 6, end_state.begin());
    edge_search_->post(seed, end_state, end_command, target_failed_here);
    if (const std::optional<EdgeSearch::Result> result = edge_search_->take()) {
      if (result->found) {
        solve_position_.resize(kArmJoints);
        for (int i = 0; i < kArmJoints; ++i) solve_position_(i) = result->solution[i];
      }
      if (result->target_solved) {
        edge_search_->discard();
        searching_edge_ = false;
      }
    }
  }

  double target[kArmJoints];
  if (solve_position_.rows() == static_cast<unsigned>(kArmJoints)) {
    for (int i = 0; i < kArmJoints; ++i) {
      solve_position_(i) = limit(solve_position_(i), lower_Joint[i], upper_Joint[i]);
      target[i] = solve_position_(i);
    }
  } else {
    // No pose was ever solved: hold the present set-points.
    for (int i = 0; i < kArmJoints; ++i) target[i] = temp_position[i];
  }
  const double max_acc = max_acc_.load();
  const double max_vel = max_vel_.load();
  double output_vel[kArmJoints];
  for (int i = 0; i < kArmJoints; ++i) {
    solve::Interpolation(&target[i], &temp_position[i], &output_vel[i], max_acc, max_vel, kControlFrequency);
  }
  for (int i = 0; i < kArmJoints; ++i) {
    double torque = gravity_compensation_torqe_[i];
    if (i < kCorrectedJoints) {
      torque +=
          kCorrectionKp * (target[i] - joint_status_[i].position) - kCorrectionKd * joint_status_[i].velocity;
    }
    sendCommand(i, kKp[i], kKd[i], temp_position[i], output_vel[i], torque);
  }
  CatchPositionCtrl();
}

void ControllerBase::stateProtect() {
  for (int i = 0; i < kArmJoints; ++i) sendCommand(i, 0, kDampingKd[i], 0, 0, 0);
  for (int i = 0; i < kArmJoints; ++i) temp_position[i] = joint_status_[i].position;
  CatchSoft();
}

void ControllerBase::CatchPositionCtrl() {
  float send_cur = static_cast<float>((zero_point_position_[kGripper] + joint_target_[kGripper].position -
                                       kGripperOffset - joint_status_[kGripper].position) *
                                      kGripperPositionGain);
  if (catch_control_mode_.load() == kTorque) send_cur = static_cast<float>(catch_torque_target_);
  constexpr float kTorqueLimit = static_cast<float>(kGripperTorqueLimit);
  send_cur = limit(send_cur, -kTorqueLimit, kTorqueLimit);
  CanFrame frame =
      joint_ptr_[kGripper]->packMotorMsg(0.0, kGripperSearchKd, 0.0, 0.0, static_cast<double>(send_cur));
  if (type_ == 2) {
    joint_target_[kGripper].position =
        limit(joint_target_[kGripper].position, kGripperVariant2Lower, kGripperVariant2Upper);
    frame = joint_ptr_[kGripper]->packMotorMsg(kGripperVariant2Kp, kGripperVariant2Kd,
                                               joint_target_[kGripper].position, 0.0, 0.0);
  }
  send(frame);
}

void ControllerBase::CatchSoft() { sendCommand(kGripper, 0, 0, 0, 0, 0); }

std::stringstream ControllerBase::getLog() { return std::stringstream(); }

}  // namespace t8
}  // namespace kav
