#include <gtest/gtest.h>
#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>

#include <array>
#include <cmath>
#include <stdexcept>

namespace {

using kav::KinematicSolver;
using Six = std::array<double, 6>;

Six forward(KinematicSolver& solver, Six q) {
  Six pose{};
  solver.computeForwardKinematics(q.data(), pose.data());
  return pose;
}

Six seed() {
  Six s{};
  for (int i = 0; i < 6; ++i) s[i] = kav::last_joint_angle_g(i);
  return s;
}

void expectJointsNear(const Six& actual, const Six& expected, double tolerance) {
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "joint " << i;
}

// One solver for the cases that do not depend on the shared seed's history:
// every construction parses the description and prints the parser's warning.
KinematicSolver& shared() {
  static KinematicSolver solver;
  return solver;
}

TEST(KinematicSolver, ZeroJointsGiveTheOriginWithTheTinyRoll) {
  const Six pose = forward(shared(), {0, 0, 0, 0, 0, 0});
  EXPECT_EQ(pose[0], 0.0);
  EXPECT_EQ(pose[1], 0.0);
  EXPECT_EQ(pose[2], 0.0);
  EXPECT_NEAR(pose[3], -1.4693e-5, 1e-9);
  EXPECT_NEAR(pose[4], 0.0, 1e-12);
  EXPECT_NEAR(pose[5], 0.0, 1e-12);
}

TEST(KinematicSolver, PoseAnglesAreTheRollPitchYawOfTheChainFrame) {
  kav::KinematicDynamicSolver chain(kav::urdf_xml_g);
  const Six q{0.4, -0.7, 1.1, 0.3, -0.5, 0.9};
  KDL::JntArray joints(6);
  for (int i = 0; i < 6; ++i) joints(i) = q[i];
  const KDL::Frame frame = chain.computeForwardKinematics(joints);

  const Six pose = forward(shared(), q);
  const KDL::Frame rebuilt(KDL::Rotation::RPY(pose[3], pose[4], pose[5]),
                           KDL::Vector(pose[0], pose[1], pose[2]));
  EXPECT_TRUE(KDL::Equal(rebuilt, frame, 1e-12));
}

TEST(KinematicSolver, InverseKinematicsFollowsAPathFromTheSharedSeed) {
  KinematicSolver solver;
  EXPECT_EQ(seed(), Six{});
  // Each target lies close to the previous solution, which seeds the next.
  Six q{};
  for (int step = 1; step <= 5; ++step) {
    for (int i = 0; i < 6; ++i) q[i] += 0.08 * (i % 2 ? -1 : 1) + 0.01 * i;
    Six pose = forward(solver, q);
    Six joints{};
    solver.computeInverseKinematics(pose.data(), joints.data());
    expectJointsNear(joints, q, 1e-3);
    EXPECT_EQ(seed(), joints) << "step " << step;
  }
}

TEST(KinematicSolver, FirstSolveAfterConstructionStartsFromZero) {
  const Six target{0.01, -0.02, -0.03, 0.1, -0.05, 0.2};
  kav::KinematicDynamicSolver chain(kav::urdf_xml_g);
  KDL::Frame frame(KDL::Rotation::RPY(target[3], target[4], target[5]),
                   KDL::Vector(target[0], target[1], target[2]));
  const KDL::JntArray from_zero = chain.computeInverseKinematics(frame, KDL::JntArray(6));

  KinematicSolver first;
  Six away = forward(first, {0.9, 0.6, -0.6, 0.5, 0.4, -0.3});
  Six joints{};
  first.computeInverseKinematics(away.data(), joints.data());
  ASSERT_NE(seed(), Six{});

  // Constructing another solver resets the seed that the first one uses.
  KinematicSolver second;
  EXPECT_EQ(seed(), Six{});
  Six pose = target;
  first.computeInverseKinematics(pose.data(), joints.data());
  for (int i = 0; i < 6; ++i) EXPECT_EQ(joints[i], from_zero(i)) << "joint " << i;
  EXPECT_EQ(pose, target) << "the caller's pose array is read only";
}

TEST(KinematicSolver, FailedSolveLeavesOutputAndSeedUnchanged) {
  KinematicSolver solver;
  Six q{0.2, 0.3, -0.2, 0.1, 0.2, 0.3};
  Six pose = forward(solver, q);
  Six joints{};
  solver.computeInverseKinematics(pose.data(), joints.data());
  const Six before_seed = seed();

  Six unreachable{2.0, 0, 0, 0, 0, 0};
  Six untouched{7, 7, 7, 7, 7, 7};
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(solver.computeInverseKinematics(unreachable.data(), untouched.data()), std::runtime_error);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("Inverse kinematics computation failed."),
            std::string::npos);
  EXPECT_EQ(untouched, (Six{7, 7, 7, 7, 7, 7}));
  EXPECT_EQ(seed(), before_seed);
}

TEST(KinematicSolver, BadArgumentsAreRefusedAndNothingIsWritten) {
  Six pose{1, 1, 1, 1, 1, 1};
  Six q{};
  EXPECT_THROW(shared().computeForwardKinematics(nullptr, pose.data()), std::invalid_argument);
  EXPECT_THROW(shared().computeForwardKinematics(q.data(), nullptr), std::invalid_argument);
  q[4] = std::nan("");
  EXPECT_THROW(shared().computeForwardKinematics(q.data(), pose.data()), std::invalid_argument);
  EXPECT_EQ(pose, (Six{1, 1, 1, 1, 1, 1}));

  const Six before_seed = seed();
  Six target{0, 0, 0, 0, HUGE_VAL, 0};
  Six joints{5, 5, 5, 5, 5, 5};
  EXPECT_THROW(shared().computeInverseKinematics(target.data(), joints.data()), std::invalid_argument);
  EXPECT_THROW(shared().computeInverseKinematics(nullptr, joints.data()), std::invalid_argument);
  Six reachable{};
  EXPECT_THROW(shared().computeInverseKinematics(reachable.data(), nullptr), std::invalid_argument);
  EXPECT_EQ(joints, (Six{5, 5, 5, 5, 5, 5}));
  EXPECT_EQ(seed(), before_seed);
}

}  // namespace
