#pragma once
// The robot description an arm is brought up with.

#include <kdl/chain.hpp>
#include <string>

namespace kav {
namespace tool {

/// The robot description used when none is given: the shipped file of the
/// installation beside the program, or of the source tree.
std::string defaultDescription();

/// The name of the robot in the description file @p path.
/// @throw std::runtime_error when the file cannot be read as a description
std::string robotName(const std::string& path);

/// The arm's chain from "base_link" to "link6" of the description file
/// @p path, built as the controller builds it.
/// @throw std::runtime_error naming the file when it has no such chain of
///        six joints or cannot be read as a description
KDL::Chain armChain(const std::string& path);

}  // namespace tool
}  // namespace kav
