// Collision detection, the reflex and recovery on the lockstep rig: the
// simulated arm's external torque per joint stands for a push or an
// obstacle. Each case brings up an arm of its own.
#include <config/ArmConfig.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "reflex_count.h"
#include "rig_fixture.h"

using namespace kav_test;
using kav::config::kCollisionThreshold;
using kav::config::kContactThreshold;
using kav::t8::ControllerBase;
using testing::HasSubstr;

namespace {

constexpr int kRecovered = 176;

bool contains(const std::vector<int>& codes, int code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

int collisionCode(int joint) { return 160 + joint + 1; }

// POSITION_CONTROL holding a pose well within the joint limits (a pose
// outside them is driven back to them, recovered or not).
void holdPose(Rig& rig) {
  rig.arm().setJointPositions({0.2, 0.6, 0.5, 0.1, 0.2, 0.1});
  rig.arm().setArmStatus(ControllerBase::POSITION_CONTROL);
  rig.run(4.0);
}

// The first command after recovery starts from the measured pose.
void expectHoldsMeasuredPose(Rig& rig) {
  const auto measured = rig.arm().getJointPositons();
  rig.sim().clearReceivedCommands();
  rig.run(0.005);
  for (int joint = 0; joint < 6; ++joint) {
    const auto commands = rig.sim().receivedCommands(joint);
    ASSERT_FALSE(commands.empty()) << "joint " << joint;
    EXPECT_GT(commands.front().command.k_p, 0.0) << "joint " << joint;
    EXPECT_NEAR(commands.front().command.position, measured[joint], 0.0035) << "joint " << joint;
  }
}

}  // namespace

TEST(ControllerCollision, AStepOfExternalTorqueFiresTheReflexAndTheArmGoesCompliant) {
  kav_test::expectReflexes();
  Rig rig;
  holdPose(rig);
  for (double torque : rig.arm().getExternalTorques()) EXPECT_LT(std::fabs(torque), 0.5);
  EXPECT_FALSE(rig.arm().contactDetected());

  const int joint = 1;
  testing::internal::CaptureStderr();
  const double step_at = rig.now();
  rig.sim().setExternalTorque(joint, 2 * kCollisionThreshold[joint]);
  const bool fired =
      rig.runUntil([&] { return contains(rig.arm().getErrorCode(), collisionCode(joint)); }, 1.0);
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(fired);
  EXPECT_LE(rig.now() - step_at, 0.025) << "the reflex came late";
  EXPECT_THAT(err, HasSubstr("Collision on joint 2: external torque "));
  EXPECT_NEAR(rig.arm().getExternalTorques()[joint], 2 * kCollisionThreshold[joint],
              0.5 * kCollisionThreshold[joint]);

  // Compliant: no stiffness, damping, gravity carried; control goes on and
  // a new target is not followed.
  rig.arm().setJointPositions({1.0, 1.0, 1.0, 0.5, 0.5, 0.5});
  for (int j = 0; j < 6; ++j) {
    const auto command = rig.lastCommandDuring(j);
    EXPECT_EQ(command.k_p, 0.0) << "joint " << j;
    EXPECT_NEAR(command.k_d, kav::config::kDampingKd[j], 0.02) << "joint " << j;
  }
  EXPECT_TRUE(rig.arm().controlActive());
  EXPECT_EQ(rig.arm().getArmStatus(), ControllerBase::POSITION_CONTROL);
  try {
    rig.arm().moveJoints({0.3, 0.6, 0.5, 0.1, 0.2, 0.1});
    ADD_FAILURE() << "a motion started during the reflex";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("call recover() first"));
  }
}

