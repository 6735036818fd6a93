#pragma once
/// @file InterfacesThread.h
/// The native facade through which a host program drives one arm.

#include <Eigen/Geometry>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "controller/ArmPlatform.h"
#include "controller/UserControl.h"
#include "motion/Motion.h"
#include "typedef/HybridJointTypeDef.h"

namespace kav {
namespace t8 {

/// One arm. Construction brings the arm up and starts its 200 Hz control
/// thread (it blocks for at least 3.65 s); destruction stops the thread,
/// holds the arm in damping for 0.5 s and closes the bus.
///
/// Arm states: SOFT 0, GO_HOME 1, PROTECT 2, G_COMPENSATION 3,
/// END_CONTROL 4, POSITION_CONTROL 5. Error codes: 1 over-current, 2 CAN link
/// offline, 3 a control cycle failed, 16 x motor + c driver error c of motor
/// 1..7, 16 x motor + 15 motor offline (127: the gripper, which does not stop
/// the arm), 128 + motor ten implausible readings in a row, 144 + motor a
/// wrist motor reported itself disabled; 160 + joint the collision reflex,
/// 176 recovered, 192/193 a host's control law threw / overran, 194 a
/// host's streamed commands stopped coming, 208-213 the safety limits
/// (ErrorCode.h). USER_CONTROL 6 runs a host's law (control()).
class InterfacesThread {
 public:
  /// Timing of one control cycle, on the monotonic clock.
  struct CycleTiming {
    std::chrono::steady_clock::time_point start;  ///< when the cycle began
    std::chrono::nanoseconds update;              ///< how long the cycle's control step took
  };

  /// @param urdf_path robot description file (chain "base_link" to "link6")
  /// @param can_name "can0", or a local-socket bus "unix:/path" / "unix:@name"
  /// @param type arm variant (2 drives the gripper by position)
  /// @throw std::runtime_error when the description cannot be used, the bus
  ///        cannot be opened, another host drives the arm on that bus, a
  ///        motor never answers during the start-up, a thread cannot be
  ///        started, or the arm does not reach home within 30 s
  InterfacesThread(const std::string& urdf_path, const std::string& can_name, int type);
  /// The same arm on @p platform: another transport, clock or cycle driver
  /// (see ArmPlatform; sim/Lockstep.h builds one for a lockstep simulation).
  /// @throw std::runtime_error as the other constructor
  InterfacesThread(const std::string& urdf_path, const std::string& can_name, int type, ArmPlatform platform);
  ~InterfacesThread();
  InterfacesThread(const InterfacesThread&) = delete;
  InterfacesThread& operator=(const InterfacesThread&) = delete;

  /// Position, velocity, current of joints 1-6 and the gripper.
  std::vector<hw_interface::HybridJointStatus> getJointStatus();
  /// Joint positions in radians; entry 6 is the gripper relative to its zero.
  std::vector<double> getJointPositons();
  /// Joint velocities in rad/s; entry 6 is the gripper.
  std::vector<double> getJointVelocities();
  /// Joint currents in the motors' units; entry 6 is the gripper.
  std::vector<double> getJointCurrent();
  /// End-effector pose, positions relative to the zero configuration's.
  Eigen::Isometry3d getEndPose();
  /// Selects the arm state by number.
  void setArmStatus(int state);
  /// End-effector target for END_CONTROL.
  /// @throw std::invalid_argument when the pose holds a value that is not finite
  void setEndPose(Eigen::Isometry3d input);
  /// Joint targets for POSITION_CONTROL (first six values).
  /// @throw std::invalid_argument for fewer than six values or non-finite ones
  void setJointPositions(std::vector<double> positions);
  /// Home positions of joints 1-6 (first six values).
  /// @throw std::invalid_argument for fewer than six values or non-finite ones
  void setHomePositions(std::vector<double> positions);
  /// Gripper to position mode, target relative to the gripper zero. The
  /// gripper's law clamps the target to config::gripperTargetRange of the
  /// arm variant (0 to 5 rad for the torque-driven grippers, -3.4 to 0.1
  /// for variant 2), as the joints' targets are clamped to their limits.
  /// @throw std::invalid_argument when not finite
  void setCatch(double position);
  /// Gripper to torque mode.
  /// @throw std::invalid_argument when not finite
  void setCatchTorque(double torque);
  /// Interpolation limits in thousandths: acceleration @p a / 1000 (at most
  /// 0.5), speed @p b / 1000 (at most 2.0); the third value is not used.
  /// @throw std::invalid_argument when @p a or @p b is not finite
  void kav_x(double a, double b, double c);
  /// The error codes since construction, oldest first: the first 1000 ever
  /// reported and the newest 9000.
  std::vector<int> getErrorCode();
  /// The arm state number in force: the last one selected (GO_HOME right
  /// after construction). A number outside 0-5 acts as PROTECT.
  int getArmStatus();
  /// The timings of the most recent control cycles, oldest first: at most
  /// @p newest of them, and at most the 8192 the controller keeps. Copying
  /// costs the caller time in proportion, so ask for a second's worth (200),
  /// not for all of them, when calling often.
  /// @param newest how many of the most recent cycles to return
  std::vector<CycleTiming> getCycleTimings(std::size_t newest);
  /// False once control has ended on a fault (over-current, a motor fault,
  /// a failed cycle) until recover() brings it back: the arm is held in damping, every setter throws
  /// std::runtime_error naming the first fault (code and message), and the
  /// getters return the last values received before the end.
  bool controlActive();
  /// Feedback frames each motor's driver dropped as malformed (a length
  /// other than 8) or implausible (a position jump of more than 1 rad),
  /// joints 1-6 and the gripper.
  std::vector<std::uint64_t> getDroppedFrames();

