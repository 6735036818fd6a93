#pragma once
// The arm's side of kav serve: one thread samples the arm through its facade
// at the control rate and publishes /joint_states, /tf, /arm/external_torques,
// /arm/status and /diagnostics; commands from clients on /arm/command reach
// the arm only when they are well-formed and allowed.

#include <config/ArmConfig.h>
#include <interfaces/InterfacesThread.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LiveServer.h"
#include "Recovery.h"

namespace kav {
namespace serve {

/// The channels kav serve advertises, with their JSON schemas.
std::vector<Channel> armChannels();

/// Channel ids of armChannels().
enum ArmChannel : std::uint32_t {
  kJointStates = 1,
  kTransforms = 2,
  kRobotDescription = 3,
  kArmStatus = 4,
  kDiagnostics = 5,
  kExternalTorques = 6,
};

/// The collision thresholds of joints 1-6 the arm runs with, N·m.
struct CollisionThresholds {
  std::array<double, config::kArmJoints> lower{};  ///< contact above them
  std::array<double, config::kArmJoints> upper{};  ///< the reflex above them
};

/// Who may do what on /arm/command.
struct CommandPolicy {
  bool allow_control = false;  ///< commands other than stop are obeyed
  int variant = 0;             ///< the arm variant (the gripper's range)
};

/// Answers one client message: the error for the sender when it was not
/// carried out, a warning naming every target that was clamped to its range,
/// or nothing. recover is handed to @p recovery (its outcome follows later),
/// or refused while one runs; a stop during a recovery follows it.
ClientReply handleClientMessage(const Sender& sender, const std::string& topic, const std::string& encoding,
                                const std::string& payload, const CommandPolicy& policy,
                                t8::InterfacesThread& arm, Recovery& recovery);

/// Samples @p arm and publishes on @p server until destroyed.
class ArmFeed {
 public:
  /// @param description the robot description's text (/robot_description,
  ///        and the links of /tf)
  /// @param thresholds the collision thresholds set on @p arm (/arm/status)
  /// @throw std::runtime_error when the description cannot be parsed
  ArmFeed(t8::InterfacesThread& arm, const std::string& description, const CollisionThresholds& thresholds,
          LiveServer& server);
  ~ArmFeed();
  ArmFeed(const ArmFeed&) = delete;
  ArmFeed& operator=(const ArmFeed&) = delete;

 private:
  class Kinematics;
  void run();

  t8::InterfacesThread& arm_;
  LiveServer& server_;
  std::unique_ptr<Kinematics> kinematics_;
  const CollisionThresholds thresholds_;
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

}  // namespace serve
}  // namespace kav
