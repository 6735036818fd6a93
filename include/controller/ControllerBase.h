#pragma once
/// @file ControllerBase.h
/// The control core of one arm: transport, seven motor drivers, chain solver,
/// start-up sequence and one control cycle per Update().

#include <Eigen/Geometry>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <kdl/jntarray.hpp>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "can_motor_dlc/MotorDlcBase.h"
#include "canbase/SocketCan.h"
#include "console/Console.h"
#include "rt/PiMutex.h"
#include "solver/kinematic_dynamic_solver.h"
#include "typedef/HybridJointTypeDef.h"

namespace kav {
namespace t8 {

using hw_interface::CanFrame;
using hw_interface::HybridJointStatus;

class EdgeSearch;
class MotionExecutor;

/// The control core of one arm.
///
/// Joint indices 0-5 are the arm joints from the base outwards, index 6 the
/// gripper; for the host a motor is numbered index + 1. Construction brings
/// the arm up (clear errors, enable, 100 damping cycles, homing for at least
/// 3.55 s while the gripper searches its end stop) and returns only when the
/// arm is home. Afterwards each Update() runs one control cycle; the control
/// thread (ControllerThread) calls it at 200 Hz.
///
/// Error codes handed to hosts: 1 over-current, 2 CAN link offline, 3 a
/// control cycle failed unexpectedly, 16 x motor + c a driver error c (1..14)
/// of that motor, 16 x motor + 15 the motor is offline (127: the gripper, which
/// does not stop the arm), 128 + motor ten implausible readings in a row from
/// that motor, 144 + motor a wrist motor that reported itself disabled.
///
/// Frames are sent in rounds: frame k of a round (a control cycle, a start-up
/// round, a damping round) goes out k x 200 us after the round began, on an
/// absolute schedule, so one late wake-up delays that frame only. Damping
/// holds and start-up rounds send one round per control period (5 ms), which
/// keeps a 1 Mbit/s bus well within its capacity.
class ControllerBase {
 public:
  /// Arm states, selected by number.
  enum state {
    SOFT = 0,              ///< all motors limp
    GO_HOME = 1,           ///< move slowly to the home positions; gripper to its zero
    PROTECT = 2,           ///< damping only (also any number outside 0..5)
    G_COMPENSATION = 3,    ///< the arm floats, carrying its own weight
    END_CONTROL = 4,       ///< follow an end-effector pose
    POSITION_CONTROL = 5,  ///< follow joint targets
  };

  /// What the control cycle raises for a fault it has already answered with
  /// damping (over-current, a motor fault); the message is the fault's.
  class Fault : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  /// Error codes besides 16 x motor + c (see the class comment).
  static constexpr int kCodeOverCurrent = 1;
  static constexpr int kCodeLinkOffline = 2;
  static constexpr int kCodeCycleFailed = 3;
  static constexpr int kCodeImplausibleFeedback = 128;  ///< + motor number
  static constexpr int kCodeMotorDisabled = 144;        ///< + motor number

  /// Set by the go-home law while all six arm joints are at home.
  bool go_home_flag_;

  /// Builds the solver from @p urdf_path (chain "base_link" to "link6"),
  /// opens @p can_name and brings the arm up.
  /// @param urdf_path robot description file
  /// @param can_name SocketCAN interface ("can0") or local-socket bus ("unix:...")
  /// @param type arm variant; 2 drives the gripper by position, others by torque
  /// @throw std::runtime_error when the description cannot be used (nothing is
  ///        sent), when the interface cannot be opened (nothing is sent),
  ///        when another host already drives the arm on the bus (nothing is
  ///        sent), when a motor never answered during the start-up damping
  ///        (nothing more is sent), or when the arm is not home 30 s after
  ///        homing began (the arm is left in damping and the transport closed)
  ControllerBase(const std::string& urdf_path, const std::string& can_name, int type);
  /// Detaches from the transport, holds the arm in damping for 100 control
  /// periods (0.5 s), then closes the transport.
  ~ControllerBase();
  ControllerBase(const ControllerBase&) = delete;
  ControllerBase& operator=(const ControllerBase&) = delete;

