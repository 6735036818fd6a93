// Motions run by the controller against the simulated arm: what reaches the
// motors cycle by cycle, replacement and stop without a jump, and refusals
// that leave the arm alone. Each case brings up an arm of its own on the
// lockstep rig and waits in simulated time.
#include <gmock/gmock.h>
#include <motion/PointToPoint.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>

#include "Stream.h"
#include "rig_fixture.h"

using namespace kav_test;
using kav::motion::JointArray;
using kav::t8::ControllerBase;

namespace {

constexpr double kCycle = kav::motion::kSamplePeriod;
// A step of the velocity field (type 4: ±18 rad/s, type 2: ±45 rad/s, 12 bits).
// It has no code for zero: a joint at rest is sent half a step either side.
double wireVelocityStep(int joint) { return (joint < 3 ? 36.0 : 90.0) / 4095; }
// The same with room.
double velocityStep(int joint) { return wireVelocityStep(joint) * 1.5; }

// Simulated seconds on the rig's clock.
double secondsOf(std::chrono::steady_clock::time_point time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

const JointArray kStart{0.3, 0.8, 0.6, 0.0, 0.2, 0.0};
const JointArray kFar{1.3, 1.6, 1.2, 0.6, -0.4, 0.8};

}  // namespace

class ControllerMotion : public testing::Test {
 protected:
  void moveAndWait(const JointArray& target) {
    arm().moveJoints(std::vector<double>(target.begin(), target.end()));
    ASSERT_TRUE(arm().waitMotion(30.0));
  }

  kav::t8::InterfacesThread& arm() { return rig_.arm(); }

  std::vector<std::vector<kav::sim::ReceivedCommand>> received() {
    std::vector<std::vector<kav::sim::ReceivedCommand>> commands;
    for (int j = 0; j < 6; ++j) commands.push_back(rig_.sim().receivedCommands(j));
    return commands;
  }

  // No jump between consecutive commands of any joint: position within the
  // speed limit and velocity within the acceleration limit per cycle, plus
  // the wire's rounding.
  static void expectNoJump(const std::vector<std::vector<kav::sim::ReceivedCommand>>& commands) {
    for (int j = 0; j < 6; ++j) {
      double worst_step = 0.0, worst_change = 0.0;
      for (std::size_t i = 1; i < commands[j].size(); ++i) {
        const auto& a = commands[j][i - 1].command;
        const auto& b = commands[j][i].command;
        worst_step = std::max(worst_step, std::fabs(b.position - a.position));
        worst_change = std::max(worst_change, std::fabs(b.velocity - a.velocity));
      }
      EXPECT_LE(worst_step, 2.0 * kCycle + kPositionStep) << "joint " << j + 1;
      EXPECT_LE(worst_change, 0.5 * kCycle + velocityStep(j)) << "joint " << j + 1;
    }
  }

