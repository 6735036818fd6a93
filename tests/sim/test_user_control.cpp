// A host's control law in the cycle, the ready impedance laws and the
// safety limits, on the lockstep rig: control() blocks in simulated time,
// the simulated arm's external torques stand for a push.
#include <controller/ControllerBase.h>
#include <controller/UserControl.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "rig_fixture.h"

using namespace kav_test;
using kav::t8::ControlLaw;
using kav::t8::ControllerBase;
using kav::t8::CycleState;
using kav::t8::JointCommand;
using kav::t8::SafetyLimits;
using testing::HasSubstr;
namespace laws = kav::t8::laws;

namespace {

using Six = std::array<double, 6>;

bool contains(const std::vector<int>& codes, int code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// The codes so far, less the overruns of a law's budget: those are timed
// on the machine's clock, and a busy machine may delay any law by 1 ms.
std::vector<int> codesBesidesOverruns(Rig& rig) {
  std::vector<int> codes = rig.arm().getErrorCode();
  codes.erase(std::remove(codes.begin(), codes.end(), 193), codes.end());
  return codes;
}

// @p law until @p seconds of its own time have passed; @p observe sees every state.
ControlLaw forSeconds(double seconds, ControlLaw law, std::function<void(const CycleState&)> observe = {}) {
  return [=](const CycleState& state) {
    if (observe) observe(state);
    JointCommand command = law(state);
    command.finished = state.time >= seconds;
    return command;
  };
}

// The state of the first cycle of a law that does nothing else.
CycleState stateNow(kav::t8::InterfacesThread& arm) {
  CycleState seen{};
  arm.control([&](const CycleState& state) {
    seen = state;
    JointCommand command =
        laws::jointImpedance({150, 150, 150, 50, 25, 10}, {1, 1, 1, 0.8, 0.8, 1},
                             {state.q[0], state.q[1], state.q[2], state.q[3], state.q[4], state.q[5]})(state);
    command.finished = true;
    return command;
  });
  return seen;
}

const Six kPose{0.2, 0.6, 0.5, 0.1, 0.2, 0.1};
const Six kCartesianStiffness{200, 200, 200, 20, 20, 20};
const Six kCartesianDamping{30, 30, 30, 0.5, 0.5, 0.5};

void holdPose(Rig& rig) {
  rig.arm().setJointPositions(std::vector<double>(kPose.begin(), kPose.end()));
  rig.arm().setArmStatus(ControllerBase::POSITION_CONTROL);
  rig.run(4.0);
}

}  // namespace

TEST(UserControl, TheLawSeesTheCycleAndJointImpedanceReachesItsTargetThenPositionControlHolds) {
  Rig rig;
  holdPose(rig);
  const Six target{0.3, 0.7, 0.6, 0.1, 0.2, 0.1};  // joints 1-3 0.1 rad from kPose
  std::uint64_t cycles = 0;
  double last_time = -1.0;
  Six gravity{};
  const double start = rig.now();
  rig.arm().control(
      forSeconds(3.0, laws::jointImpedance({60, 60, 60, 20, 10, 5}, {5, 5, 5, 0.5, 0.3, 0.2}, target),
                 [&](const CycleState& state) {
                   EXPECT_EQ(state.cycle, cycles++);
                   EXPECT_GT(state.time, last_time);
                   last_time = state.time;
                   gravity = state.gravity;
                 }));
  // control() advanced simulated time by the law's 3 s, one cycle per 5 ms.
  EXPECT_NEAR(rig.now() - start, 3.0, 0.05);
  EXPECT_NEAR(static_cast<double>(cycles), 3.0 / 0.005, 3.0);
  const auto truth = rig.sim().jointStates();
  for (int joint = 0; joint < 6; ++joint) EXPECT_NEAR(truth[joint].position, target[joint], 0.02) << joint;
  // Gravity as the simulated arm needs it at the joints (N·m, not command units).
  const auto needed = rig.sim().gravityTorques();
  for (int joint = 0; joint < 6; ++joint) EXPECT_NEAR(gravity[joint], needed[joint], 0.05) << joint;
  EXPECT_EQ(rig.arm().getArmStatus(), ControllerBase::POSITION_CONTROL);
  rig.run(1.0);
  for (int joint = 0; joint < 6; ++joint)
    EXPECT_NEAR(rig.sim().jointStates()[joint].position, truth[joint].position, 0.01) << joint;
  EXPECT_THAT(codesBesidesOverruns(rig), testing::IsEmpty());
}

TEST(UserControl, CartesianImpedanceHoldsThePoseAgainstGravityAndYieldsToAPushByForceOverStiffness) {
  Rig rig;
  holdPose(rig);
  const CycleState before = stateNow(rig.arm());
  Eigen::Isometry3d pose;
  const auto keep_pose = [&](const CycleState& state) { pose = state.pose; };

  rig.arm().control(forSeconds(
      3.0, laws::cartesianImpedance(kCartesianStiffness, kCartesianDamping, before.pose), keep_pose));
  EXPECT_LT((pose.translation() - before.pose.translation()).norm(), 0.002);

  // 5 N down at the end effector, J^T F at the joints, from the law's first cycle on.
  const Eigen::Vector3d force(0.0, 0.0, -5.0);
  const Eigen::Matrix<double, 6, 1> torques = before.jacobian.topRows<3>().transpose() * force;
  rig.arm().control(forSeconds(4.0,
                               laws::cartesianImpedance(kCartesianStiffness, kCartesianDamping, before.pose),
                               [&](const CycleState& state) {
                                 if (state.cycle == 0)
                                   for (int j = 0; j < 6; ++j) rig.sim().setExternalTorque(j, torques[j]);
                                 keep_pose(state);
                               }));
  const Eigen::Vector3d moved = pose.translation() - before.pose.translation();
  const double expected = 5.0 / kCartesianStiffness[2];
  EXPECT_NEAR(-moved.z(), expected, 0.1 * expected);
  EXPECT_LT(std::hypot(moved.x(), moved.y()), 0.1 * expected);
  EXPECT_THAT(codesBesidesOverruns(rig), testing::IsEmpty());
}

TEST(UserControl, ALawThatThrowsOrCommandsNaNEndsInDampingWithItsCodeAndASlowLawIsReported) {
  Rig rig;
  holdPose(rig);
  EXPECT_THROW(rig.arm().control(ControlLaw()), std::invalid_argument);

  const auto failing = [&](std::function<JointCommand(const CycleState&)> law, const char* code) {
    try {
      rig.arm().control(law);
      ADD_FAILURE() << "control() returned";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr(code));
    }
    EXPECT_EQ(rig.arm().getArmStatus(), ControllerBase::PROTECT);
    EXPECT_TRUE(rig.arm().controlActive());
    const auto command = rig.lastCommandDuring(1);
    EXPECT_EQ(command.k_p, 0.0);
    EXPECT_GT(command.k_d, 0.0);
  };
  failing(
      [](const CycleState& state) -> JointCommand {
        if (state.cycle == 10) throw std::runtime_error("the user's bug");
        return laws::jointImpedance({150, 150, 150, 50, 25, 10}, {1, 1, 1, 1, 1, 1}, kPose)(state);
      },
      "code 192");
  failing(
      [](const CycleState& state) {
        JointCommand command =
            laws::jointImpedance({150, 150, 150, 50, 25, 10}, {1, 1, 1, 1, 1, 1}, kPose)(state);
        if (state.cycle == 10) command.joints[2].torque = std::numeric_limits<double>::quiet_NaN();
        return command;
      },
      "code 208");

