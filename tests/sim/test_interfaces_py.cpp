// The scripting facade on the lockstep rig: the vectors it hands out, the
// states it selects, joint and pose targets, and the input it refuses.
#include <interfaces/InterfacesPy.h>
#include <interfaces/PoseVector.h>
#include <solver/Exercise.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "rig_fixture.h"

using namespace kav_test;
using kav::t8::ControllerBase;
using kav::t8::InterfacesPy;

namespace {

kav::sim::LockstepOptions scriptingRig() {
  kav::sim::LockstepOptions options;
  options.scripting = true;
  return options;
}

}  // namespace

class ScriptingFacade : public testing::Test {
 protected:
  ScriptingFacade() : rig_(scriptingRig()), arm_(&rig_.rig().scripting()) {}

  void moveTo(const std::vector<double>& target) {
    ASSERT_TRUE(arm_->set_joint_positions(target));
    ASSERT_TRUE(arm_->set_arm_status(ControllerBase::POSITION_CONTROL));
    // Reached and settled: the arm swings a little after it first arrives.
    ASSERT_TRUE(rig_.runUntil([&] {
      return near(arm_->get_joint_positions(), target, 0.02) &&
             near(arm_->get_joint_velocities(), std::vector<double>(6, 0.0), 0.02);
    })) << "the arm did not reach its joint targets";
  }

  static bool near(const std::vector<double>& a, const std::vector<double>& b, double tolerance,
                   std::size_t count = 6) {
    for (std::size_t i = 0; i < count; ++i) {
      if (std::fabs(a[i] - b[i]) > tolerance) return false;
    }
    return true;
  }

  static double positionError(const std::vector<double>& a, const std::vector<double>& b) {
    return std::sqrt(std::pow(a[0] - b[0], 2) + std::pow(a[1] - b[1], 2) + std::pow(a[2] - b[2], 2));
  }

  Rig rig_;
  InterfacesPy* arm_;
};

TEST_F(ScriptingFacade, VectorsAfterStartUp) {
  // Until the first exchange the gripper entry is the negated gripper zero;
  // then it reads the gripper relative to its zero.
  ASSERT_TRUE(rig_.runUntil([&] {
    return near(arm_->get_joint_positions(), std::vector<double>(7, 0.0), 0.02, 7);
  })) << "home, and the gripper at its zero";
  EXPECT_EQ(arm_->get_joint_positions().size(), 7u);
  EXPECT_EQ(arm_->get_joint_velocities().size(), 7u);
  EXPECT_EQ(arm_->get_joint_currents().size(), 7u);

  // At home the end effector is at the origin with the identity rotation.
  const auto pose = arm_->get_ee_pose();
  ASSERT_EQ(pose.size(), 7u);
  EXPECT_TRUE(near(pose, {0, 0, 0, 1, 0, 0, 0}, 0.01, 7));
  ASSERT_EQ(arm_->get_ee_pose_xyzrpy().size(), 6u);
}

TEST_F(ScriptingFacade, QuaternionAndRollPitchYawDescribeOnePose) {
  // Held at a target (damping alone would let the arm sag between the reads).
  moveTo({0.4, 0.7, 0.6, 0.3, -0.4, 0.5});
  // The two forms come from two calls: they describe one pose when no cycle
  // published a newer one between them, which the same seven-vector read
  // before and after shows.
  std::vector<double> seven, six;
  for (int attempt = 0; attempt < 100; ++attempt) {
    seven = arm_->get_ee_pose();
    six = arm_->get_ee_pose_xyzrpy();
    if (arm_->get_ee_pose() == seven) break;
  }
  const Eigen::Isometry3d from_quaternion = kav::t8::isometryFromPoseVector(seven);
  const Eigen::Isometry3d from_angles = kav::solve::Xyzrpy2Isometry(six.data());
  EXPECT_TRUE(from_quaternion.isApprox(from_angles, 1e-3)) << "the arm moved between the two reads";
  EXPECT_NEAR(std::hypot(std::hypot(seven[3], seven[4]), std::hypot(seven[5], seven[6])), 1.0, 1e-9);
}

TEST_F(ScriptingFacade, JointTargetsAreReachedAndTheSeventhValueIgnored) {
  const std::vector<double> target{0.3, 0.6, 0.5, 0.2, -0.3, 0.4, 7.0};
  moveTo(target);
  const auto positions = arm_->get_joint_positions();
  EXPECT_NEAR(positions[6], 0.0, 0.05) << "the seventh value is not a gripper target";
}

