#pragma once
/// @file ControllerBase.h
/// The control core of one arm: transport, seven motor drivers, chain solver,
/// start-up sequence and one control cycle per Update().

#include <Eigen/Geometry>
#include <cstdint>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "canbase/CanBaseDef.h"
#include "console/Console.h"
#include "controller/ArmPlatform.h"
#include "controller/ErrorCode.h"
#include "solver/kinematic_dynamic_solver.h"
#include "typedef/HybridJointTypeDef.h"

namespace kav {
namespace t8 {

using hw_interface::CanFrame;
using hw_interface::HybridJointStatus;

class ControlLoop;
class EndTarget;
class MotorBus;

/// The control core of one arm.
///
/// Joint indices 0-5 are the arm joints from the base outwards, index 6 the
/// gripper; for the host a motor is numbered index + 1. Construction brings
/// the arm up (clear errors, enable, 100 damping cycles, homing for at least
/// 3.55 s while the gripper searches its end stop) and returns only when the
/// arm is home. Afterwards each Update() runs one control cycle (the cycle
/// ControllerThread runs at 200 Hz on its control thread).
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
///
/// A layer over the parts of the core: the motor bus (drivers and frame
/// schedule), the start-up sequence, and the control loop (fault monitor,
/// control laws, status estimate, motions).
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
    /// a host's control law (InterfacesThread::control); selected by number
    /// without a running law it acts as PROTECT
    USER_CONTROL = 6,
  };

  /// What the control cycle raises for a fault it has already answered with
  /// damping (over-current, a motor fault); the message is the fault's.
  class Fault : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  ///@{
  /// Error codes besides 16 x motor + c (see the class comment and ErrorCode).
  static constexpr int kCodeOverCurrent = ErrorCode::kOverCurrentCode;
  static constexpr int kCodeLinkOffline = ErrorCode::kLinkOfflineCode;
  static constexpr int kCodeCycleFailed = ErrorCode::kCycleFailedCode;
  static constexpr int kCodeImplausibleFeedback = ErrorCode::kImplausibleBase;  ///< + motor number
  static constexpr int kCodeMotorDisabled = ErrorCode::kDisabledBase;           ///< + motor number
  ///@}

  /// The name of arm state @p state ("SOFT" ... "POSITION_CONTROL"); a
  /// number outside 0..5 acts as PROTECT and is named so.
  static const char* stateName(int state);

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
  /// The same on @p platform: its transport is opened with @p can_name, and
  /// everything is timed on its clock (see ArmPlatform).
  ControllerBase(const std::string& urdf_path, const std::string& can_name, int type, ArmPlatform platform);
  /// Detaches from the transport, holds the arm in damping for 100 control
  /// periods (0.5 s), then closes the transport.
  ~ControllerBase();
  ControllerBase(const ControllerBase&) = delete;
  ControllerBase& operator=(const ControllerBase&) = delete;

  /// The start-up sequence; run by the constructor.
  void Init();
  /// One control cycle: link, current and fault checks, the handler of the
  /// selected state, then loadJointStatus(). A motor fault collected by a
  /// cycle ends control at the next one. Allocates nothing once running.
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
  /// How the gripper is driven: to a position, or with a torque.
  enum CatchControlMode { kPosition = 0, kTorque = 1 };

  /// Solves the pose @p _endstate (x, y, z, roll, pitch, yaw) from the six
  /// joint positions @p _current_pos; the solution becomes END_CONTROL's
  /// target. A position beyond the arm's reach fails at once, without the
  /// solver.
  /// @return false, with the target unchanged, when there is no solution
  /// @throw std::invalid_argument when a pointer is null
  bool computeInverseKinematics(double* _current_pos, double* _endstate);

  /// recover()'s work on the bus, with the cycles stopped (and so detached):
  /// gives every driver another chance, attaches again, sends the
  /// clear-error and enable rounds, then holds the arm compliant for
  /// config::kRecoveryCheckRounds periods while the feedback comes in.
  /// @throw std::runtime_error naming every arm motor still silent and the
  ///        fault still reported; the arm is then sent damping and the bus
  ///        detached again
  void recoverMotors();

  ///@{
  /// The parts, for the layer above (ControllerThread) and for tests.
  ControlLoop& loop() { return *loop_; }
  const ControlLoop& loop() const { return *loop_; }
  MotorBus& bus() { return *bus_; }
  rt::Clock& clock() { return clock_; }
  ///@}
  /// Who runs the cycles: null for the controller's own control thread.
  CycleDriver* cycleDriver() const { return cycle_driver_; }
  ///@{
  /// The arm state in force, the gripper's zero, the interpolation limits
  /// and the gripper's mode.
  int storedState() const;
  double gripperZero() const;
  double maxAcceleration() const;
  double maxVelocity() const;
  CatchControlMode catchMode() const;
  ///@}

 private:
  std::stringstream getLog();
  /// The start-up sequence proper; Init() undoes it when it fails.
  void bringUp();
  /// Opens the transport, creating a SocketCan when none was given.
  void openTransport();

  std::string can_name_;
  int type_;
  rt::Clock& clock_;
  CycleDriver* cycle_driver_;
  // Keeps the console writer running for this controller's threads (none
  // when a cycle driver of the caller runs everything on one thread).
  std::optional<console::WriterLease> console_lease_;
  std::unique_ptr<hw_interface::Transport> transport_;
  KinematicDynamicSolver solver_;
  std::unique_ptr<MotorBus> bus_;
  std::unique_ptr<EndTarget> end_target_;
  std::unique_ptr<ControlLoop> loop_;
};

}  // namespace t8
}  // namespace kav