  // ---- Collisions: external torques, contact, the reflex and recovery.
  //
  // Every cycle an observer estimates the torque from outside on each arm
  // joint from the measured motion and motor currents (docs/safety.md).
  // Above a joint's lower threshold the contact flag is set; above its upper
  // one, in GO_HOME, POSITION_CONTROL or END_CONTROL, the reflex fires: the
  // running motion is ended for good, the arm goes compliant (gravity
  // compensation with damping), code 160 + joint is recorded and a message
  // naming the joint and the torque goes to standard error. Control stays
  // active, but position and pose targets are not followed until recover().

  /// Sets the thresholds of joints 1-6, N·m, from the next cycle on.
  /// @param lower six values: contact above them
  /// @param upper six values: the reflex above them
  /// @throw std::invalid_argument for a count other than six, a value that
  ///        is not finite or negative, or a lower value above its upper one;
  ///        nothing changes then
  void setCollisionThresholds(const std::vector<double>& lower, const std::vector<double>& upper);
  /// The estimated external torques of joints 1-6, N·m, positive in each
  /// joint's positive direction, as of the last cycle.
  std::vector<double> getExternalTorques();
  /// Whether the last cycle found a joint above its lower threshold.
  bool contactDetected();
  /// The message of the last reflex (naming the joint and the torque, as
  /// printed when it fired); "" before the first. It stays after recover().
  std::string lastReflex();
  /// The payload at the flange, part of the model from a later cycle on, so
  /// that a held object is not taken for a collision (and is compensated).
  /// @param mass kg, 0 to 5
  /// @param centre_of_mass m, in the flange frame, within 1 m of it
  /// @throw std::invalid_argument for values outside these; nothing changes then
  void setPayload(double mass, const Eigen::Vector3d& centre_of_mass);
  /// Loads the arm's identified model from a dynamics file written by
  /// `kav identify` (docs/tools.md): from a later cycle on, the laws' gravity
  /// feed-forward and the collision observer take their gravity, friction
  /// and torque per command unit from it (the payload set before or after
  /// comes on top; the file's own payload block is already in its gravity
  /// terms). Without one the description's model is used. Safe while the
  /// arm runs: the model is built here and handed to the control thread.
  /// @param path the JSON file
  /// @throw std::invalid_argument naming the file and the field for a file
  ///        that cannot be read, is malformed, of another version, or holds
  ///        an implausible value; nothing changes then
  void loadDynamics(const std::string& path);
  /// setPayload() from a payload file of `kav identify --payload-only` (or
  /// the payload block of another file of that format).
  /// @throw std::invalid_argument as loadDynamics(), or for a payload
  ///        setPayload() refuses; nothing changes then
  void loadPayload(const std::string& path);
  /// Brings control back after a reflex or a fault that is not permanent
  /// (over-current, a fault code the motor clears, implausible readings, a
  /// disabled wrist motor, a motor or bus that answers again): clears the
  /// motors' errors, enables them, checks their answers, takes the measured
  /// positions as set-points and targets and returns to POSITION_CONTROL
  /// holding the present pose; controlActive() is then true and code 176 is
  /// recorded after the fault's.
  /// @throw std::runtime_error naming the motors still silent or the fault
  ///        they still report; the arm is then held in damping, control ended
  void recover();

  // ---- Motions, run in POSITION_CONTROL inside the control cycle.
  //
  // A motion selects POSITION_CONTROL, starts from the present set-point
  // (position and velocity) and is sampled every cycle: the sample is the
  // set-point and its velocity the motors' velocity target, in place of the
  // interpolation toward the joint targets. Afterwards the final point is
  // held, and the joint targets are set to it. Every motion is checked
  // completely before anything moves, and a new motion replaces a running one
  // from the present set-point without a jump. setJointPositions,
  // setEndPose and setArmStatus end a running motion: the set-point then
  // continues from where the motion left it, as the selected state's law
  // drives it (in POSITION_CONTROL, interpolating toward the joint targets).
  // Calls return once the control loop has taken the motion over.

