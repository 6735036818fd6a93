// The safety limits as the pure function between the laws and the bus:
// what each limit does to a command at a given measurement.
#include <controller/CommandLimits.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using kav::t8::MotorCommands;
using kav::t8::SafetyLimits;
namespace limits = kav::t8::limits;
using Kind = kav::t8::ErrorCode::LimitKind;

namespace {

struct Case {
  kav::t8::laws::Feedback feedback;
  Eigen::Vector3d end_position = Eigen::Vector3d::Zero();
  Eigen::Matrix<double, 6, 6> jacobian = Eigen::Matrix<double, 6, 6>::Identity();
  std::array<double, 6> scale{0.8, 0.8, 0.8, 1.32, 1.32, 1.32};
  MotorCommands commands{};

  Case() {
    for (int i = 0; i < 6; ++i)
      feedback.joints[i].position = 0.5 * (kav::config::kJointLower[i] + kav::config::kJointUpper[i]);
  }
  limits::Verdict apply(const SafetyLimits& safety, bool host_law) {
    limits::Hold hold;
    return limits::apply(safety, {feedback, end_position, jacobian, scale, host_law}, commands, hold);
  }
};

bool broke(const limits::Verdict& verdict, Kind kind) {
  return (verdict.broken & limits::Verdict::bit(kind)) != 0;
}

}  // namespace

TEST(CommandLimits, ACommandWithinTheLimitsPassesUnchangedAndOneNotFiniteIsRefused) {
  Case c;
  c.commands[1] = {c.feedback.joints[1].position + 0.1, 0.5, 2.0, 150.0, 1.0};
  const MotorCommands before = c.commands;
  EXPECT_EQ(c.apply(SafetyLimits(), true).broken, 0u);
  EXPECT_EQ(c.commands[1].torque, before[1].torque);
  EXPECT_EQ(c.commands[1].position, before[1].position);

  c.commands[6].torque = std::numeric_limits<double>::infinity();  // the gripper's too
  const limits::Verdict verdict = c.apply(SafetyLimits(), false);
  EXPECT_TRUE(verdict.refused());
  EXPECT_EQ(c.commands[1].torque, before[1].torque);
}

TEST(CommandLimits, TargetsAreClampedAndAJointBeyondItsRangeGetsNoDriveButGravitys) {
  Case c;
  SafetyLimits safety;
  safety.position_margin[2] = 0.2;
  const double upper = kav::config::kJointUpper[2] - 0.2;
  c.commands[2] = {upper + 0.5, 3.0, 0.0, 100.0, 1.0};
  limits::Verdict verdict = c.apply(safety, false);
  EXPECT_DOUBLE_EQ(c.commands[2].position, upper);
  EXPECT_DOUBLE_EQ(c.commands[2].velocity, 2.0);
  EXPECT_TRUE(broke(verdict, Kind::kPosition));
  EXPECT_TRUE(broke(verdict, Kind::kVelocity));

  // Beyond the range, pushed on by a torque: only gravity's share stays.
  c.feedback.joints[2].position = upper + 0.05;
  c.feedback.gravity[2] = 1.5;
  c.commands[2] = {0.0, 0.0, 6.0, 0.0, 0.0};
  verdict = c.apply(safety, true);
  EXPECT_DOUBLE_EQ(c.commands[2].torque, 1.5);
  EXPECT_TRUE(broke(verdict, Kind::kPosition));
  // Pulled back: untouched.
  c.commands[2] = {0.0, 0.0, -6.0, 0.0, 0.0};
  EXPECT_EQ(c.apply(safety, true).broken, 0u);
}

TEST(CommandLimits, TheTorqueAtTheMeasuredStateForAHostLawTheFeedForwardForTheLibrarys) {
  Case c;
  SafetyLimits safety;
  safety.max_torque[0] = 10.0;  // N·m: 8 command units on joint 1
  const double q = c.feedback.joints[0].position;
  c.commands[0] = {q + 0.1, 0.0, 1.0, 100.0, 0.0};  // asks 100 × 0.1 + 1 = 11 units
  const MotorCommands library = c.commands;
  EXPECT_TRUE(broke(c.apply(safety, true), Kind::kTorque));
  EXPECT_NEAR(100.0 * 0.1 + c.commands[0].torque, 8.0, 1e-12);
  c.commands = library;
  EXPECT_EQ(c.apply(safety, false).broken, 0u);  // its feed-forward is 1
  EXPECT_EQ(c.commands[0].torque, 1.0);
}

TEST(CommandLimits, APushOutOfTheBoxBecomesAHoldWhereItBeganAndAPullBackPasses) {
  Case c;
  SafetyLimits safety;
  safety.box_upper[0] = 0.0;
  c.end_position.x() = 0.001;  // just beyond the edge
  c.commands[0].torque = 2.0;  // J = I: a force along +x
  limits::Hold hold;
  const limits::Measurement measurement{c.feedback, c.end_position, c.jacobian, c.scale, true};
  EXPECT_TRUE(broke(limits::apply(safety, measurement, c.commands, hold), Kind::kBox));
  EXPECT_TRUE(hold.active);
  EXPECT_EQ(c.commands[0].position, c.feedback.joints[0].position);
  EXPECT_GT(c.commands[0].k_p, 0.0);
  c.commands = {};
  c.commands[0].torque = -2.0;
  EXPECT_EQ(limits::apply(safety, measurement, c.commands, hold).broken, 0u);
  EXPECT_FALSE(hold.active);
  EXPECT_EQ(c.commands[0].torque, -2.0);
}
