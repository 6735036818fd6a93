#pragma once
/// @file tools.h
/// Forward kinematics of the arm without an arm: joint angles in, end
/// effector pose out, from the analytic DH model.

#include <vector>

namespace kav {
namespace t8 {

/// Computes the end-effector pose of six joint angles with the analytic
/// forward kinematics kav::solve::q7_fk. Holds no state besides the arm
/// variant it was built for; every call is independent.
class Tools {
 public:
  /// @param type arm variant number; stored, the kinematics do not depend on it.
  explicit Tools(int type);

  /// End-effector pose of the joints @p joint_pos.
  /// @param joint_pos angles of joints 1-6 in radians, arm convention; values
  ///        beyond the sixth are ignored.
  /// @return x, y, z (m, relative to the end point at all-zero joints) and
  ///         roll, pitch, yaw (rad) of the tool frame.
  /// @throw std::invalid_argument if @p joint_pos has fewer than six values
  ///        or one of the first six is not finite.
  std::vector<double> forwardKinematicsRPY(std::vector<double> joint_pos);

 private:
  [[maybe_unused]] int type_;  // kept for the variant; the kinematics do not read it
};

}  // namespace t8
}  // namespace kav