  /// The start-up sequence; run by the constructor.
  void Init();
  /// One control cycle: link, current and fault checks, the handler of the
  /// selected state, then loadJointStatus(). A motor fault collected by a
  /// cycle ends control at the next one. Allocates nothing once running,
  /// except in END_CONTROL, where the solver library allocates.
  /// @throw std::runtime_error after an over-current or a motor fault (the
  ///        arm has been commanded into damping and 100 ms have passed)
  void Update();
  /// Publishes the drivers' feedback and refreshes the joint status, error
  /// codes, offline list, gravity torques and end-effector pose.
  void loadJointStatus();
  /// The joint status of the last loadJointStatus() (7 records).
  std::vector<HybridJointStatus> getJointStatus();
  /// The end-effector pose of the last loadJointStatus().
  Eigen::Isometry3d getEndPose();
  /// Sets the home positions of joints 1-6 (used the next time GO_HOME runs),
  /// clamped to the joint limits; further values and the gripper zero are
  /// left alone.
  /// @throw std::invalid_argument for fewer than six values or a value that
  ///        is not finite; nothing is changed then
  void setHomePositions(std::vector<double> home_positions);
  /// Sends the gripper's enable frame once.
  void setClampPos();
  /// Sends each motor's enable frame, 200 us apart, as one round.
  void setEnableMotor();
  /// Sends each motor's clear-error frame, 200 us apart, as one round.
  void clearMotorError();
  /// Sets the interpolation limits of POSITION_CONTROL and END_CONTROL,
  /// clamped to [0, 0.5] and [0, 2.0].
  /// @throw std::invalid_argument when a limit is not finite
  void setInterpolationParam(double max_acc, double max_vel);
  /// Has every driver publish its latest decoded feedback.
  void ExchangeMotorMsg();
  /// Offers a received frame to every driver.
  void CanCallback(CanFrame* frame);
  /// Feedback frames each motor's driver dropped (wrong length, implausible
  /// reading), joints 1-6 and the gripper.
  std::vector<std::uint64_t> droppedFrames() const;
  /// False once an arm joint's current was above its limit for 200
  /// consecutive checks.
  bool ifTorqeLimit();
  /// @throw Fault (a std::runtime_error) "关节力矩超限！" always
  [[noreturn]] void errorCurrentOutLimit();
  /// @throw Fault (a std::runtime_error) naming the motor and the fault, always
  [[noreturn]] void errorMotorFault(int joint_index, int error_code);
  /// @throw Fault for the host code @p code of a motor fault (a driver
  ///        error, implausible readings, a disabled motor), always
  [[noreturn]] void raiseMotorFault(int code);
  /// Prints the offline motors to standard output (through the console
  /// queue on the control thread).
  void errorCurrentDeviceOffline();
  /// Detaches the controller from the transport's callbacks.
  void destoryFunc();

 protected:
  enum CatchControlMode { kPosition = 0, kTorque = 1 };

  /// Solves the pose @p _endstate (x, y, z, roll, pitch, yaw) from the six
  /// joint positions @p _current_pos; stores the solution in solve_position_.
  /// A position beyond the arm's reach fails at once, without the solver.
  /// @return false, with solve_position_ unchanged, when there is no solution
  /// @throw std::invalid_argument when a pointer is null
  bool computeInverseKinematics(double* _current_pos, double* _endstate);

  std::atomic<int> state_machine_;
  std::vector<double> zero_point_position_;
  std::vector<double> current_limit_;
  std::vector<double> lower_bound_xyzrpy_;
  std::vector<double> upper_bound_xyzrpy_;
  double temp_position[7];
  std::vector<HybridJointStatus> joint_target_;
  Eigen::Isometry3d ee_command_;
  double catch_torque_target_;
  std::atomic<CatchControlMode> catch_control_mode_;
  std::atomic<double> max_acc_;
  std::atomic<double> max_vel_;
  std::vector<HybridJointStatus> joint_status_;
  bool online_;
  Eigen::Isometry3d ee_state_;
  std::string can_name_;
  int type_;
  int current_out_count_[7];
  int max_current_out_;
  /// Codes of the cycles since the last exchange; its capacity is reserved,
  /// so a running cycle never grows it.
  std::vector<int> error_code_;
  KinematicDynamicSolver solver_;
  /// Motions in POSITION_CONTROL: the control thread samples the running
  /// one each cycle instead of interpolating toward the joint targets.
  std::unique_ptr<MotionExecutor> motion_executor_;

