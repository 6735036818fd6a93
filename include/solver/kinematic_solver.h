#pragma once
/// @file kinematic_solver.h
/// Forward and inverse kinematics of the arm on plain arrays of doubles, on
/// the robot description embedded in the library.

#include <kdl/jntarray.hpp>
#include <memory>
#include <string>

namespace kav {

/// The arm's URDF robot description (7407 characters), the same text as the
/// file share/urdf/vorlan_v1.1_aa.urdf shipped with the library.
extern std::string urdf_xml_g;

/// Six joint angles: the seed of every inverse kinematics computation of every
/// KinematicSolver in the process, and the last solution found. All zero at
/// load and again whenever a KinematicSolver is constructed. Not locked: use
/// KinematicSolver objects from one thread at a time.
extern KDL::JntArray last_joint_angle_g;

/// Kinematics of the arm described by urdf_xml_g, chain "base_link" to "link6".
///
/// Pose arrays hold x, y, z in metres, relative to the end-effector position at
/// the zero configuration, followed by roll, pitch, yaw in radians with
/// rotation Rz(yaw)·Ry(pitch)·Rx(roll). Joint arrays hold six angles in
/// radians, joint 1 first.
class KinematicSolver {
 public:
  /// Builds the solver on the embedded description and resets
  /// last_joint_angle_g to zero.
  /// @throw std::runtime_error only if the embedded description is broken.
  KinematicSolver();
  ~KinematicSolver();

  KinematicSolver(const KinematicSolver&) = delete;
  KinematicSolver& operator=(const KinematicSolver&) = delete;

  /// Writes the end-effector pose for six joint angles.
  /// @param joint_angles six joint angles (read)
  /// @param end_effector_pose six pose values (written)
  /// @throw std::invalid_argument when a pointer is null or an angle is not
  ///        finite; nothing is written.
  void computeForwardKinematics(const double* joint_angles, double* end_effector_pose);

  /// Writes joint angles that reach @p target_pose, found from
  /// last_joint_angle_g, and stores them in last_joint_angle_g.
  /// @param target_pose six pose values (read)
  /// @param joint_angles six joint angles (written)
  /// @throw std::invalid_argument when a pointer is null or a pose value is
  ///        not finite; std::runtime_error "Inverse kinematics computation
  ///        failed" when no solution is found. In both cases neither
  ///        @p joint_angles nor last_joint_angle_g changes.
  void computeInverseKinematics(const double* target_pose, double* joint_angles);

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace kav