TEST(ControllerCollision, RightAfterAStateChangeAHardImpactStillFiresTheReflex) {
  kav_test::expectReflexes();
  Rig rig;
  holdPose(rig);
  rig.arm().setEndPose(rig.arm().getEndPose());
  rig.arm().setArmStatus(ControllerBase::END_CONTROL);
  rig.run(0.01);
  testing::internal::CaptureStderr();
  const int joint = 2;
  rig.sim().setExternalTorque(joint, 3 * kCollisionThreshold[joint]);
  const bool fired =
      rig.runUntil([&] { return contains(rig.arm().getErrorCode(), collisionCode(joint)); }, 0.05);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(fired) << "the settling after a state change hid an impact of three times the threshold";
}

TEST(ControllerCollision, BelowLowerNothingHappensBetweenTheThresholdsOnlyContact) {
  Rig rig;
  holdPose(rig);
  const int joint = 4;
  rig.sim().setExternalTorque(joint, 0.5 * kContactThreshold[joint]);
  rig.run(0.3);
  EXPECT_FALSE(rig.arm().contactDetected());

  rig.sim().setExternalTorque(joint, 0.5 * (kContactThreshold[joint] + kCollisionThreshold[joint]));
  EXPECT_TRUE(rig.runUntil([&] { return rig.arm().contactDetected(); }, 0.5));
  rig.run(0.5);
  EXPECT_TRUE(rig.arm().contactDetected());
  for (int code : rig.arm().getErrorCode()) EXPECT_LT(code, 160) << "no reflex between the thresholds";
  EXPECT_GT(rig.lastCommandDuring(joint).k_p, 0.0) << "still position control";

  rig.sim().setExternalTorque(joint, 0.0);
  EXPECT_TRUE(rig.runUntil([&] { return !rig.arm().contactDetected(); }, 0.5));
}

TEST(ControllerCollision, AnAbortedMotionIsNotResumedAndRecoveryHoldsThePose) {
  kav_test::expectReflexes();
  Rig rig;
  holdPose(rig);
  const auto start = rig.arm().getJointPositons();
  rig.arm().moveJoints({start[0] + 1.0, start[1] + 0.5, start[2] + 0.4, 0.3, 0.3, 0.3});
  rig.run(0.8);
  const int joint = 0;
  testing::internal::CaptureStderr();
  rig.sim().setExternalTorque(joint, -2 * kCollisionThreshold[joint]);
  ASSERT_TRUE(rig.runUntil([&] { return contains(rig.arm().getErrorCode(), collisionCode(joint)); }, 0.5));
  testing::internal::GetCapturedStderr();
  rig.sim().setExternalTorque(joint, 0.0);
  EXPECT_TRUE(rig.arm().waitMotion(1.0)) << "the reflex ended the motion";
  rig.run(0.5);

  rig.arm().recover();
  EXPECT_TRUE(rig.arm().controlActive());
  EXPECT_EQ(rig.arm().getArmStatus(), ControllerBase::POSITION_CONTROL);
  const auto codes = rig.arm().getErrorCode();
  ASSERT_TRUE(contains(codes, kRecovered));
  EXPECT_LT(std::find(codes.begin(), codes.end(), collisionCode(joint)),
            std::find(codes.begin(), codes.end(), kRecovered))
      << "the history keeps the reflex before the recovery";
  expectHoldsMeasuredPose(rig);

  const auto recovered_at = rig.arm().getJointPositons();
  rig.run(2.0);
  const auto later = rig.arm().getJointPositons();
  for (int j = 0; j < 6; ++j) EXPECT_NEAR(later[j], recovered_at[j], 0.02) << "joint " << j << " moved on";
  EXPECT_TRUE(rig.arm().motionDone());
}

TEST(ControllerCollision, RecoversAfterAMotorFaultTheMotorClears) {
  Rig rig;
  holdPose(rig);
  testing::internal::CaptureStderr();
  rig.sim().setMotorError(4, 5, kav::sim::ErrorPersistence::kUntilClearError);
  ASSERT_TRUE(rig.runUntil([&] { return !rig.arm().controlActive(); }, 1.0));
  rig.run(0.2);
  testing::internal::GetCapturedStderr();
  EXPECT_THROW(rig.arm().setJointPositions(rig.arm().getJointPositons()), std::runtime_error);

  rig.arm().recover();
  EXPECT_TRUE(rig.arm().controlActive());
  EXPECT_EQ(rig.arm().getArmStatus(), ControllerBase::POSITION_CONTROL);
  expectHoldsMeasuredPose(rig);
  rig.run(0.5);
  EXPECT_TRUE(rig.arm().controlActive()) << "the fault does not come back";
  EXPECT_NO_THROW(rig.arm().setJointPositions(rig.arm().getJointPositons()));
}

