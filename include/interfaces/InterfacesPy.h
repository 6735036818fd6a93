#pragma once
/// @file InterfacesPy.h
/// The arm facade for scripting-language bindings: plain numbers and vectors.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "controller/ArmPlatform.h"

namespace kav {
namespace t8 {

struct CycleState;
class CommandStream;

/// A host streaming commands waited in vain: no cycle state came within its
/// timeout, or the stream ended because the host's commands stopped coming.
class StreamTimeout : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// One arm, driven with numbers and vectors of doubles only.
///
/// Joint vectors: entries 0-5 are joints 1-6 in radians, entry 6 the gripper
/// relative to its zero. Poses: seven-vector x, y, z, qw, qx, qy, qz, or
/// six-vector x, y, z, roll, pitch, yaw. Construction brings the arm up
/// (at least 3.55 s); destruction stops it (more than one second).
class InterfacesPy {
 public:
  /// @throw std::runtime_error as InterfacesThread
  InterfacesPy(const std::string& urdf_path, const std::string& can_name, int type);
  /// The same arm on @p platform (see ArmPlatform; sim/Lockstep.h builds one
  /// for a lockstep simulation).
  /// @throw std::runtime_error as InterfacesThread
  InterfacesPy(const std::string& urdf_path, const std::string& can_name, int type, ArmPlatform platform);
  ~InterfacesPy();
  InterfacesPy(const InterfacesPy&) = delete;
  InterfacesPy& operator=(const InterfacesPy&) = delete;

  /// Selects the arm state (SOFT 0 … POSITION_CONTROL 5); true when stored.
  bool set_arm_status(int state);
  /// Joint targets of joints 1-6 (the first six values); true when stored.
  /// @throw std::invalid_argument for fewer than six values or non-finite ones
  bool set_joint_positions(std::vector<double> positions);
  /// End-effector target as x, y, z, qw, qx, qy, qz; the quaternion is
  /// scaled to unit length (isometryFromPoseVector). True when stored.
  /// @throw std::invalid_argument for fewer than seven values, a value that
  ///        is not finite, or a zero quaternion
  bool set_ee_pose(std::vector<double> pose);
  /// Gripper to position mode with @p position; true when stored.
  /// @throw std::invalid_argument when not finite
  bool set_catch(double position);
  /// Positions of joints 1-6 (rad) and the gripper relative to its zero.
  std::vector<double> get_joint_positions();
  /// Velocities of joints 1-6 and the gripper (rad/s).
  std::vector<double> get_joint_velocities();
  /// Currents of joints 1-6 and the gripper (the motors' units).
  std::vector<double> get_joint_currents();
  /// End-effector pose as x, y, z, qw, qx, qy, qz (see poseVectorFromIsometry
  /// in PoseVector.h); set_ee_pose takes the same layout back.
  std::vector<double> get_ee_pose();
  /// End-effector pose as x, y, z, roll, pitch, yaw.
  std::vector<double> get_ee_pose_xyzrpy();
  /// Interpolation limits in thousandths, as InterfacesThread::kav_x: the
  /// acceleration limit @p a / 1000 and the speed limit @p b / 1000, clamped
  /// to [0, 0.5] and [0, 2.0]; @p c is not used.
  /// @throw std::invalid_argument when @p a or @p b is not finite
  void kav_x(double a, double b, double c);
  /// Not supported: returns false. The joints are named "joint1" …
  /// "joint6" and "gripper", in the order of the joint vectors.
  bool get_joint_names();
  /// Selects GO_HOME; returns true.
  bool go_home();
  /// Selects G_COMPENSATION; returns true.
  bool gravity_compensation();
  /// Not supported: returns false.
  bool set_joint_velocities();
  /// False once control has ended on a fault; the setters then throw
  /// std::runtime_error naming it (see InterfacesThread::controlActive).
  bool control_active();
  /// The error codes since construction (see InterfacesThread::getErrorCode).
  std::vector<int> get_error_codes();
  /// Feedback frames each driver dropped (see InterfacesThread::getDroppedFrames).
  std::vector<std::uint64_t> get_dropped_frames();

  /// The arm state number in force (see InterfacesThread::getArmStatus).
  int get_arm_status();

