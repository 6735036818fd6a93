#include "Commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "config/ArmConfig.h"

namespace kav {
namespace bridge {

const std::array<std::string, 7> kJointNames{"joint1", "joint2", "joint3", "joint4",
                                             "joint5", "joint6", "gripper"};

namespace {

constexpr int kArmJoints = config::kArmJoints;

void requireFinite(double value, const std::string& what) {
  if (!std::isfinite(value)) throw std::invalid_argument(what + " is not finite");
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

void noteClamped(const std::string& name, double value, double low, double high, std::string& notes) {
  if (value >= low && value <= high) return;
  if (!notes.empty()) notes += "; ";
  notes += name + " target " + number(value) + " is outside [" + number(low) + ", " + number(high) +
           "], clamped to " + number(value < low ? low : high);
}

}  // namespace

std::array<int, kArmJoints> jointOrder(const dds_sequence_string& names, const std::string& context) {
  if (names._length != kArmJoints) {
    throw JointNamesError(context + "expected the 6 joint names joint1..joint6, got " +
                          std::to_string(names._length) + " names");
  }
  std::array<int, kArmJoints> order;
  order.fill(-1);
  for (int i = 0; i < kArmJoints; ++i) {
    const std::string name = names._buffer[i] != nullptr ? names._buffer[i] : "";
    const auto known = std::find(kJointNames.begin(), kJointNames.begin() + kArmJoints, name);
    if (known == kJointNames.begin() + kArmJoints) {
      throw JointNamesError(context + "unknown joint name '" + name + "'");
    }
    const auto joint = known - kJointNames.begin();
    if (order[joint] != -1) throw JointNamesError(context + "joint name '" + name + "' repeated");
    order[joint] = i;
  }
  return order;
}

std::vector<double> jointValues(const dds_sequence_double& values, const std::array<int, kArmJoints>& order,
                                bool required, const std::string& what) {
  if (values._length == 0 && !required) return {};
  if (values._length != kArmJoints) {
    throw std::invalid_argument(what + " has " + std::to_string(values._length) + " values, expected 6" +
                                (required ? "" : " or none"));
  }
  std::vector<double> result(kArmJoints);
  for (int joint = 0; joint < kArmJoints; ++joint) {
    const double value = values._buffer[order[joint]];
    if (!std::isfinite(value))
      throw std::invalid_argument(what + " of " + kJointNames[joint] + " is not finite");
    result[joint] = value;
  }
  return result;
}

double durationSeconds(const builtin_interfaces_msg_dds__Duration_& duration, const std::string& what) {
  if (duration.sec < 0 || duration.nanosec >= 1000000000u) {
    throw std::invalid_argument(what + " is not a valid non-negative duration");
  }
  return duration.sec + duration.nanosec * 1e-9;
}

JointCommand parseJointCommand(const trajectory_msgs_msg_dds__JointTrajectory_& message) {
  const std::string context = "joint_command: ";
  const auto order = jointOrder(message.joint_names, context);
  if (message.points._length == 0) throw std::invalid_argument("joint_command: no points");
  JointCommand command;
  for (std::uint32_t p = 0; p < message.points._length; ++p) {
    const auto& point = message.points._buffer[p];
    const std::string which = "point " + std::to_string(p);
    motion::TrajectoryPoint sample;
    sample.positions = jointValues(point.positions, order, true, context + which + " positions");
    sample.velocities = jointValues(point.velocities, order, false, context + which + " velocities");
    sample.accelerations = jointValues(point.accelerations, order, false, context + which + " accelerations");
    jointValues(point.effort, order, false, context + which + " effort");
    sample.time_from_start = durationSeconds(point.time_from_start, context + which + " time_from_start");
    command.points.push_back(std::move(sample));
  }
  command.streamed = command.points.size() == 1 && command.points.front().time_from_start == 0.0;
  return command;
}

Eigen::Isometry3d parseTargetPose(const geometry_msgs_msg_dds__PoseStamped_& message,
                                  const Eigen::Vector3d& zero_position) {
  const std::string frame = message.header.frame_id != nullptr ? message.header.frame_id : "";
  if (!frame.empty() && frame != "base_link") {
    throw std::invalid_argument("target_pose: frame_id '" + frame + "' is not base_link");
  }
  const auto& p = message.pose.position;
  const auto& o = message.pose.orientation;
  for (double value : {p.x, p.y, p.z}) requireFinite(value, "target_pose: a position value");
  for (double value : {o.x, o.y, o.z, o.w}) requireFinite(value, "target_pose: a quaternion value");
  Eigen::Quaterniond rotation(o.w, o.x, o.y, o.z);
  if (rotation.norm() < 1e-6) throw std::invalid_argument("target_pose: the quaternion has zero length");
  rotation.normalize();
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.linear() = rotation.toRotationMatrix();
  pose.translation() = Eigen::Vector3d(p.x, p.y, p.z) - zero_position;
  return pose;
}

double parseGripperCommand(const control_msgs_msg_dds__GripperCommand_& message) {
  requireFinite(message.position, "gripper_command: position");
  return message.position;
}

std::string clampedJointTargets(const std::vector<double>& positions) {
  std::string notes;
  for (int joint = 0; joint < kArmJoints && joint < static_cast<int>(positions.size()); ++joint) {
    noteClamped(kJointNames[joint], positions[joint], config::kJointLower[joint], config::kJointUpper[joint],
                notes);
  }
  return notes;
}

std::string clampedGripperTarget(double position, int arm_type) {
  const std::array<double, 2> range = config::gripperTargetRange(arm_type);
  std::string notes;
  noteClamped(kJointNames[config::kGripper], position, range[0], range[1], notes);
  return notes;
}

int parseArmState(const std_msgs_msg_dds__Int32_& message) {
  if (message.data < 0 || message.data > 5) {
    throw std::invalid_argument("set_arm_state: " + std::to_string(message.data) + " is not a state (0-5)");
  }
  return message.data;
}

}  // namespace bridge
}  // namespace kav