  holdPose(rig);
  rig.arm().control(forSeconds(0.05, [](const CycleState& state) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
    while (std::chrono::steady_clock::now() < until) {
    }
    return laws::jointImpedance({150, 150, 150, 50, 25, 10}, {1, 1, 1, 1, 1, 1}, kPose)(state);
  }));
  const auto codes = rig.arm().getErrorCode();
  EXPECT_TRUE(contains(codes, 192));
  EXPECT_TRUE(contains(codes, 208));
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 193), 1);
}

TEST(UserControl, StopControlFromTheLawsSideEndsItAndAHostCommandDisplacesIt) {
  Rig rig;
  holdPose(rig);
  // On the rig the law runs on the host's thread: stopControl() from it
  // stands for another host thread.
  rig.arm().control([&](const CycleState& state) {
    if (state.cycle == 20) rig.arm().stopControl();
    return laws::jointImpedance({150, 150, 150, 50, 25, 10}, {1, 1, 1, 1, 1, 1}, kPose)(state);
  });
  EXPECT_EQ(rig.arm().getArmStatus(), ControllerBase::POSITION_CONTROL);
  rig.arm().control([&](const CycleState& state) {
    if (state.cycle == 20) rig.arm().setArmStatus(ControllerBase::G_COMPENSATION);
    return laws::jointImpedance({150, 150, 150, 50, 25, 10}, {1, 1, 1, 1, 1, 1}, kPose)(state);
  });
  EXPECT_EQ(rig.arm().getArmStatus(), ControllerBase::G_COMPENSATION);
  EXPECT_THAT(codesBesidesOverruns(rig), testing::IsEmpty());
}