  /// Collisions: see InterfacesThread for the observer, the reflex and
  /// recovery. Joint vectors here have six entries, joints 1-6, in N·m.
  ///
  /// Sets the thresholds from the next cycle on: contact above @p lower, the
  /// reflex above @p upper.
  /// @throw std::invalid_argument as InterfacesThread::setCollisionThresholds,
  ///        the message naming set_collision_thresholds; nothing changes then
  void set_collision_thresholds(const std::vector<double>& lower, const std::vector<double>& upper);
  /// The thresholds in force, lower then upper.
  std::pair<std::vector<double>, std::vector<double>> get_collision_thresholds();
  /// The estimated external torques as of the last cycle.
  std::vector<double> get_external_torques();
  /// Whether the last cycle found a joint above its lower threshold.
  bool contact_detected();
  /// The payload at the flange: @p mass kg, @p centre_of_mass x, y, z in
  /// metres in the flange frame.
  /// @throw std::invalid_argument for a centre that is not three values, or
  ///        as InterfacesThread::setPayload; nothing changes then
  void set_payload(double mass, const std::vector<double>& centre_of_mass);
  /// As InterfacesThread::loadDynamics.
  /// @throw std::invalid_argument as InterfacesThread::loadDynamics; nothing changes then
  void load_dynamics(const std::string& path);
  /// As InterfacesThread::loadPayload.
  /// @throw std::invalid_argument as InterfacesThread::loadPayload; nothing changes then
  void load_payload(const std::string& path);
  /// Brings control back after a reflex or a fault that is not permanent,
  /// in POSITION_CONTROL holding the present pose; blocks while the motors
  /// are checked (about 0.2 s).
  /// @throw std::runtime_error as InterfacesThread::recover
  void recover();
  /// Runs laws::jointImpedance (see controller/UserControl.h) in the control
  /// cycle for @p seconds, blocking meanwhile; the arm then holds where it
  /// is in POSITION_CONTROL.
  /// @param stiffness six values, N·m/rad; @param damping six, N·m·s/rad;
  /// @param target six joint positions, rad
  /// @throw std::invalid_argument naming the argument for a count other than
  ///        six, a value that is not finite, a negative gain, or a duration
  ///        that is not a finite number above 0; nothing runs then
  /// @throw std::runtime_error naming the code when the law is ended (a
  ///        limit, a reflex, a fault; see InterfacesThread::control)
  void run_joint_impedance(const std::vector<double>& stiffness, const std::vector<double>& damping,
                           const std::vector<double>& target, double seconds);
  /// Runs laws::cartesianImpedance toward @p pose (x, y, z, qw, qx, qy, qz,
  /// as get_ee_pose) for @p seconds, as run_joint_impedance.
  /// @param stiffness six values, N/m then N·m/rad; @param damping six,
  ///        N·s/m then N·m·s/rad
  /// @throw as run_joint_impedance, also for a pose that is not seven finite
  ///        values with a non-zero quaternion
  void run_cartesian_impedance(const std::vector<double>& stiffness, const std::vector<double>& damping,
                               const std::vector<double>& pose, double seconds);

  /// Streamed commands (Python's torque_control()): a law of the library's
  /// own runs in the cycle, publishes each cycle's state and applies the
  /// newest command written; once commands come, none for 4 cycles in a
  /// row ends it (code 194, the arm held in damping). Until the first
  /// command the joints get their gravity torques and some damping.
  /// @throw std::logic_error when a stream runs already
  /// @throw std::runtime_error as InterfacesThread::control
  void stream_start();
  /// The next cycle's state after the last one read, waiting up to
  /// @p timeout seconds.
  /// @throw StreamTimeout when none came in time or the
  ///        stream ended for want of commands; std::runtime_error naming the
  ///        reason when it ended otherwise
  void stream_read(double timeout, CycleState& state);
  /// The command of the cycles from the next one on: six values each, in
  /// the units of JointCommand (k_p N·m/rad, k_d N·m·s/rad, rad, rad/s, N·m).
  /// @throw std::invalid_argument naming the argument for a count other
  ///        than six, a value that is not finite or a negative gain
  /// @throw as stream_read once the stream has ended
  void stream_write(const std::vector<double>& k_p, const std::vector<double>& k_d,
                    const std::vector<double>& position, const std::vector<double>& velocity,
                    const std::vector<double>& torque);
  /// Ends the stream; the arm holds where it is in POSITION_CONTROL.
  /// @throw as stream_read when the stream had ended with an error
  void stream_stop();
  /// Cycles of the running (or last) stream that applied no new command.
  std::uint64_t stream_late_cycles();

  /// Motions: see InterfacesThread for what each does.
  ///
  /// Follows a joint trajectory through one point per entry of @p times.
  /// @param positions six positions per point
  /// @param velocities empty (no point has velocities), or one entry per
  ///        point (six values each)
  /// @param accelerations empty, or one entry per point
  /// @param times time_from_start of each point, seconds
  /// @throw std::invalid_argument as InterfacesThread::followJointTrajectory,
  ///        or when the lists do not have one entry per point
  void follow_joint_trajectory(const std::vector<std::vector<double>>& positions,
                               const std::vector<std::vector<double>>& velocities,
                               const std::vector<std::vector<double>>& accelerations,
                               const std::vector<double>& times);
  /// Synchronised point-to-point move to six joint positions.
  /// @throw std::invalid_argument as InterfacesThread::moveJoints
  void move_joints(const std::vector<double>& target, double speed_scale);
  /// Straight line of the end effector to @p pose: seven values x, y, z,
  /// qw, qx, qy, qz (the quaternion scaled to unit length), or sixteen values,
  /// a 4x4 homogeneous matrix row by row.
  /// @param speed m/s
  /// @throw std::invalid_argument as InterfacesThread::moveLinear, or for
  ///        another number of values
  void move_linear(const std::vector<double>& pose, double speed);
  /// True when no motion runs (the last one ended or was stopped).
  bool motion_done();
  /// @return true when the motion is done within @p timeout seconds
  bool wait_motion(double timeout);
  /// Stops the running motion: the set-point comes to rest smoothly.
  void stop_motion();
  /// @throw std::invalid_argument as InterfacesThread::setMotionLimits
  void set_motion_limits(const std::vector<double>& max_velocity,
                         const std::vector<double>& max_acceleration);

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
  // Declared after pimpl: a running stream ends before the arm stops.
  std::unique_ptr<CommandStream> stream_;
};

}  // namespace t8
}  // namespace kav
