#pragma once
// The control law of each arm state, as pure functions: from the feedback,
// the targets and the law's own memory (the set-points) to one command per
// motor. No input or output, no clock, no lock, no allocation.

#include <array>

#include "config/ArmConfig.h"
#include "controller/MotorBus.h"
#include "motion/Motion.h"
#include "typedef/HybridJointTypeDef.h"

namespace kav {
namespace t8 {
namespace laws {

/// What the cycle measured, as loaded at the end of the previous cycle.
struct Feedback {
  std::array<hw_interface::HybridJointStatus, config::kMotors> joints{};
  /// Gravity torque of each arm joint at the measured positions.
  std::array<double, config::kArmJoints> gravity{};
};

/// The laws' memory: the interpolated set-point of each joint, the position
/// actually commanded in the position-holding states, re-synchronised to the
/// measured positions in the limp and damping states.
struct SetPoints {
  std::array<double, config::kMotors> position{};
  /// Takes the measured positions of all seven joints.
  void resync(const Feedback& feedback) {
    for (int i = 0; i < config::kMotors; ++i) position[i] = feedback.joints[i].position;
  }
};

/// Interpolation limits of POSITION_CONTROL and END_CONTROL.
struct Limits {
  double max_acc = config::kMaxAcceleration;
  double max_vel = config::kMaxVelocity;
};

/// The gripper's command from the host.
enum class GripperMode { kPosition = 0, kTorque = 1 };
struct Gripper {
  int variant = 0;  ///< 2 drives the gripper by position
  GripperMode mode = GripperMode::kPosition;
  double zero = 0.0;    ///< the gripper's zero (its measured stop)
  double target = 0.0;  ///< position target relative to the zero
  double torque = 0.0;  ///< torque command in kTorque mode
};

// Arm joints: each law fills commands 0-5 and, where it says so, updates
// the set-points. The gripper's command (index 6) is one of the gripper laws.

/// SOFT: every arm motor limp; set-points follow the measurement.
void soft(const Feedback& feedback, SetPoints& set_points, MotorCommands& commands);
/// PROTECT and every damping hold: damping only.
void protect(const Feedback& feedback, SetPoints& set_points, MotorCommands& commands);
/// G_COMPENSATION: each arm joint carries its gravity torque, no stiffness.
void gravityCompensation(const Feedback& feedback, SetPoints& set_points, MotorCommands& commands);
/// The collision reflex: gravity compensation with PROTECT's damping, no
/// stiffness, so the arm stays up and gives way to a push.
void compliant(const Feedback& feedback, SetPoints& set_points, MotorCommands& commands);
/// GO_HOME: the set-points move toward @p home within the homing limits.
/// @return whether every arm joint is home (within the position and
///         velocity tolerances of its home position)
bool goHome(const Feedback& feedback, const std::array<double, config::kMotors>& home, SetPoints& set_points,
            MotorCommands& commands);
/// POSITION_CONTROL: toward @p targets (clamped to the joint limits) within
/// @p limits, or, while a motion runs, its @p sample as set-point and target.
void positionControl(const Feedback& feedback, const std::array<double, config::kArmJoints>& targets,
                     const motion::JointSample* sample, const Limits& limits, SetPoints& set_points,
                     MotorCommands& commands);
/// END_CONTROL: toward the joint positions @p target that solve the pose
/// (already within the joint limits), with END_CONTROL's gains.
void endControl(const Feedback& feedback, const std::array<double, config::kArmJoints>& target,
                const Limits& limits, SetPoints& set_points, MotorCommands& commands);

/// The gripper following its position target, clamped to
/// config::gripperTargetRange (torque-driven variants through a
/// proportional torque, variant 2 by position), or its torque.
hw_interface::HybridJointCmd gripper(const Feedback& feedback, const Gripper& gripper);
/// The gripper limp.
hw_interface::HybridJointCmd gripperLimp();
/// The start-up's end-stop search: a constant velocity against the stop.
hw_interface::HybridJointCmd gripperSearch(int variant);

/// Whether arm joint @p joint is within the go-home tolerances of @p home.
bool jointHome(const Feedback& feedback, const std::array<double, config::kMotors>& home, int joint);

}  // namespace laws
}  // namespace t8
}  // namespace kav
