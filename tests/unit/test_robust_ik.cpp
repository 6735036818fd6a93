#include <config/ArmConfig.h>
#include <gtest/gtest.h>
#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>

#include <array>
#include <chrono>
#include <cmath>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainiksolverpos_lma.hpp>
#include <limits>
#include <random>
#include <stdexcept>

#include "../../src/solver/FixedSizeLma.h"

namespace {

using kav::KinematicSolver;
using kav::RobustIkOptions;
using kav::RobustIkResult;
using Six = std::array<double, 6>;
using std::chrono::milliseconds;

// Poses that bench_ik and a search over random joint angles found: the
// chain solver fails from the zero seed on the first; on the second, from
// the zero seed, the first solution the restarts find is not the nearest.
constexpr Six kMissedFromZero{-2.7622955136162854, 2.6685122342353784,  2.2902160737938533,
                              0.64560163379070312, 0.33267728014081244, 1.6209525409160415};
constexpr Six kSeveralSolutions{0.65250835537411689,     3.2442488720186251, 0.33638973687246843,
                                -1.2306669766370959e-05, 1.4665461107492215, -1.2135293513005103};
// Joint 2 far below its limit: inside the reach, no solution within the limits.
constexpr Six kOnlyOutsideTheLimits{0.0, -1.2, 0.0, 0.0, 0.0, 0.0};
constexpr Six kZero{};

Six forward(KinematicSolver& solver, const Six& q) {
  Six pose{};
  solver.computeForwardKinematics(q.data(), pose.data());
  return pose;
}

double distance(const Six& a, const Six& b) {
  double sum = 0.0;
  for (int i = 0; i < 6; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum);
}

RobustIkOptions options(milliseconds budget, int max_solutions = 1, std::uint64_t random_seed = 1) {
  RobustIkOptions o;
  o.budget = budget;
  o.max_solutions = max_solutions;
  o.random_seed = random_seed;
  return o;
}

// The solution reaches the pose within the solver's tolerance and lies
// within the joint limits.
void expectSolves(KinematicSolver& solver, const Six& joints, const Six& pose) {
  const Six reached = forward(solver, joints);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(reached[i], pose[i], 1e-5) << "position " << i;
  const KDL::Rotation wanted = KDL::Rotation::RPY(pose[3], pose[4], pose[5]);
  const KDL::Rotation got = KDL::Rotation::RPY(reached[3], reached[4], reached[5]);
  KDL::Vector axis;
  EXPECT_LT((wanted.Inverse() * got).GetRotAngle(axis), 1e-3);
  for (int i = 0; i < 6; ++i) {
    EXPECT_GE(joints[i], kav::config::kJointLower[i]) << "joint " << i;
    EXPECT_LE(joints[i], kav::config::kJointUpper[i]) << "joint " << i;
  }
}

// The restarts' iteration stops only where the chain solver's own test
// (KDL's, run for zero iterations) agrees that the pose is reached.
TEST(RobustIk, RestartSolutionsPassTheChainSolversOwnTolerance) {
  kav::KinematicDynamicSolver chain(kav::urdf_xml_g);
  kav::FixedSizeLma restart(chain.chain(), 50);
  KDL::ChainIkSolverPos_LMA check(chain.chain(), kav::KinematicDynamicSolver::kIkTolerance, 0,
                                  kav::KinematicDynamicSolver::kIkStepTolerance);
  KDL::ChainFkSolverPos_recursive forward(chain.chain());
  std::mt19937_64 random(5);
  std::uniform_real_distribution<double> angle(-1.5, 1.5);
  int converged = 0;
  for (int n = 0; n < 200; ++n) {
    KDL::JntArray q(6), start(6), solution(6), checked(6);
    for (int i = 0; i < 6; ++i) {
      q(i) = angle(random);
      start(i) = angle(random);
    }
    KDL::Frame target;
    forward.JntToCart(q, target);
    if (!restart.solve(start, target, solution)) continue;
    ++converged;
    EXPECT_EQ(check.CartToJnt(solution, target, checked), 0) << "pose " << n;
  }
  EXPECT_GT(converged, 100);
}

TEST(RobustIk, SolvesAPoseThatThePlainSolverMissesFromTheZeroSeed) {
  KinematicSolver solver;
  const Six pose = forward(solver, kMissedFromZero);
  Six plain{};
  EXPECT_THROW(solver.computeInverseKinematics(pose.data(), plain.data()), std::runtime_error);

  Six joints{};
  const RobustIkResult result =
      solver.solveRobust(pose.data(), kZero.data(), joints.data(), options(milliseconds(2000)));
  ASSERT_TRUE(result.found);
  EXPECT_GT(result.attempts, 1);
  expectSolves(solver, joints, pose);
  // The shared seed of computeInverseKinematics is neither read nor written.
  for (int i = 0; i < 6; ++i) EXPECT_EQ(kav::last_joint_angle_g(i), 0.0);
}

TEST(RobustIk, FromANearbySeedItIsThePlainSolversSolution) {
  KinematicSolver solver;
  kav::KinematicDynamicSolver chain(kav::urdf_xml_g);
  const Six q{0.4, 1.2, 1.0, 0.3, -0.5, 0.9};
  const Six pose = forward(solver, q);
  Six seed{};
  KDL::JntArray guess(6);
  for (int i = 0; i < 6; ++i) guess(i) = seed[i] = q[i] + (i % 2 ? -0.08 : 0.08);
  KDL::Frame target(KDL::Rotation::RPY(pose[3], pose[4], pose[5]), KDL::Vector(pose[0], pose[1], pose[2]));
  const KDL::JntArray plain = chain.computeInverseKinematics(target, guess);

  Six joints{};
  const RobustIkResult result = solver.solveRobust(pose.data(), seed.data(), joints.data());
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.attempts, 1);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(joints[i], plain(i)) << "joint " << i;
}

