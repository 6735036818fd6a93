#include "solver/FixedSizeLma.h"

#include <solver/kinematic_dynamic_solver.h>

#include <Eigen/Cholesky>
#include <algorithm>

namespace kav {

namespace {

// KDL's defaults for ChainIkSolverPos_LMA, and the chain solver's tolerances.
constexpr double kRotationWeight = 0.01;
constexpr double kInitialDamping = 10.0;
constexpr double kEps = KinematicDynamicSolver::kIkTolerance;
constexpr double kEpsJoints = KinematicDynamicSolver::kIkStepTolerance;

}  // namespace

FixedSizeLma::FixedSizeLma(const KDL::Chain& chain, int max_iterations)
    : forward_(chain),
      jacobian_solver_(chain),
      jacobian_(chain.getNrOfJoints()),
      trial_(chain.getNrOfJoints()),
      max_iterations_(max_iterations) {
  weights_ << 1.0, 1.0, 1.0, kRotationWeight, kRotationWeight, kRotationWeight;
}

FixedSizeLma::Vector6 FixedSizeLma::weightedError(const KDL::JntArray& q, const KDL::Frame& target) {
  KDL::Frame reached;
  forward_.JntToCart(q, reached);
  const KDL::Twist twist = KDL::diff(reached, target);
  Vector6 error;
  error << twist.vel.x(), twist.vel.y(), twist.vel.z(), twist.rot.x(), twist.rot.y(), twist.rot.z();
  return weights_.asDiagonal() * error;
}

FixedSizeLma::Matrix6 FixedSizeLma::weightedJacobian(const KDL::JntArray& q) {
  jacobian_solver_.JntToJac(q, jacobian_);
  return weights_.asDiagonal() * Matrix6(jacobian_.data);
}

bool FixedSizeLma::solve(const KDL::JntArray& start, const KDL::Frame& target, KDL::JntArray& solution) {
  solution = start;
  Vector6 error = weightedError(solution, target);
  double error_norm = error.norm();
  if (error_norm < kEps) return true;
  Matrix6 jacobian = weightedJacobian(solution);
  double damping = kInitialDamping;
  double growth = 2.0;
  for (int i = 0; i < max_iterations_; ++i) {
    // (J'J + damping I) step = J'e: KDL solves the same through the singular
    // value decomposition of J.
    Matrix6 normal = jacobian.transpose() * jacobian;
    normal.diagonal().array() += damping;
    const Vector6 gradient = jacobian.transpose() * error;
    const Vector6 step = normal.ldlt().solve(gradient);
    if (step.lpNorm<Eigen::Infinity>() < kEpsJoints) return false;
    if (gradient.squaredNorm() < kEpsJoints * kEpsJoints) return false;

    trial_.data = solution.data + step;
    const Vector6 trial_error = weightedError(trial_, target);
    const double trial_norm = trial_error.norm();
    const double gain =
        (error_norm * error_norm - trial_norm * trial_norm) / step.dot(gradient + damping * step);
    if (gain > 0.0) {
      solution = trial_;
      error = trial_error;
      error_norm = trial_norm;
      if (error_norm < kEps) return true;
      jacobian = weightedJacobian(solution);
      const double t = 2.0 * gain - 1.0;
      damping *= std::max(1.0 / 3.0, 1.0 - t * t * t);
      growth = 2.0;
    } else {
      damping *= growth;
      growth *= 2.0;
    }
  }
  return false;
}

}  // namespace kav
