#include "solver/RestartSearch.h"

#include <config/ArmConfig.h>
#include <solver/kinematic_dynamic_solver.h>

#include <cmath>
#include <limits>
#include <random>

namespace kav {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kTurn = 2.0 * M_PI;

}  // namespace

RestartSearch::RestartSearch(const KDL::Chain& chain)
    // The chain solver's tolerances: from the same seed, the same solution.
    : seed_solver_(chain, KinematicDynamicSolver::kIkTolerance, kIterations,
                   KinematicDynamicSolver::kIkStepTolerance),
      restart_solver_(chain, kIterations),
      start_(chain.getNrOfJoints()),
      candidate_(chain.getNrOfJoints()) {}

bool RestartSearch::intoLimits(KDL::JntArray& q) {
  for (int i = 0; i < config::kArmJoints; ++i) {
    const double lower = config::kJointLower[i];
    const double upper = config::kJointUpper[i];
    double angle = q(i);
    if (angle < lower || angle > upper) {
      angle += kTurn * std::round((0.5 * (lower + upper) - angle) / kTurn);
      if (angle < lower || angle > upper) return false;
      q(i) = angle;
    }
  }
  return true;
}

RobustIkResult RestartSearch::solve(const KDL::Frame& target, const KDL::JntArray& seed,
                                    const RobustIkOptions& options, KDL::JntArray& solution) {
  const auto begin = Clock::now();
  const auto deadline = begin + options.budget;
  RobustIkResult result;
  double nearest = std::numeric_limits<double>::infinity();
  // Counts and keeps the candidate when it converged within the limits.
  auto consider = [&](bool converged) {
    ++result.attempts;
    if (!converged || !intoLimits(candidate_)) return;
    ++result.solutions;
    const double distance = (candidate_.data - seed.data).norm();
    if (distance < nearest) {
      nearest = distance;
      solution = candidate_;
    }
  };

  consider(seed_solver_.CartToJnt(seed, target, candidate_) >= 0);
  std::mt19937_64 random(options.random_seed);
  while (result.solutions < options.max_solutions && Clock::now() < deadline) {
    for (int i = 0; i < config::kArmJoints; ++i) {
      start_(i) =
          std::uniform_real_distribution<double>(config::kJointLower[i], config::kJointUpper[i])(random);
    }
    consider(restart_solver_.solve(start_, target, candidate_));
  }
  result.found = result.solutions > 0;
  result.elapsed = Clock::now() - begin;
  return result;
}

}  // namespace kav
