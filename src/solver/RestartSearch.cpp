#include "solver/RestartSearch.h"

#include <config/ArmConfig.h>

#include <cmath>
#include <limits>
#include <random>

namespace kav {

namespace {

using Clock = std::chrono::steady_clock;

// The tolerances of KinematicDynamicSolver's solver, so that a solution
// from the same seed is the same solution.
constexpr double kEps = 1e-6;
constexpr double kEpsJoints = 1e-15;
constexpr double kTurn = 2.0 * M_PI;

}  // namespace

RestartSearch::RestartSearch(const KDL::Chain& chain)
    : solver_(chain, kEps, kIterations, kEpsJoints),
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
  auto attempt = [&](const KDL::JntArray& from) {
    ++result.attempts;
    if (solver_.CartToJnt(from, target, candidate_) < 0 || !intoLimits(candidate_)) return;
    ++result.solutions;
    const double distance = (candidate_.data - seed.data).norm();
    if (distance < nearest) {
      nearest = distance;
      solution = candidate_;
    }
  };

  attempt(seed);
  std::mt19937_64 random(options.random_seed);
  while (result.solutions < options.max_solutions && Clock::now() < deadline) {
    for (int i = 0; i < config::kArmJoints; ++i) {
      start_(i) =
          std::uniform_real_distribution<double>(config::kJointLower[i], config::kJointUpper[i])(random);
    }
    attempt(start_);
  }
  result.found = result.solutions > 0;
  result.elapsed = Clock::now() - begin;
  return result;
}

}  // namespace kav
