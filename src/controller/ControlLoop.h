#pragma once
// One control cycle of an arm: read feedback, decide faults, run the law of
// the selected state, send its frames. No thread of its own: a real-time
// thread or a lockstep simulation calls step() every 5 ms.

#include <Eigen/Geometry>
#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "config/ArmConfig.h"
#include "controller/CollisionObserver.h"
#include "controller/CommandLimits.h"
#include "controller/ControlLaws.h"
#include "controller/EndTarget.h"
#include "controller/FaultMonitor.h"
#include "controller/MotionExecutor.h"
#include "controller/MotorBus.h"
#include "controller/StatusEstimator.h"
#include "controller/UserControl.h"
#include "controller/UserLaw.h"
#include "rt/Clock.h"
#include "rt/PiMutex.h"

namespace kav {
namespace t8 {

/// Reflexes fired by every control loop of this process.
extern std::atomic<std::uint64_t> reflexes_in_process;

/// The control loop of one arm.
///
/// step() acts on the feedback loaded at the end of the previous cycle (or
/// by the start-up) and ends by loading this cycle's. A fault that ends
/// control is answered within the cycle (a round of damping) and returned;
/// what follows (the pause, the report, the end of the cycles) is the
/// caller's.
///
/// Threads: step() and everything marked "control thread" run on the
/// thread that runs the cycles; the members marked "host threads" may be
/// called from any thread at any time (atomics, or a lock the control thread
/// only tries).
class ControlLoop {
 public:
  /// What a cycle came to: 0 when it ran its law, else the code of the
  /// fault that ends control (the arm has been sent one round of damping).
  struct Outcome {
    int fault = 0;
  };

  /// The host's targets, taken between cycles.
  struct Targets {
    std::array<double, config::kMotors> joints{};  ///< joints 1-6, gripper relative to its zero
    Eigen::Isometry3d end_pose = Eigen::Isometry3d::Identity();
    double gripper_torque = 0.0;
    /// Taken with the gripper's target and torque, so that a new mode never
    /// meets the previous mode's value.
    laws::GripperMode gripper_mode = laws::GripperMode::kPosition;
  };

  /// @param go_home_flag set while GO_HOME finds every arm joint home
  ControlLoop(MotorBus& bus, KinematicDynamicSolver& solver, EndTarget& end_target, int type,
              bool& go_home_flag);

  // ---- control thread
  /// One control cycle whose round of frames starts at @p start.
  /// @throw whatever a law or the solver throws (the caller ends control)
  Outcome step(rt::Clock::time_point start);
  /// Publishes the drivers' feedback and refreshes the status, the fault
  /// codes, the offline list, the gravity torques and the end-effector pose.
  void loadFeedback();
  /// GO_HOME's arm joints into @p commands (taking home positions handed
  /// over since the last call).
  void goHome(MotorCommands& commands);
  /// Whether the last GO_HOME law found every arm joint home.
  bool goHomeFlag() const { return go_home_flag_; }
  /// One round of damping; a hold of @p rounds of them, one per period.
  void dampOnce();
  void holdDamping(int rounds);
  /// Prints the offline motors (through the console queue on a real-time thread).
  void printOffline() const;
  /// From now on a wrist motor that reports itself disabled is a fault.
  void setMotorsEnabled() { motors_enabled_ = true; }
  /// After a fault or a reflex, with the cycles stopped and the motors
  /// answering again: forgets the fault and the reflex, takes the measured
  /// positions as set-points and targets, and selects POSITION_CONTROL, so
  /// the next cycle holds the present pose. The observer starts again.
  void resumeHoldingPose();
  /// One round of the reflex's compliant law (recover()'s check rounds).
  void compliantOnce();
  /// The compliant law's frames on fresh positions, in the round the caller
  /// started, without judging faults or running the observer (recover()'s
  /// clear and enable rounds, while the motors still report the fault): the
  /// arm is held against gravity where it is.
  void sendCompliantHold();
  /// Work the cycle leaves to a worker, when there is no worker thread.
  void runDeferredWork() { end_target_.runPending(); }

  const laws::Feedback& feedback() const { return feedback_; }
  const Eigen::Isometry3d& endPose() const { return end_pose_; }
  laws::SetPoints& setPoints() { return set_points_; }
  Targets& targets() { return targets_; }
  FaultMonitor& faults() { return faults_; }
  bool online() const { return online_; }
  /// Home positions of joints 1-6 and the gripper's zero (index 6).
  std::array<double, config::kMotors>& home() { return home_; }
  EndTarget& endTarget() { return end_target_; }
  /// External torques of joints 1-6 as of the last feedback.
  const JointTorques& externalTorques() const { return observer_.residual(); }
  /// Whether the last cycle found contact (a joint above its lower threshold).
  bool contact() const { return collisions_.contact(); }
  /// The joint (1-6) whose reflex holds the arm compliant; 0 when none.
  int reflexJoint() const { return reflex_joint_; }
  /// The message of the last reflex ("" before the first).
  const char* reflexMessage() const { return reflex_message_.data(); }
  MotorBus& bus() { return bus_; }
  /// How long the host's law took in the last cycle (0 when none ran).
  std::chrono::nanoseconds lawTime() const { return law_time_; }

