#pragma once
// The chain solver's Levenberg-Marquardt iteration for a six-joint chain on
// fixed-size matrices: the restarts of KinematicSolver::solveRobust.

#include <Eigen/Core>
#include <kdl/chain.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainjnttojacsolver.hpp>
#include <kdl/frames.hpp>
#include <kdl/jacobian.hpp>
#include <kdl/jntarray.hpp>

namespace kav {

/// KDL's ChainIkSolverPos_LMA step by step (the same weights, tolerance,
/// damping schedule and stopping rules), with the damped step solved from
/// the 6x6 normal equations instead of a singular value decomposition of a
/// dynamic-size matrix, which takes most of KDL's time per iteration. Four
/// times cheaper per solve (bench_ik); a solve from the same seed can take a
/// slightly different path and end at another solution.
class FixedSizeLma {
 public:
  /// @param chain a chain with six joints; it must outlive this object
  /// @param max_iterations iterations before the solve gives up
  FixedSizeLma(const KDL::Chain& chain, int max_iterations);

  /// Iterates from @p start towards @p target (absolute base coordinates).
  /// @param solution the last accepted iterate
  /// @return true when the weighted pose error fell below the tolerance
  bool solve(const KDL::JntArray& start, const KDL::Frame& target, KDL::JntArray& solution);

 private:
  using Vector6 = Eigen::Matrix<double, 6, 1>;
  using Matrix6 = Eigen::Matrix<double, 6, 6>;

  /// Weighted pose error of @p q: translation, then rotation, as KDL's
  /// diff(reached, target).
  Vector6 weightedError(const KDL::JntArray& q, const KDL::Frame& target);
  /// Weighted Jacobian at @p q, reference point at the end effector.
  Matrix6 weightedJacobian(const KDL::JntArray& q);

  KDL::ChainFkSolverPos_recursive forward_;
  KDL::ChainJntToJacSolver jacobian_solver_;
  KDL::Jacobian jacobian_;
  KDL::JntArray trial_;
  Vector6 weights_;
  int max_iterations_;
};

}  // namespace kav