TEST_F(ScriptingFacade, StateShortcutsAndUnsupportedOperations) {
  moveTo({0.2, 0.8, 0.6, 0.3, -0.4, 0.2});
  EXPECT_TRUE(arm_->gravity_compensation());
  // Gravity compensation: every arm motor gets gains 0 and a feed-forward torque.
  const auto floating = rig_.commandsDuring(1, 0.03);
  ASSERT_FALSE(floating.empty());
  EXPECT_EQ(floating.back().k_p, 0.0);
  EXPECT_EQ(floating.back().k_d, 0.0);
  EXPECT_GT(std::fabs(floating.back().torque), 0.5) << "joint 2 carries the arm's weight";

  EXPECT_TRUE(arm_->go_home());
  ASSERT_TRUE(rig_.runUntil(
      [&] { return near(arm_->get_joint_positions(), std::vector<double>(6, 0.0), 0.05); }, 30.0))
      << "go_home() did not bring the arm home";
  const auto holding = rig_.commandsDuring(0, 0.03);
  ASSERT_FALSE(holding.empty());
  EXPECT_GT(holding.back().k_p, 0.0);

  EXPECT_FALSE(arm_->set_joint_velocities());
  EXPECT_FALSE(arm_->get_joint_names());
}

TEST_F(ScriptingFacade, ReadPoseWrittenBackHoldsTheArm) {
  moveTo({0.3, 0.6, 0.5, 0.0, 0.0, 0.0});
  const auto pose = arm_->get_ee_pose();
  ASSERT_TRUE(arm_->set_ee_pose(pose));
  ASSERT_TRUE(arm_->set_arm_status(ControllerBase::END_CONTROL));
  rig_.run(0.5);
  EXPECT_LT(positionError(arm_->get_ee_pose(), pose), 0.005);

  // A target given with a quaternion of another length is the same target.
  std::vector<double> shifted = pose;
  shifted[0] += 0.03;
  for (int i = 3; i < 7; ++i) shifted[i] *= 3.0;
  ASSERT_TRUE(arm_->set_ee_pose(shifted));
  ASSERT_TRUE(rig_.runUntil([&] { return positionError(arm_->get_ee_pose(), shifted) < 0.005; }))
      << "the shifted target was not reached";
  const auto reached = arm_->get_ee_pose();
  double dot = 0;
  for (int i = 3; i < 7; ++i) dot += reached[i] * pose[i];
  EXPECT_GT(std::fabs(dot), 0.999) << "the orientation changed";
}

TEST_F(ScriptingFacade, UnusableInputIsRefusedAndChangesNothing) {
  const std::vector<double> target{0.1, 0.7, 0.4, 0.0, 0.0, 0.0};
  moveTo(target);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(arm_->set_joint_positions({0.1, 0.2, 0.3, 0.4, 0.5}), std::invalid_argument);
  EXPECT_THROW(arm_->set_joint_positions({0.1, 0.2, nan, 0, 0, 0}), std::invalid_argument);
  EXPECT_THROW(arm_->set_ee_pose({0.1, 0, 0.1, 1, 0, 0}), std::invalid_argument);
  EXPECT_THROW(arm_->set_ee_pose({0.1, 0, 0.1, 0, 0, 0, 0}), std::invalid_argument);
  EXPECT_THROW(arm_->set_ee_pose({0.1, inf, 0.1, 1, 0, 0, 0}), std::invalid_argument);
  EXPECT_THROW(arm_->set_catch(nan), std::invalid_argument);
  EXPECT_THROW(arm_->kav_x(inf, 2000, 0), std::invalid_argument);
  EXPECT_THROW(arm_->kav_x(500, nan, 0), std::invalid_argument);
  EXPECT_THROW(arm_->set_collision_thresholds({1, 1, 1, 1, 1}, std::vector<double>(6, 3.0)),
               std::invalid_argument);
  EXPECT_THROW(arm_->set_payload(1.0, {0.0, 0.0}), std::invalid_argument);
  EXPECT_THROW(arm_->set_payload(nan, {0.0, 0.0, 0.0}), std::invalid_argument);
  try {
    arm_->set_joint_positions({1, 2});
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("set_joint_positions"), std::string::npos) << error.what();
  }

  // None of it reached the controller: still in joint control at the target.
  rig_.run(0.2);
  EXPECT_TRUE(near(arm_->get_joint_positions(), target, 0.02));
}

TEST(ScriptingFacadeStart, FailuresLeaveTheConstructor) {
  SimBench bench;
  EXPECT_THROW(InterfacesPy(urdfPath() + ".missing", bench.hub.endpoint(), 0), std::runtime_error);
  EXPECT_THROW(InterfacesPy(urdfPath(), "unix:@kav-no-such-bus-for-this-test", 0), std::runtime_error);
  EXPECT_EQ(bench.arm.framesReceived(), 0u) << "nothing was sent";
}
