#pragma once
/// @file InterfacesThread.h
/// The native facade through which a host program drives one arm.

#include <Eigen/Geometry>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
/// wrist motor reported itself disabled.
class InterfacesThread {
 public:
  /// @param urdf_path robot description file (chain "base_link" to "link6")
  /// @param can_name "can0", or a local-socket bus "unix:/path" / "unix:@name"
  /// @param type arm variant (2 drives the gripper by position)
  /// @throw std::runtime_error when the description cannot be used, the bus
  ///        cannot be opened, another host drives the arm on that bus, a
  ///        motor never answers during the start-up, a thread cannot be
  ///        started, or the arm does not reach home within 30 s
  InterfacesThread(const std::string& urdf_path, const std::string& can_name, int type);
  ~InterfacesThread();
  InterfacesThread(const InterfacesThread&) = delete;
  InterfacesThread& operator=(const InterfacesThread&) = delete;

  /// Position, velocity, current of joints 1-6 and the gripper.
  std::vector<hw_interface::HybridJointStatus> getJointStatus();
  /// Joint positions in radians; entry 6 is the gripper relative to its zero.
  std::vector<double> getJointPositons();
  std::vector<double> getJointVelocities();
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
  /// Gripper to position mode, target relative to the gripper zero.
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
  /// False once control has ended on a fault (over-current, a motor fault,
  /// a failed cycle): the arm is held in damping, every setter throws
  /// std::runtime_error naming the first fault (code and message), and the
  /// getters return the last values received before the end.
  bool controlActive();
  /// Feedback frames each motor's driver dropped as malformed (a length
  /// other than 8) or implausible (a position jump of more than 1 rad),
  /// joints 1-6 and the gripper.
  std::vector<std::uint64_t> getDroppedFrames();

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace t8
}  // namespace kav
