#pragma once
// The arm's ROS 2 actions over DDS, as ROS 2's Cyclone DDS middleware lays
// them out: <ns>/follow_joint_trajectory (control_msgs/action/
// FollowJointTrajectory) and <ns>/gripper_cmd (control_msgs/action/
// GripperCommand). An action is three services (<name>/_action/send_goal,
// get_result, cancel_goal) and two topics (<name>/_action/feedback and
// <name>/_action/status).

#include <dds/dds.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kav {
namespace t8 {
class InterfacesThread;
}

namespace bridge {

/// Both actions of one arm. Requests are handled on the DDS library's
/// threads; tick() runs the goals from the bridge's action thread.
class ArmActions {
 public:
  /// Creates the actions' endpoints on @p participant under /<ns>/.
  /// @param arm the arm; every call to it is made holding @p arm_mutex
  /// @param gripper_by_position the arm's gripper is driven by position
  ///        (variant 2), not by torque
  /// @param next_service_id gives the "serviceid=" value of each new service
  /// @throw std::runtime_error when an entity cannot be created
  ArmActions(dds_entity_t participant, const std::string& ns, t8::InterfacesThread& arm,
             std::mutex& arm_mutex, bool gripper_by_position,
             const std::function<std::string()>& next_service_id);
  ~ArmActions();
  ArmActions(const ArmActions&) = delete;
  ArmActions& operator=(const ArmActions&) = delete;

  /// Follows the running goals against the measured arm, publishes their
  /// feedback (every call) and ends them when they succeed, violate a
  /// tolerance, stall, come to rest after a cancel or meet a fault.
  void tick();

  /// The readers and writers of the actions (for ros_discovery_info).
  void endpoints(std::vector<dds_entity_t>& readers, std::vector<dds_entity_t>& writers) const;

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace bridge
}  // namespace kav
