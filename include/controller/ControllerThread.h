#pragma once
/// @file ControllerThread.h
/// The arm controller with its own 200 Hz control thread.

#include <Eigen/Geometry>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "controller/ControllerBase.h"
#include "controller/ErrorHistory.h"
#include "controller/UserControl.h"
#include "motion/Motion.h"
#include "rt/PiMutex.h"

namespace kav {
namespace t8 {

class ControlThread;
class MotionCommander;

/// Runs the control loop every 5 ms on its own thread (or on the platform's
/// cycle driver, see ArmPlatform) and hands commands and status between host
/// threads and that thread.
///
/// Status read by hosts is at most one cycle old; a command is used from the
/// first cycle after the next exchange. The arm state takes effect at the
/// next cycle. If a cycle raises a fault (over-current, motor fault), or fails
/// in any other way (code 3), the thread publishes that cycle's error codes,
/// prints the fault to standard error and stops, leaving the arm in damping;
/// getErrorCode() shows why. From then on controlActive() is false, every
/// setter throws std::runtime_error naming the fault, and the getters return
/// the last values received.
///
/// Threads: every public function may be called from any host thread, any
/// number at once. The control thread never waits for a host: it shares one
/// lock with them (the exchange lock, with priority inheritance), reads the
/// cycle timings' ring without a lock, and prints through the console queue.
class ControllerThread : public ControllerBase {
 public:
  /// Timing of one control cycle, on the monotonic clock.
  struct CycleTiming {
    std::chrono::steady_clock::time_point start;  ///< when the cycle began
    std::chrono::nanoseconds update;              ///< how long Update() took
  };

  /// Brings the arm up (see ControllerBase) and starts the control thread.
  /// @throw std::runtime_error as ControllerBase's constructor, or naming the
  ///        control thread when it cannot be started (the arm is then held
  ///        in damping and the bus closed)
  ControllerThread(const std::string& urdf_path, const std::string& can_name, int type);
  /// The same on @p platform (see ArmPlatform); with a cycle driver of the
  /// platform's, no thread of the controller's own runs the cycles.
  ControllerThread(const std::string& urdf_path, const std::string& can_name, int type, ArmPlatform platform);
  /// Stops the control thread (waiting at most one cycle for it), then holds
  /// the arm in damping and closes the transport.
  ~ControllerThread();

  /// False once control has ended on a fault (the arm is held in damping).
  bool controlActive() const { return control_active_.load(); }
  /// Why control ended ("" while it runs): the first fault's code and message.
  std::string controlEndReason();

  /// The latest published status of joints 1-6 and the gripper.
  std::vector<HybridJointStatus> getJointStatus();
  /// Positions; entry 6 is the gripper relative to its zero.
  std::vector<double> getJointPositons();
  /// Velocities of joints 1-6 and the gripper.
  std::vector<double> getJointVelocities();
  /// Currents of joints 1-6 and the gripper (the motors' units).
  std::vector<double> getJointCurrent();
  /// The latest published end-effector pose.
  Eigen::Isometry3d getEndPose();
  /// The error codes reported since construction, oldest first: the first
  /// 1000 ever reported and the newest 9000.
  std::vector<int> getErrorCode();
  /// Selects the arm state by number; any number outside 0..5 means damping.
  /// Ends a running motion.
  /// @throw std::runtime_error once control has ended (as every setter)
  void setArmStatus(int state);
  /// Ends a running motion.
  /// @throw std::invalid_argument when the pose holds a value that is not
  ///        finite or its linear part is not a rotation (orthonormal within
  ///        1e-6, determinant +1)
  void setEndPose(Eigen::Isometry3d input);
  /// Targets of joints 1-6 (further values are ignored). Ends a running motion.
  /// @throw std::invalid_argument for fewer than six values or a value that is not finite
  void setJointPositions(std::vector<double> positions);