  /// Sends one damping round.
  void dampOnce();
  /// The motor fault that ends (or ended) control, 0 when none.
  int pendingFault() const { return pending_fault_; }
  /// Starts a round of frames now (see the class comment).
  void startRound();
  /// Waits for the slot after the round's last frame.
  void endRound();
  /// Waits until one control period after the round began.
  void waitRoundPeriod();

 private:
  void stateSoft();
  void stateGoHome();
  void stateGravityCompensation();
  void statePositionControl();
  void stateEndControl();
  void stateProtect();
  void CatchPositionCtrl();
  void CatchSoft();
  std::stringstream getLog();

  template <class T>
  T limit(const T& v, const T& lb, const T& ub) const {
    if (v < lb) return lb;
    if (v > ub) return ub;
    return v;
  }

  /// Packs one hybrid command for motor @p index and sends it.
  void sendCommand(int index, double k_p, double k_d, double position, double velocity, double torque);
  void send(CanFrame frame);
  /// Takes the home positions a host thread set since the last call.
  void takeHomePositions();
  /// Arm joints (numbered from 1) that do not meet the go-home test.
  std::vector<int> jointsNotHome() const;
  /// Whether every arm joint meets the go-home test (allocates nothing).
  bool allJointsHome() const;
  /// Holds the arm in damping for 100 rounds, one per control period.
  void holdDamping();
  /// Listens before sending anything; another host's commands fail the start.
  void listenForAnotherHost();
  /// Fails the start when a motor never answered during the start-up damping.
  void requireEveryMotorAnswered();
  /// Records @p code as the pending fault unless one is pending.
  void noteFault(int code);
  /// The start-up sequence proper; Init() undoes it when it fails.
  void bringUp();
  /// Holds damping for about 0.4 s, detaches and closes the transport.
  void shutDownAfterFailedStart();

  double lower_Joint[7];
  double upper_Joint[7];
  // Keeps the console writer running for this controller's threads.
  console::WriterLease console_lease_;
  std::unique_ptr<hw_interface::SocketCan> kav_can_;
  std::vector<std::shared_ptr<hw_interface::MotorDlcBase>> joint_ptr_;
  std::vector<int> offline_motors_;
  std::vector<double> gravity_compensation_torqe_;
  KDL::JntArray solve_position_;
  // Scratch of loadJointStatus, sized once.
  KDL::JntArray measured_joints_;
  KDL::JntArray gravity_torques_;
  // The first motor fault collected and not yet acted on (0: none).
  int pending_fault_ = 0;
  // Set once the start-up has enabled the motors: from then on a wrist motor
  // that reports itself disabled is a fault.
  bool motors_enabled_ = false;
  // Frames on the arm's command identifiers seen while the start-up listens.
  std::atomic<int> foreign_frames_{0};
  std::atomic<bool> listening_{false};
  // The frame schedule of the present round.
  std::chrono::steady_clock::time_point round_start_{};
  int frame_slot_ = 0;

  // Home positions handed over from host threads; the control thread only
  // tries the lock and takes them at a later cycle when it is busy.
  rt::PiMutex mutex_home_;
  std::vector<double> home_request_;
  bool home_request_pending_ = false;

  // End-effector control: while the target has no solution, the search for
  // the reachable edge runs on edge_search_'s thread (see stateEndControl).
  std::uint64_t update_count_ = 0;
  std::uint64_t last_end_control_update_ = 0;
  bool searching_edge_ = false;
  // Last member: its thread is stopped and joined before anything else goes.
  std::unique_ptr<EdgeSearch> edge_search_;
};

}  // namespace t8
}  // namespace kav
