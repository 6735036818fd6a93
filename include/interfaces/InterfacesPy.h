#pragma once
/// @file InterfacesPy.h
/// The arm facade for scripting-language bindings: plain numbers and vectors.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kav {
namespace t8 {

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
  /// Brings control back after a reflex or a fault that is not permanent,
  /// in POSITION_CONTROL holding the present pose; blocks while the motors
  /// are checked (about 0.2 s).
  /// @throw std::runtime_error as InterfacesThread::recover
  void recover();

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
};

}  // namespace t8
}  // namespace kav