  ///@{
  /// Motions (see InterfacesThread for what each does). Host threads only.
  /// @throw std::invalid_argument for input that cannot be followed (nothing moves)
  /// @throw std::runtime_error when the control loop does not run or another
  ///        command ends the motion while it is being started
  void followJointTrajectory(const std::vector<motion::TrajectoryPoint>& points);
  void moveJoints(const std::vector<double>& target, double speed_scale = 1.0);
  void moveLinear(const Eigen::Isometry3d& pose, double speed);
  bool motionDone();
  bool waitMotion(double timeout_s);
  void stopMotion();
  void setMotionLimits(const std::vector<double>& max_velocity, const std::vector<double>& max_acceleration);
  ///@}
  /// Gripper to position mode with target @p position (relative to its
  /// zero), clamped by the law to config::gripperTargetRange.
  /// @throw std::invalid_argument when @p position is not finite
  void setCatch(double position);
  /// Gripper to torque mode with @p torque.
  /// @throw std::invalid_argument when @p torque is not finite
  void setCatchTorque(double torque);
  /// See ControllerBase; refused once control has ended.
  void setHomePositions(std::vector<double> home_positions);
  /// See ControllerBase; refused once control has ended.
  void setInterpolationParam(double max_acc, double max_vel);
  /// Collision thresholds of joints 1-6, N·m (see InterfacesThread).
  /// @throw std::invalid_argument for a count other than six, a value that is
  ///        not finite or negative, or a lower threshold above its upper one
  void setCollisionThresholds(const std::vector<double>& lower, const std::vector<double>& upper);
  /// The thresholds last set (the defaults of ArmConfig.h before).
  void getCollisionThresholds(std::vector<double>& lower, std::vector<double>& upper);
  /// External torques of joints 1-6 (N·m) as of the last cycle.
  std::vector<double> getExternalTorques();
  /// Whether the last cycle found a joint above its lower threshold.
  bool contactDetected();
  /// The message of the last reflex ("" before the first).
  std::string lastReflex();
  /// Whether a reflex holds the arm compliant (until recover()).
  bool reflexActive() const { return reflex_active_.load(); }
  /// Reflexes fired by every controller of this process since it started
  /// (a test suite counts those no test provoked).
  static std::uint64_t reflexesInProcess();
  /// The payload held at the flange: @p mass kg, centre of mass in the
  /// flange frame (m).
  /// @throw std::invalid_argument for a mass that is not finite, negative or
  ///        above config::kMaxPayloadMass, or a centre of mass that is not
  ///        finite or farther than config::kMaxPayloadDistance from the flange
  void setPayload(double mass, const Eigen::Vector3d& centre_of_mass);
  /// The identified model of a dynamics file (kav identify) for the laws'
  /// gravity feed-forward and the observer, from a later cycle on.
  /// @throw std::invalid_argument naming the file and the field for a
  ///        malformed or implausible file; nothing changes then
  void loadDynamics(const std::string& path);
  /// setPayload() with the payload block of a payload file.
  /// @throw std::invalid_argument as loadDynamics()
  void loadPayload(const std::string& path);
  /// After a reflex or a fault that is not permanent: clears the motors'
  /// errors, enables them, checks that every arm motor answers without a
  /// fault, takes the measured positions as set-points and targets and
  /// resumes control in POSITION_CONTROL holding the present pose. A running
  /// cycle stops for the recovery (about 0.2 s of rounds, the arm compliant).
  /// Records code 176 in the error history.
  /// @throw std::runtime_error naming the motors still silent or the fault
  ///        still reported; control then stays ended, the arm in damping
  void recover();

  ///@{
  /// A host's control law and the safety limits (see InterfacesThread).
  void control(const ControlLaw& law);
  void stopControl();
  void setSafetyLimits(const SafetyLimits& limits);
  SafetyLimits safetyLimits();
  ///@}

  /// The timings of the most recent cycles (up to 8192, or up to @p newest),
  /// oldest first: a way to check that the control loop keeps its 5 ms period.
  std::vector<CycleTiming> getCycleTimings(std::size_t newest = SIZE_MAX);

  Eigen::Isometry3d ee_command_safe_;                 ///< the end-effector target last set
  std::vector<HybridJointStatus> joint_target_safe_;  ///< the joint targets last set
  double catch_torque_safe_;                          ///< the gripper torque last set
  std::vector<HybridJointStatus> joint_status_safe_;  ///< the joints' status last published
  Eigen::Isometry3d ee_state_safe_;                   ///< the end-effector pose last published

 private:
  // One kept cycle timing; atomics, so hosts copy them without a lock.
  struct TimingSlot {
    std::atomic<std::int64_t> start_ns{0};
    std::atomic<std::int64_t> update_ns{0};
  };

  /// One cycle of the control thread: the loop's step, its timing, the
  /// exchange with the hosts. False once control has ended.
  bool runCycle();
  /// The control thread's last steps, after its last cycle.
  void finishCycles();
  void exchangeData();
  void recordCycle(const CycleTiming& timing);
  /// POSITION_CONTROL's joint targets at a motion's final point, so that the
  /// interpolation holds it once the motion ends.
  void holdJointTargets(const motion::JointArray& positions);
  /// Ends control after @p what: damping (again unless the cycle answered
  /// the fault @p fault itself; 0: it did not), the code, the message.
  void endControl(const std::string& what, int fault);
  /// @throw std::runtime_error naming @p what and the fault once control ended
  void requireControl(const char* what);

  Eigen::Isometry3d ee_command_exchange_;
  std::vector<HybridJointStatus> joint_target_exchange_;
  double catch_torque_exchange_;
  std::vector<HybridJointStatus> joint_status_exchange_;
  Eigen::Isometry3d ee_state_exchange_;
  ErrorHistory error_code_exchange_;
  std::unique_ptr<ControlThread> own_thread_;  // unless the platform runs the cycles
  CycleDriver* cycles_ = nullptr;              // who runs them
  bool cycles_started_ = false;
  std::atomic<bool> cycles_ended_{false};
  std::atomic<bool> control_active_{true};
  long cycles_run_ = 0;                          // control thread only
  std::string end_reason_;                       // guarded by mutex_exchange_data_
  std::unique_ptr<TimingSlot[]> cycle_timings_;  // ring, written by the control thread only
  std::atomic<std::size_t> cycle_count_{0};
  // Guards every exchange copy, and the staging copies, which host threads share.
  rt::PiMutex mutex_exchange_data_;
  std::unique_ptr<MotionCommander> motion_commander_;
  // Published by the control thread under the exchange lock.
  std::array<double, 6> external_torques_exchange_{};
  bool contact_exchange_ = false;
  std::array<char, 160> reflex_exchange_{};
  std::atomic<bool> reflex_active_{false};
  std::mutex recover_mutex_;             // one recovery at a time
  std::atomic<bool> recovering_{false};  // recover() is stopping the cycles
  std::mutex control_mutex_;             // one control() at a time
  std::mutex safety_mutex_;              // setSafetyLimits and setMotionLimits
  bool safety_velocity_set_ = false;     // set explicitly: no longer the motion limits
};

}  // namespace t8
}  // namespace kav
