#pragma once
// Taught waypoints in a JSON file: the robot's name and, per waypoint, the
// six joint positions and the gripper target.
//
//   {"description": "NAME",
//    "waypoints": [{"joints": [j1, ..., j6], "gripper": g}, ...]}

#include <config/ArmConfig.h>

#include <array>
#include <string>
#include <vector>

namespace kav {
namespace tool {

/// One taught pose: radians, the gripper relative to its zero.
struct Waypoint {
  std::array<double, config::kArmJoints> joints{};
  double gripper = 0.0;
};

/// What a teach session stores.
struct TaughtPath {
  std::string description;  ///< the robot's name in its description
  std::vector<Waypoint> waypoints;
};

/// Writes @p path to @p file (through a temporary file and a rename, so that
/// an existing file is never left half written).
/// @throw std::runtime_error when the file cannot be written
void saveWaypoints(const std::string& file, const TaughtPath& path);

/// Reads and checks a file written by saveWaypoints.
/// @throw std::invalid_argument naming the file, the waypoint and the joint
///        when it cannot be used: not JSON, a key missing, six joints not
///        given, a value not a finite number, a joint outside its limits, no
///        waypoint at all
std::vector<Waypoint> checkedWaypoints(const std::string& file, std::string* description);

}  // namespace tool
}  // namespace kav