  /// Follows a trajectory through @p points, interpolated per joint: a
  /// cubic spline through the positions when only positions are given (zero
  /// velocity at the end), cubic Hermite segments with velocities, quintic
  /// segments with velocities and accelerations. The last point must be at
  /// rest.
  /// @param points at least one; times strictly increasing, the first above 0
  /// @throw std::invalid_argument naming the point and the joint for wrong
  ///        sizes, values that are not finite, bad times, positions outside
  ///        the joint limits, a sampled velocity or acceleration above the
  ///        motion limits, a segment shorter than motion::kMinSegmentDuration
  ///        (1 ms), a point later than motion::kMaxTrajectoryDuration
  ///        (3600 s); nothing moves then
  /// @throw std::runtime_error when the control loop does not run
  void followJointTrajectory(const std::vector<TrajectoryPoint>& points);
  /// Moves all six joints to @p target in the shortest time the motion
  /// limits allow for the slowest joint; all joints start and arrive
  /// together (trapezoidal velocity profiles stretched to the common
  /// duration). From a moving set-point it first stops (as stopMotion).
  /// @param target six joint positions within the joint limits
  /// @param speed_scale in [motion::kMinSpeedScale, 1] (from 0.001):
  ///        velocities × s, accelerations × s²
  /// @throw std::invalid_argument for a bad target or scale; nothing moves then
  /// @throw std::runtime_error when the control loop does not run
  void moveJoints(const std::vector<double>& target, double speed_scale = 1.0);
  /// Moves the end effector on a straight line from the present commanded
  /// pose to @p pose (as setEndPose and getEndPose give poses), turning the
  /// orientation by slerp, at @p speed with a smooth start and stop. Every
  /// cycle's joint set-points are solved from the previous cycle's, and the
  /// whole line is checked first. From a moving set-point it first stops.
  /// @param speed m/s, at least motion::kMinLineSpeed (0.1 mm/s)
  /// @throw std::invalid_argument for a pose that is not a finite rigid
  ///        transform, a bad speed, a line that would last longer than
  ///        motion::kMaxLineDuration (120 s), or a line that cannot be
  ///        followed (out of reach, no solution, joint or motion limits),
  ///        saying at which fraction of the line; nothing moves then
  /// @throw std::runtime_error when the control loop does not run
  void moveLinear(const Eigen::Isometry3d& pose, double speed);
  /// True when no motion is moving the arm (none started, it came to rest,
  /// it was ended, or the control loop stopped).
  bool motionDone();
  /// Waits up to @p timeout_s seconds for motionDone().
  /// @return true when done
  /// @throw std::invalid_argument for a negative or NaN timeout
  bool waitMotion(double timeout_s);
  /// Decelerates every joint within the acceleration limits, all coming to
  /// rest together, and holds there. Does nothing when no motion moves.
  void stopMotion();
  // ---- A host's own control law, and the safety limits (docs/control.md).

  /// Runs @p law on the control thread once per cycle (arm state
  /// USER_CONTROL, 6) and blocks the calling thread meanwhile. The law gets
  /// each cycle's CycleState and returns the six arm joints' JointCommand;
  /// the gripper keeps its own law. On a lockstep rig the wait advances
  /// simulated time. Returns when the law says finished, when stopControl()
  /// is called, or when a host command selects another state (setArmStatus,
  /// a target, a motion); the arm is then held in POSITION_CONTROL where it
  /// was. A law that takes more than 1 ms in a cycle is reported (code 193).
  /// @param law called on the control thread: it must not block or throw on
  ///        purpose; its copy is kept until control() returns
  /// @throw std::invalid_argument for an empty law; nothing runs then
  /// @throw std::runtime_error naming the code when the law is ended: an
  ///        exception from it (192), a command the safety limits refuse
  ///        (208, or any violation with SafetyLimits::Response::kEnd), a
  ///        reflex (160 + joint; the arm compliant until recover()), a motor
  ///        fault or offline motor (control ended); the arm is then held in
  ///        damping. Also when another control() runs, or control has ended.
  void control(const ControlLaw& law);
  /// Ends the running control() at the next cycle; does nothing without one.
  /// Any thread.
  void stopControl();
  /// The limits every command passes from the next cycle on, the library's
  /// laws and control()'s alike (see SafetyLimits). Until set, the velocity
  /// limits follow setMotionLimits.
  /// @throw std::invalid_argument naming the field for a value that is not
  ///        finite, a negative margin or one that leaves no range, a limit
  ///        not above 0, a box whose lower corner is not below its upper one;
  ///        nothing changes then
  void setSafetyLimits(const SafetyLimits& limits);
  /// The safety limits last set (or the defaults).
  SafetyLimits safetyLimits();

  /// Per-joint limits of motions planned from now on (a running one keeps
  /// its own): defaults and ceilings 2.0 rad/s and 0.5 rad/s².
  /// @param max_velocity six values in (0, 2.0]
  /// @param max_acceleration six values in (0, 0.5]
  /// @throw std::invalid_argument naming the joint; nothing changes then
  void setMotionLimits(const std::vector<double>& max_velocity, const std::vector<double>& max_acceleration);

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace t8
}  // namespace kav
