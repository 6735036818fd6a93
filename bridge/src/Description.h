#pragma once
// What the bridge needs from the robot description.

#include <Eigen/Core>
#include <string>

namespace kav {
namespace bridge {

/// The position of the end effector (link6) in the base frame (base_link) of
/// the description at @p urdf_path when every joint is at zero: the offset
/// between the arm's pose coordinates and the description's base frame.
/// @throw std::runtime_error when the file cannot be read or has no such chain
Eigen::Vector3d zeroConfigurationPosition(const std::string& urdf_path);

}  // namespace bridge
}  // namespace kav