  // ---- host threads
  std::atomic<int>& state() { return state_; }
  const std::atomic<int>& state() const { return state_; }
  MotionExecutor& motion() { return motion_; }
  /// The interpolation limits of POSITION_CONTROL and END_CONTROL.
  void setLimits(double max_acc, double max_vel);
  laws::Limits limits() const { return {max_acc_.load(), max_vel_.load()}; }
  /// The gripper's mode as the host last set it; the cycles use the one
  /// taken with the targets.
  void setGripperMode(laws::GripperMode mode) { gripper_mode_.store(mode); }
  laws::GripperMode gripperMode() const { return gripper_mode_.load(); }
  /// Home positions of joints 1-6 for GO_HOME, taken at a later cycle.
  void requestHome(const std::array<double, config::kArmJoints>& home);
  MomentumObserver& observer() { return observer_; }
  /// The slot of a host's control law (USER_CONTROL).
  UserLaw& userLaw() { return user_law_; }
  /// The safety limits every command passes, taken at a later cycle (the
  /// caller validated them).
  void setSafetyLimits(const SafetyLimits& limits);
  SafetyLimits safetyLimits();
  CollisionMonitor& collisions() { return collisions_; }
  /// The gripper's zero: written by the start-up before any cycle runs,
  /// never changed afterwards.
  double gripperZero() const { return home_[config::kGripper]; }

 private:
  void runLaw(int state, MotorCommands& commands);
  void endControl(MotorCommands& commands);
  laws::Gripper gripperTarget(double target) const;
  void sendDamping();
  // Sends the seven motors' commands, telling the observer what the arm
  // motors were sent.
  void sendCommands(const MotorCommands& commands);
  void takeHome();
  void checkCollision();
  void compliant(MotorCommands& commands);
  void readDrivers();
  void addPayloadGravity();
  // USER_CONTROL: the host's law, or the hold after it ended.
  void userControl(MotorCommands& commands);
  void fillCycleState(CycleState& state) const;
  // Ends a running host law with @p code; the arm is held where it is.
  void endUserLaw(int code);
  // Applies the safety limits to the cycle's commands and records what they
  // broke. @return the code that ends control, 0 when the commands may go
  int limitCommands(MotorCommands& commands);

  MotorBus& bus_;
  EndTarget& end_target_;
  const int type_;
  bool& go_home_flag_;
  StatusEstimator estimator_;
  FaultMonitor faults_;
  MotionExecutor motion_;
  MomentumObserver observer_;
  CollisionMonitor collisions_;

  std::atomic<int> state_;
  std::atomic<double> max_acc_{config::kMaxAcceleration};
  std::atomic<double> max_vel_{config::kMaxVelocity};
  std::atomic<laws::GripperMode> gripper_mode_{laws::GripperMode::kPosition};

  // Control thread only.
  laws::Feedback feedback_;
  Eigen::Isometry3d end_pose_ = Eigen::Isometry3d::Identity();
  laws::SetPoints set_points_;
  Targets targets_;
  std::array<double, config::kMotors> home_{};
  bool online_ = true;
  bool motors_enabled_ = false;
  std::vector<int> offline_;
  std::uint64_t cycles_ = 0;
  std::uint64_t last_end_control_cycle_ = 0;
  // When each arm joint's reading the observer last took was received.
  std::array<rt::Clock::time_point, config::kArmJoints> last_sampled_{};
  // The time from each arm joint's last command to the reception of its reply.
  std::array<rt::Clock::duration, config::kArmJoints> reply_time_{};
  int reflex_joint_ = 0;
  int reflex_state_ = -1;    // the state whose law the reflex watches
  int reflex_settling_ = 0;  // cycles until the reflex may fire
  std::array<char, 160> reflex_message_{};
  rt::Clock::time_point cycle_start_{};
  UserLaw user_law_;
  bool user_commands_ = false;   // this cycle's arm commands are the host law's
  bool user_finishing_ = false;  // the host law said finished this cycle
  std::array<double, config::kArmJoints> user_hold_{};
  std::chrono::nanoseconds law_time_{0};
  SafetyLimits safety_;
  unsigned limits_broken_ = 0;  // the kinds the last cycle's commands broke
  limits::Hold limit_hold_;

  // Safety limits handed over from host threads (taken with try-lock).
  rt::PiMutex safety_mutex_;
  SafetyLimits safety_request_;
  bool safety_request_pending_ = false;

  // Home positions handed over from host threads; the control thread only
  // tries the lock and takes them at a later cycle when it is busy.
  rt::PiMutex home_mutex_;
  std::array<double, config::kArmJoints> home_request_{};
  bool home_request_pending_ = false;
};

}  // namespace t8
}  // namespace kav
