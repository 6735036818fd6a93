#pragma once
// The robot description an arm is brought up with.

#include <string>

namespace kav {
namespace tool {

/// The robot description used when none is given: the shipped file of the
/// installation beside the program, or of the source tree.
std::string defaultDescription();

/// The name of the robot in the description file @p path.
/// @throw std::runtime_error when the file cannot be read as a description
std::string robotName(const std::string& path);

}  // namespace tool
}  // namespace kav
