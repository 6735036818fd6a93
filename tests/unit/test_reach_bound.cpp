// The chain solver's reach bound: it may refuse a position only when no
// joint configuration reaches it, so that refusing agrees with the solver.
#include <gtest/gtest.h>
#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>

#include <cmath>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>

namespace {

using kav::KinematicDynamicSolver;

const std::string kShippedUrdf = KAV_SOURCE_DIR "/share/urdf/vorlan_v1.1_aa.urdf";

KDL::JntArray joints(const double* q) {
  KDL::JntArray array(6);
  for (int i = 0; i < 6; ++i) array(i) = q[i];
  return array;
}

KDL::Vector unitVector(std::mt19937& rng) {
  std::normal_distribution<double> normal;
  KDL::Vector v(normal(rng), normal(rng), normal(rng));
  v.Normalize();
  return v;
}

// The configuration whose end effector lies farthest along @p direction,
// found by random coordinate ascent from @p q: a point on the edge of the
// reachable space.
KDL::Vector farthestAlong(KinematicDynamicSolver& solver, const KDL::Vector& direction, KDL::JntArray q,
                          std::mt19937& rng) {
  std::uniform_int_distribution<int> joint(0, 5);
  double best = KDL::dot(solver.computeForwardKinematics(q).p, direction);
  for (double step = 0.5; step > 1e-4; step *= 0.7) {
    for (int tries = 0; tries < 60; ++tries) {
      KDL::JntArray trial = q;
      trial(joint(rng)) += (tries % 2 ? step : -step);
      const double along = KDL::dot(solver.computeForwardKinematics(trial).p, direction);
      if (along > best) {
        best = along;
        q = trial;
      }
    }
  }
  return solver.computeForwardKinematics(q).p;
}

// Every configuration, joint limits ignored, and above all those at the edge
// of the reachable space, must pass.
void expectEveryReachedPositionPasses(KinematicDynamicSolver& solver, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> angle(-10.0, 10.0);
  for (int n = 0; n < 20000; ++n) {
    KDL::JntArray q(6);
    for (int i = 0; i < 6; ++i) q(i) = angle(rng);
    const KDL::Vector p = solver.computeForwardKinematics(q).p;
    ASSERT_FALSE(solver.isOutOfReach(p)) << "random configuration " << n;
  }
  for (int n = 0; n < 40; ++n) {
    KDL::JntArray q(6);
    for (int i = 0; i < 6; ++i) q(i) = angle(rng);
    const KDL::Vector direction = unitVector(rng);
    const KDL::Vector edge = farthestAlong(solver, direction, q, rng);
    EXPECT_FALSE(solver.isOutOfReach(edge)) << "edge point " << n;
  }
}

// The first distance from the zero-configuration end point along
// @p direction at which the bound refuses, to within 1 mm.
double refusedFrom(KinematicDynamicSolver& solver, const KDL::Vector& direction) {
  double inside = 0.0, outside = 3.0;
  EXPECT_TRUE(solver.isOutOfReach(outside * direction)) << "the bound never refuses";
  while (outside - inside > 1e-3) {
    const double middle = (inside + outside) / 2;
    (solver.isOutOfReach(middle * direction) ? outside : inside) = middle;
  }
  return outside;
}

std::string replaced(std::string text, const std::string& what, const std::string& with) {
  const std::size_t at = text.find(what);
  if (at == std::string::npos) throw std::logic_error("the description has no " + what);
  return text.replace(at, what.size(), with);
}

class ReachBound : public testing::Test {
 protected:
  static void SetUpTestSuite() { solver_ = new KinematicDynamicSolver(kShippedUrdf, "base_link", "link6"); }
  static void TearDownTestSuite() { delete solver_; }
  static KinematicDynamicSolver* solver_;
};

KinematicDynamicSolver* ReachBound::solver_ = nullptr;

TEST_F(ReachBound, EveryReachablePositionPassesUpToTheEdge) {
  expectEveryReachedPositionPasses(*solver_, 7);
  EXPECT_FALSE(solver_->isOutOfReach(KDL::Vector::Zero()));
}

TEST_F(ReachBound, RefusedPositionsHaveNoSolutionFromAnySeed) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> angle(-3.0, 3.0);
  const double bent[6] = {0.0, 0.8, 0.8, 0.0, 0.3, 0.0};
  const double stretched[6] = {0.5, 1.2, 2.95, 0.0, 0.0, 0.0};
  std::cerr.setstate(std::ios::failbit);  // one line per failed solve
  for (int n = 0; n < 6; ++n) {
    const KDL::Vector direction = unitVector(rng);
    const KDL::Vector position = (refusedFrom(*solver_, direction) + 0.002) * direction;
    ASSERT_TRUE(solver_->isOutOfReach(position));
    const KDL::Rotation rotation = KDL::Rotation::RPY(angle(rng), angle(rng) / 2, angle(rng));
    // The seed the solver would start from: the stretched arm turned
    // toward the target converges the closest.
    double toward[6] = {std::atan2(direction.y(), direction.x()), 1.2, 2.95, 0.0, 0.0, 0.0};
    for (const double* seed : {bent, stretched, static_cast<const double*>(toward)}) {
      KDL::Frame target(rotation, position);
      EXPECT_THROW(solver_->computeInverseKinematics(target, joints(seed)), std::runtime_error)
          << "direction " << n;
    }
  }
  std::cerr.clear();
}

TEST(ReachBoundOfOtherChains, FixedJointsAreFollowedAndPrismaticJointsLiftTheBound) {
  // A bracket between link 2 and joint 3 lengthens and bends the upper arm.
  std::string bracketed =
      replaced(kav::urdf_xml_g, "<parent link=\"link2\"/>\n        <child link=\"link3\"/>",
               "<parent link=\"link2a\"/>\n        <child link=\"link3\"/>");
  bracketed = replaced(bracketed, "    <joint name=\"joint3\"",
                       "    <link name=\"link2a\"/>\n"
                       "    <joint name=\"bracket\" type=\"fixed\">\n"
                       "        <origin xyz=\"-0.1 0.02 0.03\" rpy=\"0 0.3 0.2\"/>\n"
                       "        <parent link=\"link2\"/>\n"
                       "        <child link=\"link2a\"/>\n"
                       "    </joint>\n"
                       "    <joint name=\"joint3\"");
  KinematicDynamicSolver with_bracket(bracketed);
  expectEveryReachedPositionPasses(with_bracket, 3);
  EXPECT_TRUE(with_bracket.isOutOfReach(KDL::Vector(1.0, 0.0, 0.0)));

  KinematicDynamicSolver prismatic(replaced(kav::urdf_xml_g, "<joint name=\"joint3\" type=\"revolute\">",
                                            "<joint name=\"joint3\" type=\"prismatic\">"));
  EXPECT_FALSE(prismatic.isOutOfReach(KDL::Vector(5.0, 0.0, 0.0)));
}

}  // namespace
