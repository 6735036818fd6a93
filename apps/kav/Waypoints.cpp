#include "Waypoints.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "BusDecoder.h"

namespace kav {
namespace tool {

namespace {

using nlohmann::json;

double finiteNumber(const json& value, const std::string& where) {
  if (!value.is_number()) throw std::invalid_argument(where + " is not a number");
  const double number = value.get<double>();
  if (!std::isfinite(number)) throw std::invalid_argument(where + " is not finite");
  return number;
}

// The gripper's targets: the torque-driven range or variant 2's, whichever.
constexpr double kGripperLowest =
    std::min(config::kJointLower[config::kGripper], config::kGripperVariant2Lower);
constexpr double kGripperHighest =
    std::max(config::kJointUpper[config::kGripper], config::kGripperVariant2Upper);

Waypoint waypointOf(const json& entry, const std::string& where) {
  if (!entry.is_object() || !entry.contains("joints") || !entry.contains("gripper")) {
    throw std::invalid_argument(where + " needs \"joints\" and \"gripper\"");
  }
  const json& joints = entry["joints"];
  if (!joints.is_array() || joints.size() != config::kArmJoints) {
    throw std::invalid_argument(where + " needs 6 joint positions");
  }
  Waypoint waypoint;
  for (int j = 0; j < config::kArmJoints; ++j) {
    const std::string joint = where + " " + jointName(j);
    const double q = finiteNumber(joints[j], joint);
    if (q < config::kJointLower[j] || q > config::kJointUpper[j]) {
      throw std::invalid_argument(joint + " = " + std::to_string(q) + " lies outside its limits " +
                                  std::to_string(config::kJointLower[j]) + " to " +
                                  std::to_string(config::kJointUpper[j]));
    }
    waypoint.joints[j] = q;
  }
  waypoint.gripper = finiteNumber(entry["gripper"], where + " gripper");
  if (waypoint.gripper < kGripperLowest || waypoint.gripper > kGripperHighest) {
    throw std::invalid_argument(where + " gripper lies outside " + std::to_string(kGripperLowest) + " to " +
                                std::to_string(kGripperHighest));
  }
  return waypoint;
}

}  // namespace

void saveWaypoints(const std::string& file, const TaughtPath& path) {
  json waypoints = json::array();
  for (const Waypoint& waypoint : path.waypoints) {
    waypoints.push_back({{"joints", waypoint.joints}, {"gripper", waypoint.gripper}});
  }
  const json document{{"description", path.description}, {"waypoints", waypoints}};
  const std::string temporary = file + ".part";
  {
    std::ofstream out(temporary);
    out << document.dump(2) << "\n";
    out.close();
    if (!out) throw std::runtime_error("cannot write " + temporary);
  }
  if (std::rename(temporary.c_str(), file.c_str()) != 0) {
    throw std::runtime_error("cannot rename " + temporary + " to " + file);
  }
}

std::vector<Waypoint> checkedWaypoints(const std::string& file, std::string* description) {
  std::ifstream in(file);
  if (!in) throw std::invalid_argument("cannot read " + file);
  const json document = json::parse(in, nullptr, false);
  if (document.is_discarded()) throw std::invalid_argument(file + " is not JSON");
  if (!document.is_object() || !document.contains("waypoints") || !document["waypoints"].is_array() ||
      !document.contains("description") || !document["description"].is_string()) {
    throw std::invalid_argument(file + " needs \"description\" (text) and \"waypoints\" (a list)");
  }
  std::vector<Waypoint> waypoints;
  for (std::size_t i = 0; i < document["waypoints"].size(); ++i) {
    waypoints.push_back(waypointOf(document["waypoints"][i], file + ": waypoint " + std::to_string(i + 1)));
  }
  if (waypoints.empty()) throw std::invalid_argument(file + " holds no waypoint");
  *description = document["description"].get<std::string>();
  return waypoints;
}

}  // namespace tool
}  // namespace kav
