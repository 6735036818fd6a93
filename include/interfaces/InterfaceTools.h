#pragma once
/// @file InterfaceTools.h
/// Kinematics tools for host programs that link the library.

#include <memory>
#include <vector>

namespace kav {
namespace t8 {

/// Forward kinematics with roll-pitch-yaw output, without an arm, a CAN
/// interface or a control thread. Objects are independent of each other.
class InterfacesTools {
 public:
  /// @param flag arm variant number.
  explicit InterfacesTools(int flag);
  ~InterfacesTools();

  /// End-effector pose x, y, z, roll, pitch, yaw of the joint angles
  /// @p joint_pos (joints 1-6, rad; values beyond the sixth are ignored).
  /// @throw std::invalid_argument if @p joint_pos has fewer than six values
  ///        or one of the first six is not finite.
  std::vector<double> ForwardKinematicsRpy(std::vector<double> joint_pos);

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace t8
}  // namespace kav
