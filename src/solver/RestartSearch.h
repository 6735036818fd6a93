#pragma once
// Inverse kinematics that restarts from random joint angles within the arm's
// joint limits: the search behind KinematicSolver::solveRobust.

#include <solver/kinematic_solver.h>

#include <kdl/chain.hpp>
#include <kdl/chainiksolverpos_lma.hpp>
#include <kdl/frames.hpp>
#include <kdl/jntarray.hpp>

#include "solver/FixedSizeLma.h"

namespace kav {

/// Levenberg-Marquardt solves of one six-joint chain from a given seed, then
/// from random seeds within config::kJointLower / kJointUpper, until enough
/// solutions within those limits are found or a time budget is spent. The
/// given seed is solved by the chain solver's own iteration (KDL's
/// ChainIkSolverPos_LMA with its tolerances), so that its solution is the
/// chain solver's; the restarts by the same iteration on fixed-size matrices.
class RestartSearch {
 public:
  /// Iterations of each solve, the given seed's included. From a seed within
  /// 0.1 rad of a solution the chain solver needs at most about 30; from the
  /// zero seed about 99 % of the solves that converge do so within 50; restarts
  /// capped here find solutions within the limits faster than longer ones
  /// (bench_ik, docs/benchmarks.md).
  static constexpr int kIterations = 50;

  /// @param chain the chain to solve; it must outlive this object
  explicit RestartSearch(const KDL::Chain& chain);

  /// Searches joint angles that reach @p target (absolute base coordinates).
  /// @param seed tried first; distances to it choose among the solutions
  /// @param solution written with the solution nearest @p seed, if any
  RobustIkResult solve(const KDL::Frame& target, const KDL::JntArray& seed, const RobustIkOptions& options,
                       KDL::JntArray& solution);

 private:
  /// Moves angles outside their limits by a whole turn where that brings them
  /// inside; false when one stays outside.
  static bool intoLimits(KDL::JntArray& q);

  KDL::ChainIkSolverPos_LMA seed_solver_;
  FixedSizeLma restart_solver_;
  KDL::JntArray start_;
  KDL::JntArray candidate_;
};

}  // namespace kav
