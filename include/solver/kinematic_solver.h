#pragma once
/// @file kinematic_solver.h
/// Forward and inverse kinematics of the arm on plain arrays of doubles, on
/// the robot description embedded in the library.

#include <chrono>
#include <cstdint>
#include <kdl/jntarray.hpp>
#include <memory>
#include <string>

namespace kav {

/// The arm's URDF robot description (7407 characters), the same text as the
/// file share/urdf/vorlan_v1.1_aa.urdf shipped with the library.
extern std::string urdf_xml_g;

/// The shipped description file (the same text): the installed copy beside
/// the running program (`<prefix>/bin/../share/kav_t8/urdf/`), else the copy
/// in the library's source tree; the first that exists, else the installed
/// path (a reader then reports it missing).
std::string defaultDescriptionPath();

/// Six joint angles: the seed of every inverse kinematics computation of every
/// KinematicSolver in the process, and the last solution found. All zero at
/// load and again whenever a KinematicSolver is constructed. Not locked: use
/// KinematicSolver objects from one thread at a time.
extern KDL::JntArray last_joint_angle_g;

/// How KinematicSolver::solveRobust searches.
struct RobustIkOptions {
  /// Time after which no further restart begins, on the monotonic clock. The
  /// given seed is always tried, and a restart that has begun runs to its end
  /// (a capped number of iterations, a few hundred microseconds at most), so
  /// a call may last that much longer. 0 to 60 s.
  std::chrono::microseconds budget{5000};
  /// Seed of the generator (std::mt19937_64) that draws the restarts' joint
  /// angles; the same seed draws the same restarts, so results repeat.
  std::uint64_t random_seed = 1;
  /// The search ends once it has found this many solutions (or the budget is
  /// spent); it returns the one nearest the given seed. 1 returns the first
  /// solution found; a large number spends the whole budget looking for a
  /// nearer one. At least 1.
  int max_solutions = 1;
};

/// What KinematicSolver::solveRobust did.
struct RobustIkResult {
  bool found = false;                   ///< a solution was written
  int attempts = 0;                     ///< solves run: the given seed, then the restarts
  int solutions = 0;                    ///< solutions found within the joint limits
  std::chrono::nanoseconds elapsed{0};  ///< time the search took (0 when the position is beyond reach)
};

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

  /// Joint angles within the arm's joint limits (config::kJointLower and
  /// kJointUpper) that reach @p target_pose, searched from @p seed first and
  /// then from random joint angles within the limits until a solution is
  /// found or the budget is spent. It never throws for a pose without a
  /// solution and prints nothing; a position beyond the chain's reach
  /// (KinematicDynamicSolver::isOutOfReach) fails at once.
  ///
  /// Every solve is the Levenberg-Marquardt iteration of
  /// computeInverseKinematics with the same tolerance, stopped after 50
  /// iterations instead of 500. A solution from @p seed is therefore exactly
  /// the one computeInverseKinematics returns from that seed whenever that
  /// solve converges within 50 iterations (from a seed within 0.1 rad it
  /// always did in bench_ik) and lies within the limits. A joint angle
  /// outside its limits is moved by a whole turn when that brings it inside
  /// (the same pose); a solution that still leaves a limit is discarded.
  ///
  /// Does not read or write last_joint_angle_g. Not for two threads at once
  /// on one object.
  /// @param target_pose six pose values (read)
  /// @param seed six joint angles to try first (read)
  /// @param joint_angles six joint angles, written only when a solution is found
  /// @param options time budget, generator seed and how many solutions to compare
  /// @return whether a solution was found, and how the search went
  /// @throw std::invalid_argument when a pointer is null, a pose value or a
  ///        seed angle is not finite, or an option is out of range; nothing
  ///        is written.
  RobustIkResult solveRobust(const double* target_pose, const double* seed, double* joint_angles,
                             const RobustIkOptions& options = RobustIkOptions());

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace kav