// After the push the compliant hold keeps the arm where the push left it,
// and recover() holds it there while it clears, enables and checks the motors.
TEST(ControllerCollision, TheReflexHoldAndRecoveryKeepTheArmWhereThePushLeftIt) {
  kav_test::expectReflexes();
  Rig rig;
  holdPose(rig);
  const int joint = 2;
  testing::internal::CaptureStderr();
  rig.sim().setExternalTorque(joint, 2 * kCollisionThreshold[joint]);
  ASSERT_TRUE(rig.runUntil([&] { return !rig.arm().lastReflex().empty(); }, 0.1));
  rig.sim().setExternalTorque(joint, 0.0);
  testing::internal::GetCapturedStderr();
  rig.run(1.0);  // the push's momentum dies away
  auto largestMove = [&](const std::array<kav::sim::JointState, 7>& from) {
    double largest = 0.0;
    for (int j = 0; j < 6; ++j)
      largest = std::max(largest, std::fabs(rig.sim().jointState(j).position - from[j].position));
    return largest;
  };
  const auto held = rig.sim().jointStates();
  double largest = 0.0;
  for (int cycle = 0; cycle < 200; ++cycle) {
    rig.run(0.005);
    largest = std::max(largest, largestMove(held));
  }
  EXPECT_LT(largest, 0.02) << "the compliant hold let the arm sink";

  const auto at_call = rig.sim().jointStates();
  const double called = rig.now();
  rig.arm().recover();
  EXPECT_LT(largestMove(at_call), 0.01) << "the arm dropped while the motors were checked";
  while (rig.now() < called + 0.5) {
    rig.run(0.005);
    EXPECT_LT(largestMove(at_call), 0.01) << "at " << rig.now() - called << " s after recover()";
  }
}

// A type 2 motor is offline only after 800 ms of silence, longer than the
// check rounds: that it answers is what counts, for either type.
TEST(ControllerCollision, RecoveryIsRefusedWhileAMotorIsSilent) {
  for (int silent : {2, 3}) {
    Rig rig;
    holdPose(rig);
    const std::string motor = "motor " + std::to_string(silent + 1);
    testing::internal::CaptureStdout();
    rig.sim().setMotorSilent(silent, true);
    ASSERT_TRUE(
        rig.runUntil([&] { return contains(rig.arm().getErrorCode(), (silent + 1) * 16 + 15); }, 2.0));
    try {
      rig.arm().recover();
      ADD_FAILURE() << "recover() succeeded with " << motor << " silent";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr(motor + " still silent"));
    }
    EXPECT_FALSE(rig.arm().controlActive()) << motor;
    EXPECT_THROW(rig.arm().setJointPositions(rig.arm().getJointPositons()), std::runtime_error);

    rig.sim().setMotorSilent(silent, false);
    rig.arm().recover();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(rig.arm().controlActive()) << motor;
    expectHoldsMeasuredPose(rig);
  }
}

