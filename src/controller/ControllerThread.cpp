#include "controller/ControllerThread.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "config/ArmConfig.h"
#include "console/Console.h"
#include "controller/CommandLimits.h"
#include "controller/ControlLoop.h"
#include "controller/ControlThread.h"
#include "controller/FaultMonitor.h"
#include "controller/MotionCommander.h"
#include "rt/SigpipeGuard.h"
#include "solver/DynamicsCalibration.h"

namespace kav {
namespace t8 {

namespace {

constexpr std::size_t kKeptCycleTimings = 8192;
// How far a pose's linear part may be from a rotation.
constexpr double kRotationTolerance = 1e-6;
// How long the destructor waits for the console writer to write the control
// thread's last lines before printing its own.
constexpr auto kConsoleFlushWait = std::chrono::milliseconds(100);
constexpr long kBannerCycles = 1000;
using config::kArmJoints;
using config::kGripper;
using config::kMotors;

void requireFinite(double value, const char* what) {
  if (!std::isfinite(value)) {
    throw std::invalid_argument(std::string(what) + " must be a finite number");
  }
}

}  // namespace

ControllerThread::ControllerThread(const std::string& urdf_path, const std::string& can_name, int type)
    : ControllerThread(urdf_path, can_name, type, ArmPlatform()) {}

ControllerThread::ControllerThread(const std::string& urdf_path, const std::string& can_name, int type,
                                   ArmPlatform platform)
    : ControllerBase(urdf_path, can_name, type, std::move(platform)),
      ee_command_safe_(Eigen::Isometry3d::Identity()),
      joint_target_safe_(kMotors),
      catch_torque_safe_(0.0),
      joint_status_safe_(kMotors),
      ee_state_safe_(Eigen::Isometry3d::Identity()),
      ee_command_exchange_(Eigen::Isometry3d::Identity()),
      joint_target_exchange_(kMotors),
      catch_torque_exchange_(0.0),
      joint_status_exchange_(kMotors),
      ee_state_exchange_(Eigen::Isometry3d::Identity()),
      error_code_exchange_(),
      cycle_timings_(new TimingSlot[kKeptCycleTimings]),
      motion_commander_(std::make_unique<MotionCommander>(
          loop().motion(), urdf_path, clock(),
          MotionCommander::Hooks{
              [this](const motion::JointArray& q) { holdJointTargets(q); },
              [this] { return cycles_started_ && !cycles_ended_.load() && control_active_.load(); }})) {
  // Hosts read the bring-up's last feedback until the first cycle publishes
  // its own (before, they read zeros, and a gripper one zero off).
  exchangeData();
  cycles_ = cycleDriver();
  if (cycles_ == nullptr) {
    own_thread_ = std::make_unique<ControlThread>(clock());
    cycles_ = own_thread_.get();
  }
  // On failure the base's destructor holds the arm in damping and closes the bus.
  cycles_->start([this] { return runCycle(); }, [this] { finishCycles(); });
  cycles_started_ = true;
}

ControllerThread::~ControllerThread() {
  const rt::SigpipeGuard no_sigpipe;
  console::flush(kConsoleFlushWait);  // the control thread's lines so far come first
  std::printf("DisableMotor\n");
  if (cycles_started_) {
    if (!cycles_ended_.load()) {
      std::printf("[Controller] waiting for thread finish\n");
      std::fflush(stdout);
    }
    cycles_->stop();
    console::flush(kConsoleFlushWait);
  }
  std::printf("[Controller] thread finish\n");
}

bool ControllerThread::runCycle() {
  const auto cycle_start = clock().now();
  ControlLoop::Outcome outcome;
  try {
    outcome = loop().step(cycle_start);
  } catch (const std::exception& error) {
    endControl(error.what(), 0);
    return false;
  }
  if (outcome.fault != 0) {
    clock().sleepFor(config::kFaultPause);
    endControl(FaultMonitor::message(ErrorCode(outcome.fault)), outcome.fault);
    return false;
  }
  recordCycle({cycle_start, clock().now() - cycle_start});
  exchangeData();
  if (cycles_run_ % kBannerCycles == 0) console::print(console::Stream::kErr, "KAVOrlumen\n");
  ++cycles_run_;
  // Without a thread of its own, the search for END_CONTROL's edge runs now.
  if (own_thread_ == nullptr) loop().runDeferredWork();
  return true;
}

void ControllerThread::finishCycles() {
  // A recovery stops the cycles only to restart them: nothing to announce.
  const bool quiet = recovering_.load();
  if (!quiet) console::print(console::Stream::kOut, "[ArmThread] DisableMotor\n");
  destoryFunc();
  cycles_ended_.store(true);
  if (!quiet) console::print(console::Stream::kOut, "[ArmThread] finish close\n");
}

void ControllerThread::endControl(const std::string& what, int fault) {
  // Whatever ended the cycle, the arm is left in damping; a fault that the
  // cycle did not answer itself gets its own code.
  int code = fault;
  if (fault == 0) {
    loop().dampOnce();
    loop().faults().record(ErrorCode::cycleFailed());
    code = kCodeCycleFailed;
  }
  exchangeData();
  {
    std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
    end_reason_ = "code " + std::to_string(code) + ": " + what;
  }
  control_active_.store(false);
  console::print(console::Stream::kErr, "%s\n", what.c_str());
}

std::string ControllerThread::controlEndReason() {
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  return end_reason_;
}

void ControllerThread::requireControl(const char* what) {
  if (control_active_.load()) return;
  throw std::runtime_error(std::string(what) + ": control has ended (" + controlEndReason() +
                           "); the arm is held in damping");
}

void ControllerThread::exchangeData() {
  ControlLoop& loop = this->loop();
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  for (int i = 0; i < kMotors; ++i) joint_status_exchange_[i] = loop.feedback().joints[i];
  ee_state_exchange_ = loop.endPose();
  for (int code : loop.faults().codes()) error_code_exchange_.append(code);
  std::copy(loop.externalTorques().begin(), loop.externalTorques().end(), external_torques_exchange_.begin());
  contact_exchange_ = loop.contact();
  std::memcpy(reflex_exchange_.data(), loop.reflexMessage(), reflex_exchange_.size());
  reflex_active_.store(loop.reflexJoint() != 0);
  loop.faults().clearCodes();
  ControlLoop::Targets& targets = loop.targets();
  targets.end_pose = ee_command_exchange_;
  for (int i = 0; i < kMotors; ++i) targets.joints[i] = joint_target_exchange_[i].position;
  targets.gripper_torque = catch_torque_exchange_;
  // Set by hosts under this lock together with the target or the torque.
  targets.gripper_mode = loop.gripperMode();
}

void ControllerThread::recordCycle(const CycleTiming& timing) {
  const std::size_t count = cycle_count_.load(std::memory_order_relaxed);
  TimingSlot& slot = cycle_timings_[count % kKeptCycleTimings];
  slot.start_ns.store(timing.start.time_since_epoch().count(), std::memory_order_relaxed);
  slot.update_ns.store(timing.update.count(), std::memory_order_relaxed);
  cycle_count_.store(count + 1, std::memory_order_release);
}

std::vector<ControllerThread::CycleTiming> ControllerThread::getCycleTimings(std::size_t newest) {
  const std::size_t count = cycle_count_.load(std::memory_order_acquire);
  const std::size_t first = count - std::min({count, kKeptCycleTimings, newest});
  std::vector<CycleTiming> timings;
  timings.reserve(count - first);
  for (std::size_t i = first; i < count; ++i) {
    const TimingSlot& slot = cycle_timings_[i % kKeptCycleTimings];
    const rt::Clock::duration start(slot.start_ns.load(std::memory_order_relaxed));
    timings.push_back({rt::Clock::time_point(start),
                       std::chrono::nanoseconds(slot.update_ns.load(std::memory_order_relaxed))});
  }
  // Slots that the control thread reused (or was writing) while they were
  // copied are dropped from the front.
  const std::size_t now = cycle_count_.load(std::memory_order_acquire);
  const std::size_t valid_from = now + 1 > kKeptCycleTimings ? now + 1 - kKeptCycleTimings : 0;
  const std::size_t stale = valid_from > first ? std::min(valid_from - first, timings.size()) : 0;
  timings.erase(timings.begin(), timings.begin() + static_cast<std::ptrdiff_t>(stale));
  return timings;
}

std::vector<HybridJointStatus> ControllerThread::getJointStatus() {
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  for (std::size_t i = 0; i < joint_status_safe_.size(); ++i)
    joint_status_safe_[i] = joint_status_exchange_[i];
  return joint_status_safe_;
}

std::vector<double> ControllerThread::getJointPositons() {
  std::vector<double> result(kMotors, 0.0);
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  for (int i = 0; i < kArmJoints; ++i) result[i] = joint_status_exchange_[i].position;
  result[kGripper] = joint_status_exchange_[kGripper].position - gripperZero();
  return result;
}

std::vector<double> ControllerThread::getJointVelocities() {
  std::vector<double> result(kMotors, 0.0);
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  for (int i = 0; i < kMotors; ++i) result[i] = joint_status_exchange_[i].velocity;
  return result;
}

std::vector<double> ControllerThread::getJointCurrent() {
  std::vector<double> result(kMotors, 0.0);
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  for (int i = 0; i < kMotors; ++i) result[i] = joint_status_exchange_[i].current;
  return result;
}

Eigen::Isometry3d ControllerThread::getEndPose() {
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  ee_state_safe_ = ee_state_exchange_;
  return ee_state_safe_;
}

std::vector<int> ControllerThread::getErrorCode() {
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  return error_code_exchange_.codes();
}

void ControllerThread::setArmStatus(int state) {
  requireControl("setArmStatus");
  loop().motion().interruptWithState(loop().state(), state);
}

void ControllerThread::setHomePositions(std::vector<double> home_positions) {
  requireControl("setHomePositions");
  ControllerBase::setHomePositions(std::move(home_positions));
}

void ControllerThread::setInterpolationParam(double max_acc, double max_vel) {
  requireControl("setInterpolationParam");
  ControllerBase::setInterpolationParam(max_acc, max_vel);
}

void ControllerThread::setEndPose(Eigen::Isometry3d input) {
  if (!input.matrix().allFinite()) {
    throw std::invalid_argument("setEndPose: the pose must hold finite numbers only");
  }
  const Eigen::Matrix3d rotation = input.linear();
  const double orthonormal =
      (rotation.transpose() * rotation - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff();
  if (orthonormal > kRotationTolerance || std::fabs(rotation.determinant() - 1.0) > kRotationTolerance) {
    throw std::invalid_argument(
        "setEndPose: the linear part of the pose is not a rotation (orthonormal within 1e-6, "
        "determinant +1)");
  }
  requireControl("setEndPose");
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  ee_command_safe_ = input;
  ee_command_exchange_ = ee_command_safe_;
  loop().motion().interrupt();
}

void ControllerThread::setJointPositions(std::vector<double> positions) {
  if (positions.size() < static_cast<std::size_t>(kArmJoints)) {
    throw std::invalid_argument("setJointPositions: expected 6 joint positions, got " +
                                std::to_string(positions.size()));
  }
  for (int i = 0; i < kArmJoints; ++i) requireFinite(positions[i], "setJointPositions: every joint position");
  requireControl("setJointPositions");
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  for (int i = 0; i < kArmJoints; ++i) joint_target_safe_[i].position = positions[i];
  joint_target_exchange_ = joint_target_safe_;
  loop().motion().interrupt();
}

void ControllerThread::setCatch(double position) {
  requireFinite(position, "setCatch: the gripper position");
  requireControl("setCatch");
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  loop().setGripperMode(laws::GripperMode::kPosition);
  joint_target_safe_[kGripper].position = position;
  joint_target_exchange_[kGripper] = joint_target_safe_[kGripper];
}

void ControllerThread::setCatchTorque(double torque) {
  requireFinite(torque, "setCatchTorque: the gripper torque");
  requireControl("setCatchTorque");
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  loop().setGripperMode(laws::GripperMode::kTorque);
  catch_torque_safe_ = torque;
  catch_torque_exchange_ = catch_torque_safe_;
}

// ------------------------------------------------------------------ collisions

void ControllerThread::setCollisionThresholds(const std::vector<double>& lower,
                                              const std::vector<double>& upper) {
  const auto requireSix = [](const std::vector<double>& values, const char* which) {
    if (values.size() != static_cast<std::size_t>(kArmJoints)) {
      throw std::invalid_argument(std::string("setCollisionThresholds: expected 6 ") + which +
                                  " thresholds, got " + std::to_string(values.size()));
    }
    for (int i = 0; i < kArmJoints; ++i) {
      if (!std::isfinite(values[i]) || values[i] < 0.0) {
        throw std::invalid_argument(std::string("setCollisionThresholds: the ") + which +
                                    " threshold of joint " + std::to_string(i + 1) +
                                    " must be a finite number of at least 0 N·m");
      }
    }
  };
  requireSix(lower, "lower");
  requireSix(upper, "upper");
  CollisionThresholds thresholds;
  for (int i = 0; i < kArmJoints; ++i) {
    if (lower[i] > upper[i]) {
      throw std::invalid_argument("setCollisionThresholds: the lower threshold of joint " +
                                  std::to_string(i + 1) + " lies above its upper one");
    }
    thresholds.lower[i] = lower[i];
    thresholds.upper[i] = upper[i];
  }
  loop().collisions().setThresholds(thresholds);
}

void ControllerThread::getCollisionThresholds(std::vector<double>& lower, std::vector<double>& upper) {
  const CollisionThresholds thresholds = loop().collisions().thresholds();
  lower.assign(thresholds.lower.begin(), thresholds.lower.end());
  upper.assign(thresholds.upper.begin(), thresholds.upper.end());
}

std::vector<double> ControllerThread::getExternalTorques() {
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  return std::vector<double>(external_torques_exchange_.begin(), external_torques_exchange_.end());
}

bool ControllerThread::contactDetected() {
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  return contact_exchange_;
}

std::uint64_t ControllerThread::reflexesInProcess() {
  return reflexes_in_process.load(std::memory_order_relaxed);
}

std::string ControllerThread::lastReflex() {
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  return std::string(reflex_exchange_.data(), strnlen(reflex_exchange_.data(), reflex_exchange_.size()));
}

void ControllerThread::setPayload(double mass, const Eigen::Vector3d& centre_of_mass) {
  if (!std::isfinite(mass) || mass < 0.0 || mass > config::kMaxPayloadMass) {
    throw std::invalid_argument("setPayload: the mass must be a finite number from 0 to " +
                                std::to_string(config::kMaxPayloadMass) + " kg");
  }
  if (!centre_of_mass.allFinite() || centre_of_mass.norm() > config::kMaxPayloadDistance) {
    throw std::invalid_argument("setPayload: the centre of mass must be finite and within " +
                                std::to_string(config::kMaxPayloadDistance) + " m of the flange");
  }
  loop().observer().setPayload(mass, centre_of_mass);
}

void ControllerThread::loadDynamics(const std::string& path) {
  try {
    loop().observer().setCalibration(readCalibrationFile(path, true));
  } catch (const std::invalid_argument& error) {
    throw std::invalid_argument("loadDynamics: " + std::string(error.what()));
  }
}

void ControllerThread::loadPayload(const std::string& path) {
  PayloadCalibration payload;
  try {
    payload = readCalibrationFile(path, false).payload;
  } catch (const std::invalid_argument& error) {
    throw std::invalid_argument("loadPayload: " + std::string(error.what()));
  }
  setPayload(payload.mass, payload.centre_of_mass);
}

void ControllerThread::recover() {
  std::lock_guard<std::mutex> one_at_a_time(recover_mutex_);
  loop().motion().interrupt();
  recovering_.store(true);
  struct Done {
    std::atomic<bool>& flag;
    ~Done() { flag.store(false); }
  } done{recovering_};
  // The cycles stop (a fault stopped them already); their last steps detach
  // the bus, which recoverMotors attaches again.
  cycles_->stop();
  control_active_.store(false);
  try {
    recoverMotors();
  } catch (const std::runtime_error& error) {
    exchangeData();  // the codes of the rounds reach the host
    std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
    end_reason_ = error.what();
    throw;
  }
  loop().resumeHoldingPose();
  loop().faults().record(ErrorCode::recovered());
  {
    std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
    for (int i = 0; i < kArmJoints; ++i)
      joint_target_safe_[i].position = loop().feedback().joints[i].position;
    joint_target_exchange_ = joint_target_safe_;
    end_reason_.clear();
  }
  exchangeData();
  cycles_ended_.store(false);
  control_active_.store(true);
  cycles_->start([this] { return runCycle(); }, [this] { finishCycles(); });
}

// ------------------------------------------------------------------ motions

void ControllerThread::holdJointTargets(const motion::JointArray& positions) {
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  for (int i = 0; i < 6; ++i) joint_target_safe_[i].position = positions[i];
  joint_target_exchange_ = joint_target_safe_;
}

void ControllerThread::followJointTrajectory(const std::vector<motion::TrajectoryPoint>& points) {
  requireControl("followJointTrajectory");
  motion_commander_->followJointTrajectory(points);
}

void ControllerThread::moveJoints(const std::vector<double>& target, double speed_scale) {
  requireControl("moveJoints");
  motion_commander_->moveJoints(target, speed_scale);
}

void ControllerThread::moveLinear(const Eigen::Isometry3d& pose, double speed) {
  requireControl("moveLinear");
  motion_commander_->moveLinear(pose, speed);
}

bool ControllerThread::motionDone() { return motion_commander_->motionDone(); }

bool ControllerThread::waitMotion(double timeout_s) { return motion_commander_->waitMotion(timeout_s); }

void ControllerThread::stopMotion() { motion_commander_->stopMotion(); }

void ControllerThread::setMotionLimits(const std::vector<double>& max_velocity,
                                       const std::vector<double>& max_acceleration) {
  requireControl("setMotionLimits");
  motion_commander_->setMotionLimits(max_velocity, max_acceleration);
  // The safety limits' velocities follow the motion limits until set.
  std::lock_guard<std::mutex> lock(safety_mutex_);
  if (safety_velocity_set_) return;
  SafetyLimits limits = loop().safetyLimits();
  std::copy(max_velocity.begin(), max_velocity.begin() + kArmJoints, limits.max_velocity.begin());
  loop().setSafetyLimits(limits);
}

// ------------------------------------------------------------------ host laws

void ControllerThread::setSafetyLimits(const SafetyLimits& limits) {
  limits::validate(limits);
  requireControl("setSafetyLimits");
  std::lock_guard<std::mutex> lock(safety_mutex_);
  safety_velocity_set_ = true;
  loop().setSafetyLimits(limits);
}

SafetyLimits ControllerThread::safetyLimits() { return loop().safetyLimits(); }

void ControllerThread::stopControl() { loop().userLaw().requestStop(); }

void ControllerThread::control(const ControlLaw& law) {
  if (!law) throw std::invalid_argument("control: the control law is empty");
  requireControl("control");
  std::unique_lock<std::mutex> one_at_a_time(control_mutex_, std::try_to_lock);
  UserLaw& slot = loop().userLaw();
  if (!one_at_a_time.owns_lock() || !slot.arm(law)) {
    throw std::runtime_error("control: another control law runs on this arm");
  }
  loop().motion().interruptWithState(loop().state(), USER_CONTROL);
  // The control thread runs the law; on a lockstep rig this wait advances
  // simulated time.
  constexpr auto kPoll = std::chrono::milliseconds(1);
  while (slot.phase() != UserLaw::Phase::kEnded && control_active_.load() && !cycles_ended_.load()) {
    // Another host's command selected a state before the law began.
    if (loop().state().load() != USER_CONTROL && slot.disarm()) break;
    clock().sleepFor(kPoll);
  }
  const bool ended = slot.phase() == UserLaw::Phase::kEnded;
  const int code = ended ? slot.endCode() : 0;
  if (ended && code == 0) {
    // Finished or stopped: POSITION_CONTROL holds where the law left the arm
    // (unless a host command already selected another state).
    std::array<double, kArmJoints> hold = slot.holdPositions();
    slot.release();
    if (loop().state().load() == USER_CONTROL) {
      holdJointTargets(hold);
      loop().motion().interruptWithState(loop().state(), POSITION_CONTROL);
    }
    return;
  }
  slot.release();
  if (!ended) {
    throw std::runtime_error("control: control has ended (" + controlEndReason() +
                             "); the arm is held in damping");
  }
  const ErrorCode error(code);
  const bool reflex = error.kind() == ErrorCode::Kind::kCollision;
  throw std::runtime_error(
      "control: the control law was ended, code " + std::to_string(code) + ": " + error.meaning() +
      (reflex ? "; the arm is compliant until recover()" : "; the arm is held in damping"));
}

}  // namespace t8
}  // namespace kav