TEST(UserControl, ALawCommandingTwiceTheVelocityLimitMovesNoJointFasterThanTheLimit) {
  Rig rig;
  holdPose(rig);
  // The safety limits' velocities follow the motion limits.
  rig.arm().setMotionLimits({0.5, 0.5, 0.5, 0.5, 0.5, 0.5}, {0.5, 0.5, 0.5, 0.5, 0.5, 0.5});
  EXPECT_EQ(rig.arm().safetyLimits().max_velocity[0], 0.5);
  double fastest = 0.0;
  rig.arm().control(forSeconds(1.5, [&](const CycleState& state) {
    JointCommand command;
    for (int joint = 0; joint < 6; ++joint) {
      command.joints[joint].k_d = joint < 3 ? 4.0 : 0.5;
      command.joints[joint].velocity = joint == 0 || joint == 4 ? 1.0 : 0.0;
      command.joints[joint].torque = state.gravity[joint];
    }
    for (const auto& joint : rig.sim().jointStates()) fastest = std::max(fastest, std::fabs(joint.velocity));
    return command;
  }));
  EXPECT_LE(fastest, 0.5);
  EXPECT_GT(fastest, 0.4);
  EXPECT_TRUE(contains(rig.arm().getErrorCode(), 210));
}

TEST(UserControl, ALawDrivingThePoseOutOfTheBoxStopsAtItsEdgeOrEndsAsTheLimitsSay) {
  Rig rig;
  holdPose(rig);
  const CycleState before = stateNow(rig.arm());
  SafetyLimits limits = rig.arm().safetyLimits();
  const double edge = before.pose.translation().z() + 0.05;
  limits.box_upper[2] = edge;
  rig.arm().setSafetyLimits(limits);
  Eigen::Isometry3d above = before.pose;
  above.translation().z() += 0.15;
  double highest = -1.0;
  Eigen::Isometry3d pose;
  rig.arm().control(forSeconds(4.0, laws::cartesianImpedance(kCartesianStiffness, kCartesianDamping, above),
                               [&](const CycleState& state) {
                                 pose = state.pose;
                                 highest = std::max(highest, state.pose.translation().z());
                               }));
  EXPECT_NEAR(pose.translation().z(), edge, 0.005);
  EXPECT_LT(highest, edge + 0.01);
  EXPECT_TRUE(contains(rig.arm().getErrorCode(), 212));

  limits.response = SafetyLimits::Response::kEnd;
  rig.arm().setSafetyLimits(limits);
  EXPECT_THROW(rig.arm().control(laws::cartesianImpedance(kCartesianStiffness, kCartesianDamping, above)),
               std::runtime_error);
  EXPECT_EQ(rig.arm().getArmStatus(), ControllerBase::PROTECT);

  limits.max_torque[3] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(
      {
        try {
          rig.arm().setSafetyLimits(limits);
        } catch (const std::invalid_argument& error) {
          EXPECT_THAT(error.what(), HasSubstr("max_torque of joint 4"));
          throw;
        }
      },
      std::invalid_argument);
  EXPECT_EQ(rig.arm().safetyLimits().response, SafetyLimits::Response::kEnd);
}

TEST(UserControl, TheLibrarysOwnLawsNeverReachTheDefaultLimits) {
  Rig rig;
  holdPose(rig);
  rig.arm().moveJoints({-1.0, 1.6, 1.8, -1.0, 1.0, -1.2});
  ASSERT_TRUE(rig.arm().waitMotion(20.0));
  rig.arm().moveJoints({1.0, 0.3, 0.3, 1.0, -1.0, 1.2});
  ASSERT_TRUE(rig.arm().waitMotion(20.0));
  rig.arm().setEndPose(rig.arm().getEndPose());
  rig.arm().setArmStatus(ControllerBase::END_CONTROL);
  rig.run(1.0);
  rig.arm().setArmStatus(ControllerBase::GO_HOME);
  rig.run(8.0);
  rig.arm().setArmStatus(ControllerBase::G_COMPENSATION);
  rig.run(1.0);
  EXPECT_THAT(codesBesidesOverruns(rig), testing::IsEmpty());
}