TEST(RobustIk, ReturnsTheNearestOfTheSolutionsItFound) {
  KinematicSolver solver;
  const Six pose = forward(solver, kSeveralSolutions);
  Six first{}, nearest{};
  const RobustIkResult one =
      solver.solveRobust(pose.data(), kZero.data(), first.data(), options(milliseconds(20000)));
  const RobustIkResult many =
      solver.solveRobust(pose.data(), kZero.data(), nearest.data(), options(milliseconds(20000), 8));
  ASSERT_TRUE(one.found);
  ASSERT_TRUE(many.found);
  EXPECT_EQ(one.solutions, 1);
  EXPECT_EQ(many.solutions, 8);
  expectSolves(solver, nearest, pose);
  EXPECT_LT(distance(nearest, kZero), distance(first, kZero) - 0.1);
  // No search with other restarts finds a nearer one.
  for (std::uint64_t random_seed = 2; random_seed <= 6; ++random_seed) {
    Six other{};
    ASSERT_TRUE(solver
                    .solveRobust(pose.data(), kZero.data(), other.data(),
                                 options(milliseconds(20000), 1, random_seed))
                    .found);
    EXPECT_LE(distance(nearest, kZero), distance(other, kZero) + 1e-9) << "random seed " << random_seed;
  }
}

TEST(RobustIk, RepeatsItsResultWithTheDefaultGeneratorSeed) {
  KinematicSolver solver;
  const Six pose = forward(solver, kSeveralSolutions);
  RobustIkOptions generous;  // the default generator seed, time enough to find a solution
  generous.budget = milliseconds(2000);
  Six a{}, b{};
  const RobustIkResult first = solver.solveRobust(pose.data(), kZero.data(), a.data(), generous);
  const RobustIkResult second = solver.solveRobust(pose.data(), kZero.data(), b.data(), generous);
  ASSERT_TRUE(first.found);
  EXPECT_GT(first.attempts, 2);  // restarts were drawn
  EXPECT_EQ(second.attempts, first.attempts);
  EXPECT_EQ(a, b);
}

TEST(RobustIk, WithoutASolutionItSpendsTheBudgetAndWritesNothing) {
  KinematicSolver solver;
  const Six pose = forward(solver, kOnlyOutsideTheLimits);
  const Six untouched{9, 9, 9, 9, 9, 9};
  Six joints = untouched;
  const RobustIkResult spent =
      solver.solveRobust(pose.data(), kZero.data(), joints.data(), options(milliseconds(30)));
  EXPECT_FALSE(spent.found);
  EXPECT_EQ(spent.solutions, 0);
  EXPECT_GT(spent.attempts, 1);
  EXPECT_GE(spent.elapsed, milliseconds(30));
  EXPECT_LT(spent.elapsed, milliseconds(1000));  // one restart at most beyond the budget
  EXPECT_EQ(joints, untouched);

  // A zero budget tries the given seed only.
  EXPECT_EQ(solver.solveRobust(pose.data(), kZero.data(), joints.data(), options(milliseconds(0))).attempts,
            1);
  // A position beyond the arm's reach is refused without a solve.
  const Six far{2.0, 0, 0, 0, 0, 0};
  const RobustIkResult refused = solver.solveRobust(far.data(), kZero.data(), joints.data());
  EXPECT_FALSE(refused.found);
  EXPECT_EQ(refused.attempts, 0);
  EXPECT_EQ(joints, untouched);
}

TEST(RobustIk, RefusesUnusableInput) {
  KinematicSolver solver;
  const Six pose = forward(solver, kMissedFromZero);
  Six nan_seed{};
  nan_seed[2] = std::numeric_limits<double>::quiet_NaN();
  Six joints{};
  auto call = [&](const double* p, const double* s, double* out, RobustIkOptions o) {
    return solver.solveRobust(p, s, out, o);
  };
  EXPECT_THROW(call(nullptr, kZero.data(), joints.data(), {}), std::invalid_argument);
  EXPECT_THROW(call(pose.data(), nullptr, joints.data(), {}), std::invalid_argument);
  EXPECT_THROW(call(pose.data(), kZero.data(), nullptr, {}), std::invalid_argument);
  EXPECT_THROW(call(pose.data(), nan_seed.data(), joints.data(), {}), std::invalid_argument);
  EXPECT_THROW(call(pose.data(), kZero.data(), joints.data(), options(milliseconds(-1))),
               std::invalid_argument);
  EXPECT_THROW(call(pose.data(), kZero.data(), joints.data(), options(milliseconds(61000))),
               std::invalid_argument);
  EXPECT_THROW(call(pose.data(), kZero.data(), joints.data(), options(milliseconds(5), 0)),
               std::invalid_argument);
  EXPECT_EQ(joints, kZero);
}

}  // namespace
