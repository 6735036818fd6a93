#include "controller/ControllerThread.h"

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "config/ArmConfig.h"
#include "console/Console.h"
#include "controller/CycleClock.h"
#include "controller/MotionCommander.h"
#include "controller/MotionExecutor.h"
#include "rt/Seams.h"
#include "rt/SigpipeGuard.h"

namespace kav {
namespace t8 {

namespace {

constexpr std::size_t kKeptCycleTimings = 8192;
// How far a pose's linear part may be from a rotation.
constexpr double kRotationTolerance = 1e-6;
// How long the destructor waits for the console writer to write the control
// thread's last lines before printing its own.
constexpr auto kConsoleFlushWait = std::chrono::milliseconds(100);
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
    : ControllerBase(urdf_path, can_name, type),
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
      thread_id(),
      atomic_thread_stop_flag_(false),
      atomic_thread_finish_flag_(false),
      cycle_timings_(new TimingSlot[kKeptCycleTimings]),
      motion_commander_(std::make_unique<MotionCommander>(
          *motion_executor_, urdf_path,
          MotionCommander::Hooks{[this](const motion::JointArray& q) { holdJointTargets(q); },
                                 [this] {
                                   return thread_started_ && !atomic_thread_finish_flag_.load() &&
                                          control_active_.load();
                                 }})) {
  startThread();
}

ControllerThread::~ControllerThread() {
  const rt::SigpipeGuard no_sigpipe;
  console::flush(kConsoleFlushWait);  // the control thread's lines so far come first
  std::printf("DisableMotor\n");
  atomic_thread_stop_flag_.store(true);
  if (thread_started_) {
    if (!atomic_thread_finish_flag_.load()) {
      std::printf("[Controller] waiting for thread finish\n");
      std::fflush(stdout);
    }
    // The thread ends within one cycle of the stop flag.
    pthread_join(thread_id, nullptr);
    console::flush(kConsoleFlushWait);
  }
  std::printf("[Controller] thread finish\n");
}

void ControllerThread::startThread() {
  atomic_thread_finish_flag_.store(false);
  atomic_thread_stop_flag_.store(false);
  const int error = rt::startThread(&thread_id, "kav-control", &ControllerThread::ArmThreadWrapper, this);
  if (error != 0) {
    std::fprintf(stderr, "Failed to create thread\n");
    // The base's destructor holds the arm in damping and closes the bus.
    throw std::runtime_error(std::string("Cannot start the control thread \"kav-control\": ") +
                             std::strerror(error));
  }
  thread_started_ = true;
}

void* ControllerThread::ArmThreadWrapper(void* arg) {
  static_cast<ControllerThread*>(arg)->ArmThread();
  return nullptr;
}

void ControllerThread::ArmThread() {
  const auto period = config::kCyclePeriod;
  pthread_setname_np(pthread_self(), "kav-control");
  // Best effort: a real-time priority keeps the period when the machine is
  // busy; without the privilege the thread runs at normal priority.
  sched_param priority{};
  priority.sched_priority = 80;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
  console::markRealtimeThread();
  long count = 0;
  auto deadline = CycleClock::now();
  while (!atomic_thread_stop_flag_.load()) {
    const auto cycle_start = CycleClock::now();
    try {
      Update();
    } catch (const Fault& fault) {
      endControl(fault, true);
      break;
    } catch (const std::exception& error) {
      endControl(error, false);
      break;
    }
    recordCycle({cycle_start, CycleClock::now() - cycle_start});
    exchangeData();
    if (count % 1000 == 0) console::print(console::Stream::kErr, "KAVOrlumen\n");
    ++count;
    // The first cycle runs at once; an overrun starts the next one at once,
    // without catching up.
    deadline += period;
    const auto now = CycleClock::now();
    if (deadline < now) deadline = now;
    waitUntil(deadline);
  }
  console::print(console::Stream::kOut, "[ArmThread] DisableMotor\n");
  destoryFunc();
  atomic_thread_finish_flag_.store(true);
  console::print(console::Stream::kOut, "[ArmThread] finish close\n");
}

void ControllerThread::endControl(const std::exception& error, bool answered_fault) {
  // Whatever ended the cycle, the arm is left in damping; a fault that the
  // cycle did not answer itself gets its own code.
  if (!answered_fault) {
    dampOnce();
    error_code_.push_back(kCodeCycleFailed);
  }
  int code = kCodeCycleFailed;
  if (answered_fault) {
    const bool over_current = !error_code_.empty() && error_code_.back() == kCodeOverCurrent;
    code = over_current ? kCodeOverCurrent : pendingFault();
  }
  exchangeData();
  {
    std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
    end_reason_ = "code " + std::to_string(code) + ": " + error.what();
  }
  control_active_.store(false);
  console::print(console::Stream::kErr, "%s\n", error.what());
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
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  joint_status_exchange_ = joint_status_;  // same sizes: copies in place
  ee_state_exchange_ = ee_state_;
  for (int code : error_code_) error_code_exchange_.append(code);
  error_code_.clear();
  ee_command_ = ee_command_exchange_;
  joint_target_ = joint_target_exchange_;
  catch_torque_target_ = catch_torque_exchange_;
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
    const CycleClock::duration start(slot.start_ns.load(std::memory_order_relaxed));
    timings.push_back({CycleClock::time_point(start),
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
  result[kGripper] = joint_status_exchange_[kGripper].position - zero_point_position_[kGripper];
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
  motion_executor_->interruptWithState(state_machine_, state);
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
  motion_executor_->interrupt();
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
  motion_executor_->interrupt();
}

void ControllerThread::setCatch(double position) {
  requireFinite(position, "setCatch: the gripper position");
  requireControl("setCatch");
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  catch_control_mode_.store(kPosition);
  joint_target_safe_[kGripper].position = position;
  joint_target_exchange_[kGripper] = joint_target_safe_[kGripper];
}

void ControllerThread::setCatchTorque(double torque) {
  requireFinite(torque, "setCatchTorque: the gripper torque");
  requireControl("setCatchTorque");
  std::lock_guard<rt::PiMutex> lock(mutex_exchange_data_);
  catch_control_mode_.store(kTorque);
  catch_torque_safe_ = torque;
  catch_torque_exchange_ = catch_torque_safe_;
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
}

}  // namespace t8
}  // namespace kav
