#pragma once
// Incoming ROS 2 commands checked and turned into the facade's values. Every
// function throws std::invalid_argument, saying what was wrong, for a message
// that must not reach the arm.

#include <Eigen/Geometry>
#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "control_msgs.h"
#include "geometry_msgs.h"
#include "motion/Motion.h"
#include "std_msgs.h"
#include "trajectory_msgs.h"

namespace kav {
namespace bridge {

/// Joint names on the topics: the six arm joints, then the gripper.
extern const std::array<std::string, 7> kJointNames;

/// Joint names that are not a permutation of joint1..joint6.
class JointNamesError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

/// For each arm joint, the index of its value in @p names, which must be a
/// permutation of joint1..joint6.
/// @param context put in front of the message ("joint_command: ")
/// @throw JointNamesError saying which name is unknown, repeated or missing
std::array<int, 6> jointOrder(const dds_sequence_string& names, const std::string& context);

/// The values of one field of a point in joint order (@p order from
/// jointOrder); an empty field stays empty unless @p required.
/// @throw std::invalid_argument for another count or a value that is not finite
std::vector<double> jointValues(const dds_sequence_double& values, const std::array<int, 6>& order,
                                bool required, const std::string& what);

/// @p duration in seconds.
/// @throw std::invalid_argument, naming @p what, for a negative duration or nanosec >= 1e9
double durationSeconds(const builtin_interfaces_msg_dds__Duration_& duration, const std::string& what);

/// A joint command: a streamed target (one point at time 0) or a trajectory.
struct JointCommand {
  bool streamed = false;
  std::vector<motion::TrajectoryPoint> points;  ///< in joint order; one point when streamed
};

/// Checks a JointTrajectory and reorders its points into joint order: the
/// joint names are a permutation of joint1..joint6; every point has six finite
/// positions, and no or six finite velocities, accelerations and efforts
/// (efforts are not used); times are valid durations.
JointCommand parseJointCommand(const trajectory_msgs_msg_dds__JointTrajectory_& message);

/// Checks a target pose in the description's base frame ("base_link", or an
/// empty frame id) and returns it in the facade's coordinates: the position
/// less @p zero_position (the end effector's position in the zero
/// configuration), the orientation normalised. A quaternion of (near) zero
/// length or a value that is not finite is refused.
Eigen::Isometry3d parseTargetPose(const geometry_msgs_msg_dds__PoseStamped_& message,
                                  const Eigen::Vector3d& zero_position);

/// The gripper position of a GripperCommand (max_effort is not used).
double parseGripperCommand(const control_msgs_msg_dds__GripperCommand_& message);

/// What the arm's laws make of a streamed joint target: one note per joint
/// whose value lies outside its limits, naming the joint, the value, the
/// limits and the value it is clamped to ("; " between notes); empty when
/// every value lies within.
/// @param positions six positions in joint order
std::string clampedJointTargets(const std::vector<double>& positions);

/// The same for a gripper target, against config::gripperTargetRange.
/// @param arm_type the arm variant
std::string clampedGripperTarget(double position, int arm_type);

/// The arm state of a set_arm_state message: 0-5.
int parseArmState(const std_msgs_msg_dds__Int32_& message);

}  // namespace bridge
}  // namespace kav
