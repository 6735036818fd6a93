#pragma once
/// @file Bridge.h
/// One arm on the network as ROS 2 topics, over DDS.

#include <cstdint>
#include <memory>
#include <string>

namespace kav {
namespace t8 {
class InterfacesThread;
}

namespace bridge {

/// What a bridge serves and where.
struct BridgeOptions {
  /// Topic namespace: the topics are /NS/joint_states and so on. One or more
  /// segments of letters, digits and underscores (not starting with a digit),
  /// separated by '/'; leading and trailing '/' are ignored.
  std::string ns = "kav";
  /// DDS domain, as ROS_DOMAIN_ID: 0-232.
  std::uint32_t domain = 0;
  /// Joint states and end-effector poses per second: above 0, at most 200.
  double rate_hz = 200.0;
  /// The bus name, reported as the hardware id of the diagnostics.
  std::string hardware_id;
  /// The robot description the arm was brought up with; the end-effector pose
  /// is published in its base frame.
  std::string urdf_path;
  /// The node's name on the ROS 2 graph (in the namespace): letters, digits
  /// and underscores, not starting with a digit.
  std::string node_name = "kav_bridge";
  /// The ROS 2 distribution whose graph layout ros_discovery_info follows:
  /// "humble" (24-byte gids) or "jazzy" (16-byte gids, also Iron and later).
  std::string ros_distro = "jazzy";
  /// Put in front of every TF frame name ("" keeps the description's names).
  std::string frame_prefix;
  /// The arm variant the arm was brought up with (2: the gripper is driven by
  /// position; otherwise by torque).
  int arm_type = 0;
};

/// Checks @p options without touching an arm or the network.
/// @param options the options to check (the description is read later)
/// @throw std::invalid_argument naming the namespace, domain, rate, node name
///        or ROS 2 distribution that cannot be used
void checkOptions(const BridgeOptions& options);

/// Serves one arm on a DDS domain with ROS 2's topic names, types and
/// encoding, until destroyed.
///
/// Published: /NS/joint_states (sensor_msgs/JointState),
/// /NS/external_torques (sensor_msgs/JointState: the observer's external
/// torques of joints 1-6 as effort), /NS/ee_pose (geometry_msgs/PoseStamped),
/// /NS/arm_state (std_msgs/Int32, on change, transient local) and
/// /diagnostics (diagnostic_msgs/DiagnosticArray, 1 Hz, on every new error
/// code and after every recover request). Subscribed: /NS/joint_command
/// (trajectory_msgs/JointTrajectory), /NS/target_pose
/// (geometry_msgs/PoseStamped), /NS/gripper_command
/// (control_msgs/GripperCommand), /NS/set_arm_state (std_msgs/Int32),
/// /NS/recover (std_msgs/Empty: InterfacesThread::recover, run on the bridge
/// thread). A command that cannot be used is dropped and counted; it never
/// reaches the arm.
///
/// As a ROS 2 node (options.node_name in /NS, announced on
/// ros_discovery_info) it also serves the actions /NS/follow_joint_trajectory
/// (control_msgs/action/FollowJointTrajectory) and /NS/gripper_cmd
/// (control_msgs/action/GripperCommand), and publishes /NS/robot_description
/// (std_msgs/String, transient local), /tf (each movable link from its parent,
/// from the measured joints, 100 Hz) and /tf_static (fixed joints). See
/// docs/ros2.md.
///
/// A bridge thread at normal priority reads the arm through its facade at the
/// rate and publishes; commands are handed to the facade's setters from the
/// DDS library's receive threads. Both go through one lock of the bridge's own,
/// so the facade sees one caller at a time; the control thread never waits for
/// the bridge beyond the facade's own short copies.
class Bridge {
 public:
  /// Creates the DDS entities and starts the bridge thread.
  /// @param arm the arm to serve; it must outlive the bridge
  /// @param options namespace, domain, rate, hardware id and description
  /// @throw std::invalid_argument when an option is unusable (the message
  ///        names it)
  /// @throw std::runtime_error when the description cannot be read or a DDS
  ///        entity cannot be created
  Bridge(t8::InterfacesThread& arm, const BridgeOptions& options);
  /// Stops the bridge thread and leaves the domain; the arm is left as it is.
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  /// Commands dropped as malformed since the start.
  std::uint64_t droppedCommands() const;

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace bridge
}  // namespace kav