  Rig rig_;
};

TEST_F(ControllerMotion, TheMotorsReceiveTheSynchronisedMoveCycleByCycle) {
  moveAndWait(kStart);
  EXPECT_EQ(arm().getArmStatus(), ControllerBase::POSITION_CONTROL);
  rig_.sim().clearReceivedCommands();
  moveAndWait(kFar);
  rig_.run(0.05);
  const auto commands = received();
  const kav::motion::SynchronizedMove expected(kStart, kFar, kav::motion::MotionLimits::defaults(), 1.0);
  const long cycles = kav::motion::restCycle(expected);
  std::vector<double> starts;
  for (int j = 0; j < 6; ++j) {
    // The place in this joint's commands where they follow the profile best,
    // searched among the cycles just before the joint leaves its start.
    std::size_t leaves = 0;
    while (leaves < commands[j].size() &&
           std::fabs(commands[j][leaves].command.position - kStart[j]) <= 2 * kPositionStep) {
      ++leaves;
    }
    double best = 1e9;
    std::size_t best_offset = 0;
    for (std::size_t offset = leaves > 40 ? leaves - 40 : 0;
         offset <= leaves && offset + cycles < commands[j].size(); ++offset) {
      double worst = 0.0;
      kav::motion::JointSample sample;
      for (long k = 0; k <= cycles && worst < best; ++k) {
        expected.sample(static_cast<double>(k) * kCycle, sample);
        worst = std::max(worst, std::fabs(commands[j][offset + k].command.position - sample.position[j]));
      }
      if (worst < best) best = worst, best_offset = offset;
    }
    EXPECT_LE(best, kPositionStep) << "joint " << j + 1;
    kav::motion::JointSample middle;
    expected.sample(static_cast<double>(cycles / 2) * kCycle, middle);
    EXPECT_NEAR(commands[j][best_offset + cycles / 2].command.velocity, middle.velocity[j], velocityStep(j));
    starts.push_back(secondsOf(commands[j][best_offset].time));
  }
  // Every joint started in the same cycle, so all arrive in the same cycle.
  const auto [first, last] = std::minmax_element(starts.begin(), starts.end());
  EXPECT_LT(*last - *first, kCycle / 2);
  expectNoJump(commands);
}

TEST_F(ControllerMotion, ANewMotionReplacesARunningOneWithoutAJump) {
  moveAndWait(kStart);
  rig_.sim().clearReceivedCommands();
  arm().moveJoints({kFar.begin(), kFar.end()});
  rig_.run(1.0);
  arm().moveJoints({kStart.begin(), kStart.end()}, 0.8);  // while moving the other way
  rig_.run(1.0);
  std::vector<kav::t8::TrajectoryPoint> points(2);
  points[0].positions = {0.5, 1.0, 0.8, 0.2, 0.0, 0.2};
  points[0].time_from_start = 4.0;
  points[1].positions = {0.6, 1.1, 0.9, 0.1, 0.1, 0.1};
  points[1].time_from_start = 7.0;
  arm().followJointTrajectory(points);
  EXPECT_FALSE(arm().motionDone());
  ASSERT_TRUE(arm().waitMotion(30.0));
  const auto q = arm().getJointPositons();
  for (int j = 0; j < 6; ++j) EXPECT_NEAR(q[j], points[1].positions[j], 0.03) << j;
  expectNoJump(received());
}

TEST_F(ControllerMotion, StopMotionComesToRestWithinTheDecelerationBound) {
  moveAndWait(kStart);
  arm().moveJoints({kFar.begin(), kFar.end()});
  rig_.run(1.5);
  rig_.sim().clearReceivedCommands();
  const double stopped_at = rig_.now();
  arm().stopMotion();
  ASSERT_TRUE(arm().waitMotion(10.0));
  rig_.run(0.05);
  const auto commands = received();
  // The bound: the fastest joint's speed when the stop was called, at
  // 0.5 rad/s², plus the hand-over (the stop starts at the next cycle, and
  // the frames of a round follow within a millisecond) and the wire's
  // rounding.
  double fastest = 0.0;
  for (int j = 0; j < 6; ++j) {
    fastest = std::max(fastest, std::fabs(commands[j].front().command.velocity) + velocityStep(j));
  }
  EXPECT_GT(fastest, 0.3);
  for (int j = 0; j < 6; ++j) {
    const auto moving = std::find_if(commands[j].rbegin(), commands[j].rend(), [j](const auto& c) {
      return std::fabs(c.command.velocity) > wireVelocityStep(j);
    });
    ASSERT_NE(moving, commands[j].rend());
    ASSERT_NE(moving, commands[j].rbegin()) << "joint " << j + 1 << " still moved at the last command";
    EXPECT_LT(secondsOf(moving->time) - stopped_at, fastest / 0.5 + 2 * kCycle) << "joint " << j + 1;
  }
  expectNoJump(commands);
  // Held where it stopped: the joint targets follow the stop.
  arm().setArmStatus(ControllerBase::POSITION_CONTROL);
  const auto held = rig_.lastCommandDuring(1, 0.1);
  EXPECT_NEAR(held.position, commands[1].back().command.position, kPositionStep);
}

// A servo node's stream through the bridge's follower: one point a message
// at 30 Hz, one period ahead, along a cosine on every joint (0.25 rad/s and
// 0.32 rad/s² at most). Each plan is accepted, no velocity jumps, the
// set-points keep to the course and its speed (no stop between messages),
// and when the messages end the arm runs on for the horizon and stops.
TEST_F(ControllerMotion, AStreamOfSinglePointsIsFollowedWithoutStopping) {
  moveAndWait(kStart);
  rig_.sim().clearReceivedCommands();
  constexpr double kPeriod = 1.0 / 30, kAmplitude = 0.2, kOmega = 2 * M_PI * 0.2;
  const double begin = rig_.now();
  auto course = [&](double t, int j) { return kStart[j] + kAmplitude * (1 - std::cos(kOmega * t)); };
  auto speed = [&](double t) { return kAmplitude * kOmega * std::sin(kOmega * t); };
  kav::bridge::JointStream stream;
  const int messages = 6 * 30;
  for (int k = 1; k <= messages; ++k) {
    kav::t8::TrajectoryPoint point;
    for (int j = 0; j < 6; ++j) point.positions.push_back(course(k * kPeriod, j));
    point.time_from_start = kPeriod;
    ASSERT_NO_THROW(stream.follow({point}, 0.0, rig_.now(),
                                  [&](const auto& points) { arm().followJointTrajectory(points); }))
        << "message " << k;
    rig_.run(begin + k * kPeriod - rig_.now());
  }
  ASSERT_TRUE(arm().waitMotion(10.0));
  const auto commands = received();
  expectNoJump(commands);
  for (int j = 0; j < 6; ++j) {
    double off_course = 0.0, off_speed = 0.0;
    for (const auto& c : commands[j]) {
      const double t = secondsOf(c.time) - begin;
      if (t < 1.0 || t > messages * kPeriod) continue;  // joining the stream from rest, and the end
      off_course = std::max(off_course, std::fabs(c.command.position - course(t, j)));
      off_speed = std::max(off_speed, std::fabs(c.command.velocity - speed(t)));
    }
    EXPECT_LT(off_course, 0.005) << "joint " << j + 1;
    EXPECT_LT(off_speed, 0.03) << "joint " << j + 1;
    // It ran on along the course for the horizon, then stopped at 90 % of
    // the acceleration ceiling (the course as the last three points predict it).
    const double end = messages * kPeriod, horizon = kav::bridge::JointStream::kHorizon;
    const double after = speed(end + horizon);
    EXPECT_NEAR(commands[j].back().command.position,
                course(end + horizon, j) + after * after / (2 * 0.9 * kav::config::kMaxAcceleration), 0.01)
        << "joint " << j + 1;
  }
}

TEST_F(ControllerMotion, BadInputIsRefusedAndTheArmLeftAlone) {
  moveAndWait(kStart);
  std::vector<kav::t8::TrajectoryPoint> bad(1);
  bad[0].positions = {0.3, 0.8, 0.6, 0.0, 0.2, 5.0};
  bad[0].time_from_start = 3.0;
  std::vector<kav::t8::TrajectoryPoint> too_fast(1);
  too_fast[0].positions = {1.3, 0.8, 0.6, 0.0, 0.2, 0.0};
  too_fast[0].time_from_start = 1.0;
  // A straight line whose ends are both reachable but whose middle would
  // need joint 4 beyond its limit.
  const JointArray left{1.5, 0.8, 0.6, 0.0, 0.2, 0.0};
  moveAndWait(left);
  // A point a vanishing time after the one before it.
  std::vector<kav::t8::TrajectoryPoint> vanishing(2);
  vanishing[0].positions = {left.begin(), left.end()};
  vanishing[0].time_from_start = 3.0;
  vanishing[1].positions = {1.6, 0.8, 0.6, 0.0, 0.2, 0.0};
  vanishing[1].time_from_start = 3.0 + 1e-9;
  kav::KinematicDynamicSolver solver(urdfPath(), "base_link", "link6");
  KDL::JntArray right(6);
  for (int j = 0; j < 6; ++j) right(j) = left[j];
  right(0) = -1.5;
  const KDL::Frame frame = solver.computeForwardKinematics(right);
  Eigen::Isometry3d goal = Eigen::Isometry3d::Identity();
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) goal.linear()(r, c) = frame.M(r, c);
    goal.translation()(r) = frame.p(r);
  }
  for (int state : {ControllerBase::POSITION_CONTROL, ControllerBase::G_COMPENSATION}) {
    if (state == ControllerBase::G_COMPENSATION) arm().setArmStatus(state);
    rig_.run(0.05);
    rig_.sim().clearReceivedCommands();
    EXPECT_THROW(arm().followJointTrajectory(bad), std::invalid_argument);
    EXPECT_THROW(arm().followJointTrajectory(too_fast), std::invalid_argument);
    EXPECT_THROW(arm().moveJoints({0.3, 0.8, 0.6, 0.0, 0.2}), std::invalid_argument);
    EXPECT_THROW(arm().moveJoints({kStart.begin(), kStart.end()}, 0.0), std::invalid_argument);
    EXPECT_THROW(arm().moveJoints({kStart.begin(), kStart.end()}, 1e-9), std::invalid_argument);
    EXPECT_THROW(arm().moveLinear(goal, 1e-6), std::invalid_argument);
    EXPECT_THROW(arm().followJointTrajectory(vanishing), std::invalid_argument);
    EXPECT_THROW(arm().setMotionLimits({1, 1, 1, 1, 1, 3.0}, {0.5, 0.5, 0.5, 0.5, 0.5, 0.5}),
                 std::invalid_argument);
    try {
      arm().moveLinear(goal, 0.1);
      ADD_FAILURE() << "the line was accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_THAT(error.what(), testing::HasSubstr("of its length: joint 4 would reach"));
    }
    EXPECT_TRUE(arm().motionDone());
    EXPECT_EQ(arm().getArmStatus(), state);
    for (int j = 0; j < 6; ++j) {
      for (const auto& received : rig_.sim().receivedCommands(j)) {
        if (state == ControllerBase::G_COMPENSATION) {
          EXPECT_EQ(received.command.k_p, 0.0) << "joint " << j + 1;
        } else {
          EXPECT_NEAR(received.command.position, left[j], kPositionStep) << "joint " << j + 1;
          EXPECT_NEAR(received.command.velocity, 0.0, velocityStep(j)) << "joint " << j + 1;
        }
      }
    }
  }
}

TEST_F(ControllerMotion, AStraightLineAndItsEndByAJointTarget) {
  moveAndWait(kStart);
  Eigen::Isometry3d goal = arm().getEndPose();
  Eigen::Isometry3d start_pose = goal;
  goal.translation() += Eigen::Vector3d(0.03, 0.0, -0.02);
  arm().moveLinear(goal, 0.03);
  ASSERT_TRUE(arm().waitMotion(20.0));
  rig_.run(0.3);
  EXPECT_LT((arm().getEndPose().translation() - goal.translation()).norm(), 0.003);
  // A joint target ends a running motion at the next cycle.
  arm().moveLinear(start_pose, 0.03);
  rig_.run(0.2);
  EXPECT_FALSE(arm().motionDone());
  arm().setJointPositions(arm().getJointPositons());
  rig_.run(kCycle);
  EXPECT_TRUE(arm().motionDone());
}