TEST(ControllerCollision, BadThresholdsAndPayloadsAreRefusedAndChangeNothing) {
  kav_test::expectReflexes();
  Rig rig;
  auto& arm = rig.arm();
  const std::vector<double> lower(6, 1.0), upper(6, 3.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(arm.setCollisionThresholds({1, 1, 1, 1, 1}, upper), std::invalid_argument);
  EXPECT_THROW(arm.setCollisionThresholds(lower, {3, 3, 3, 3, 3, 3, 3}), std::invalid_argument);
  EXPECT_THROW(arm.setCollisionThresholds({1, 1, nan, 1, 1, 1}, upper), std::invalid_argument);
  EXPECT_THROW(arm.setCollisionThresholds({1, 1, 1, -1, 1, 1}, upper), std::invalid_argument);
  try {
    arm.setCollisionThresholds({1, 1, 1, 1, 4, 1}, upper);
    ADD_FAILURE() << "a lower threshold above its upper one was taken";
  } catch (const std::invalid_argument& error) {
    EXPECT_THAT(error.what(), HasSubstr("joint 5"));
  }
  EXPECT_THROW(arm.setPayload(-1.0, Eigen::Vector3d::Zero()), std::invalid_argument);
  EXPECT_THROW(arm.setPayload(nan, Eigen::Vector3d::Zero()), std::invalid_argument);
  EXPECT_THROW(arm.setPayload(1.0, Eigen::Vector3d(0, 0, nan)), std::invalid_argument);

  // The refused thresholds changed nothing: a torque between the defaults is
  // contact, not a reflex.
  holdPose(rig);
  rig.sim().setExternalTorque(0, 0.5 * (kContactThreshold[0] + kCollisionThreshold[0]));
  rig.run(0.3);
  EXPECT_TRUE(arm.contactDetected());
  EXPECT_FALSE(contains(arm.getErrorCode(), collisionCode(0)));

  // Thresholds taken at run time: the same torque is now a reflex.
  testing::internal::CaptureStderr();
  arm.setCollisionThresholds(lower, upper);
  EXPECT_TRUE(rig.runUntil([&] { return contains(arm.getErrorCode(), collisionCode(0)); }, 0.5));
  testing::internal::GetCapturedStderr();
}

TEST(ControllerCollision, APayloadBecomesPartOfTheModel) {
  Rig rig;
  holdPose(rig);
  const double before = rig.arm().getExternalTorques()[2];
  // The simulated arm holds nothing: a payload in the model shows as its
  // weight's torque the other way, and taking it out again undoes that.
  rig.arm().setPayload(1.0, Eigen::Vector3d(0.0, 0.0, 0.05));
  rig.run(1.0);
  EXPECT_GT(std::fabs(rig.arm().getExternalTorques()[2] - before), 1.0);
  rig.arm().setPayload(0.0, Eigen::Vector3d::Zero());
  rig.run(1.0);
  EXPECT_NEAR(rig.arm().getExternalTorques()[2], before, 0.3);

  // A simulated arm that holds the payload: once the model knows it, it
  // reads no external torque and gravity compensation carries it.
  kav::sim::LockstepOptions options;
  options.physics.payload_mass = 1.0;
  options.physics.payload_centre = {0.0, 0.0, 0.05};
  Rig loaded(options);
  loaded.arm().setPayload(1.0, Eigen::Vector3d(0.0, 0.0, 0.05));
  holdPose(loaded);
  for (double torque : loaded.arm().getExternalTorques()) EXPECT_LT(std::fabs(torque), 0.3);
  loaded.arm().setArmStatus(ControllerBase::G_COMPENSATION);
  const auto start = loaded.sim().jointStates();
  loaded.run(2.0);
  for (int j = 0; j < 6; ++j)
    EXPECT_NEAR(loaded.sim().jointState(j).position, start[j].position, 0.05) << "joint " << j;
}

// A joint driven at the interpolation ceilings into a spring obstacle 0.05 rad
// ahead: with the default thresholds the reflex fires on that joint soon
// after the touch, before the arm presses with half its motor's torque.
TEST(ControllerCollision, AClampIsCaughtWithTheDefaultThresholds) {
  kav_test::expectReflexes();
  for (int joint : {1, 4}) {
    Rig rig;
    holdPose(rig);
    const auto rest = rig.arm().getJointPositons();
    rig.sim().setObstacle(joint, rest[joint] + 0.05, 100.0, 1);
    std::vector<double> target(rest.begin(), rest.begin() + 6);
    target[joint] += 0.5;
    rig.arm().setJointPositions(target);
    double touch = -1.0, peak = 0.0;
    const double give_up = rig.now() + 1.0;
    while (rig.arm().lastReflex().empty() && rig.now() < give_up) {
      rig.run(0.001);
      const double torque = std::fabs(rig.sim().obstacleTorque(joint));
      if (touch < 0.0 && torque > 0.0) touch = rig.now();
      peak = std::max(peak, torque);
    }
    ASSERT_FALSE(rig.arm().lastReflex().empty()) << "joint " << joint + 1;
    EXPECT_THAT(rig.arm().lastReflex(), HasSubstr("joint " + std::to_string(joint + 1) + ":"));
    EXPECT_LT(rig.now() - touch, 0.05) << "joint " << joint + 1;
    const double half_motor = joint < 3 ? 15.0 : 5.0;
    for (int ms = 0; ms < 200; ++ms) {
      rig.run(0.001);
      peak = std::max(peak, std::fabs(rig.sim().obstacleTorque(joint)));
    }
    EXPECT_LT(peak, half_motor) << "joint " << joint + 1;
  }
}

// Raw targets approached at the interpolation ceilings (the set-points jump
// every cycle, the motors saturate) neither flag contact nor fire a reflex.
TEST(ControllerCollision, FreeMotionAtTheCeilingsIsNoCollision) {
  // Also with lost frames: a lost reply makes a step of unknown length that
  // the observer holds, and the step after it must not read the motion at
  // speed as a push.
  for (double lost : {0.0, 0.03}) {
    SCOPED_TRACE(lost);
    Rig rig;
    holdPose(rig);
    rig.sim().setDropShare(lost);
    const std::vector<std::vector<double>> targets{
        {0.8, 1.1, 1.0, 0.6, -0.4, 0.6}, {-0.4, 0.8, 1.4, -0.5, 0.5, -0.6}, {0.2, 0.6, 0.5, 0.1, 0.2, 0.1}};
    std::array<double, kav::config::kArmJoints> worst{};
    for (const auto& target : targets) {
      rig.arm().setJointPositions(target);
      for (int cycle = 0; cycle < 400; ++cycle) {
        rig.run(0.005);
        ASSERT_FALSE(rig.arm().contactDetected()) << "at " << rig.now() << " s";
        const auto torques = rig.arm().getExternalTorques();
        for (int j = 0; j < kav::config::kArmJoints; ++j)
          worst[j] = std::max(worst[j], std::fabs(torques[j]));
      }
    }
    EXPECT_TRUE(rig.arm().controlActive());
    EXPECT_TRUE(rig.arm().lastReflex().empty());
    for (int j = 0; j < kav::config::kArmJoints; ++j) {
      EXPECT_GT(worst[j], 0.0) << "joint " << j + 1;  // the estimate runs
      EXPECT_LT(worst[j], 0.5 * kContactThreshold[j]) << "joint " << j + 1;
    }
  }
}

// Replies that take 2 ms (a slow adapter): the last joints' replies come
// after the round's end and are taken a cycle later, over their own times;
// a push still reads as itself and fires the reflex.
TEST(ControllerCollision, SlowRepliesAreTakenOverTheirOwnTimes) {
  kav_test::expectReflexes();
  kav::sim::LockstepOptions options;
  options.reply_latency = std::chrono::microseconds(2000);
  Rig rig(options);
  holdPose(rig);
  const int joint = 5;
  rig.sim().setExternalTorque(joint, 0.8 * kCollisionThreshold[joint]);
  rig.run(0.1);
  EXPECT_NEAR(rig.arm().getExternalTorques()[joint], 0.8 * kCollisionThreshold[joint], 0.1);
  EXPECT_TRUE(rig.arm().contactDetected());
  rig.sim().setExternalTorque(joint, 2 * kCollisionThreshold[joint]);
  rig.run(0.05);
  EXPECT_THAT(rig.arm().lastReflex(), HasSubstr("joint 6:"));
}
