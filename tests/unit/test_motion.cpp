// The motion mathematics against hand-computed values: trajectory
// interpolation of each kind, the refusals of bad points, the synchronised
// move, the stop, and the straight line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <motion/CartesianLine.h>
#include <motion/PointToPoint.h>
#include <motion/Trajectory.h>
#include <solver/kinematic_solver.h>

#include <cmath>
#include <limits>
#include <stdexcept>

using namespace kav::motion;
using testing::HasSubstr;

namespace {

const JointArray kLower{-3.14, -0.1, -0.1, -1.29, -1.48, -1.74};
const JointArray kUpper{2.618, 3.6, 3.0, 1.29, 1.48, 1.74};

// A point that moves joint 1 only; the other joints stay at 0.3.
TrajectoryPoint point(double q, double t, std::vector<double> v = {}, std::vector<double> a = {}) {
  TrajectoryPoint p;
  p.positions = {q, 0.3, 0.3, 0.3, 0.3, 0.3};
  if (!v.empty()) p.velocities = {v[0], 0, 0, 0, 0, 0};
  if (!a.empty()) p.accelerations = {a[0], 0, 0, 0, 0, 0};
  p.time_from_start = t;
  return p;
}

JointSample restAt(double q) {
  JointSample s;
  s.position = {q, 0.3, 0.3, 0.3, 0.3, 0.3};
  return s;
}

JointSample at(const Motion& motion, double t) {
  JointSample s;
  motion.sample(t, s);
  return s;
}

std::string refusalOf(const std::vector<TrajectoryPoint>& points) {
  try {
    checkTrajectoryPoints(points, kLower, kUpper, "followJointTrajectory");
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "accepted";
}

}  // namespace

TEST(TrajectoryInterpolation, PositionsOnlyIsACubicSplineWithContinuousAcceleration) {
  // Knots 0, 0.5, 1.0 at 0, 2, 4 s, at rest at both ends: the inner knot's
  // velocity solves 8 v1 = 3 (2 * 0.25 + 2 * 0.25), so v1 = 0.375.
  const auto trajectory = interpolateTrajectory(restAt(0.0), {point(0.5, 2.0), point(1.0, 4.0)});
  EXPECT_DOUBLE_EQ(trajectory->duration(), 4.0);
  EXPECT_NEAR(at(*trajectory, 2.0).position[0], 0.5, 1e-12);
  EXPECT_NEAR(at(*trajectory, 2.0).velocity[0], 0.375, 1e-12);
  // First segment: c2 = 0.1875, c3 = -0.03125.
  EXPECT_NEAR(at(*trajectory, 1.0).position[0], 0.15625, 1e-12);
  EXPECT_NEAR(at(*trajectory, 1.0).velocity[0], 0.28125, 1e-12);
  EXPECT_NEAR(at(*trajectory, 2.0 - 1e-9).acceleration[0], at(*trajectory, 2.0).acceleration[0], 1e-6);
  EXPECT_NEAR(at(*trajectory, 0.0).velocity[0], 0.0, 1e-12);
  const JointSample end = at(*trajectory, 5.0);
  EXPECT_DOUBLE_EQ(end.position[0], 1.0);
  EXPECT_DOUBLE_EQ(end.velocity[0], 0.0);
  EXPECT_DOUBLE_EQ(end.position[3], 0.3);
}

TEST(TrajectoryInterpolation, PositionsOnlyStartsWithThePresentVelocity) {
  JointSample start = restAt(0.0);
  start.velocity[0] = 0.2;
  const auto trajectory = interpolateTrajectory(start, {point(0.5, 2.0), point(1.0, 4.0), point(1.2, 6.0)});
  EXPECT_NEAR(at(*trajectory, 0.0).velocity[0], 0.2, 1e-12);
  EXPECT_NEAR(at(*trajectory, 4.0 - 1e-9).acceleration[0], at(*trajectory, 4.0).acceleration[0], 1e-6);
  EXPECT_NEAR(at(*trajectory, 6.0 - 1e-9).velocity[0], 0.0, 1e-6);
}

TEST(TrajectoryInterpolation, WithVelocitiesIsCubicHermite) {
  const auto trajectory =
      interpolateTrajectory(restAt(0.0), {point(0.2, 2.0, {0.1}), point(0.3, 4.0, {0.0})});
  // First segment: slope 0.1, c2 = 0.1, c3 = -0.025.
  EXPECT_NEAR(at(*trajectory, 1.0).position[0], 0.075, 1e-12);
  EXPECT_NEAR(at(*trajectory, 1.0).velocity[0], 0.125, 1e-12);
  EXPECT_NEAR(at(*trajectory, 2.0).velocity[0], 0.1, 1e-12);
  EXPECT_NEAR(at(*trajectory, 3.0).position[0], 0.275, 1e-12);  // 0.2 + 0.1 - 0.025, no cubic term
}

TEST(TrajectoryInterpolation, WithAccelerationsIsQuintic) {
  // Rest to rest over 2 s: the minimum-jerk polynomial 10τ³ - 15τ⁴ + 6τ⁵.
  const auto trajectory = interpolateTrajectory(restAt(0.0), {point(0.1, 2.0, {0.0}, {0.0})});
  EXPECT_NEAR(at(*trajectory, 0.5).position[0], 0.0103515625, 1e-12);
  EXPECT_NEAR(at(*trajectory, 1.0).position[0], 0.05, 1e-12);
  EXPECT_NEAR(at(*trajectory, 1.0).velocity[0], 0.09375, 1e-12);
  EXPECT_NEAR(at(*trajectory, 1.0).acceleration[0], 0.0, 1e-12);
  // From a moving start the quintic keeps the start's velocity and acceleration.
  JointSample start = restAt(0.0);
  start.velocity[0] = 0.05;
  start.acceleration[0] = 0.02;
  const auto moving = interpolateTrajectory(start, {point(0.1, 2.0, {0.0}, {0.0})});
  EXPECT_NEAR(at(*moving, 0.0).velocity[0], 0.05, 1e-12);
  EXPECT_NEAR(at(*moving, 0.0).acceleration[0], 0.02, 1e-12);
  EXPECT_NEAR(at(*moving, 2.0 - 1e-9).position[0], 0.1, 1e-9);
  EXPECT_NEAR(at(*moving, 2.0 - 1e-9).acceleration[0], 0.0, 1e-6);
}

TEST(TrajectoryPoints, EveryBadInputIsRefusedNamingThePointAndJoint) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto five = point(0.1, 1.0);
  five.positions.pop_back();
  auto not_finite = point(0.1, 1.0);
  not_finite.positions[2] = nan;
  auto outside = point(0.1, 1.0);
  outside.positions[1] = 3.7;
  auto short_velocities = point(0.1, 1.0, {0.0});
  short_velocities.velocities.resize(3);
  EXPECT_THAT(refusalOf({}), HasSubstr("no points"));
  EXPECT_THAT(refusalOf({point(0.0, 1.0), five}), HasSubstr("points[1].positions holds 5 values"));
  EXPECT_THAT(refusalOf({not_finite}),
              HasSubstr("points[0].positions: the value of joint 3 is not a finite"));
  EXPECT_THAT(refusalOf({outside}), HasSubstr("points[0]: the position 3.7 rad of joint 2 is outside"));
  EXPECT_THAT(refusalOf({short_velocities}), HasSubstr("points[0].velocities holds 3 values"));
  EXPECT_THAT(refusalOf({point(0.1, 0.0)}), HasSubstr("must be above 0"));
  EXPECT_THAT(refusalOf({point(0.1, 1.0), point(0.2, 1.0)}),
              HasSubstr("points[1].time_from_start 1 s does not"));
  EXPECT_THAT(refusalOf({point(0.1, nan)}), HasSubstr("points[0].time_from_start is not a finite"));
  EXPECT_THAT(refusalOf({point(0.1, 1.0, {0.0}), point(0.2, 2.0)}), HasSubstr("points[1] has no velocities"));
  EXPECT_THAT(refusalOf({point(0.1, 1.0, {0.1})}), HasSubstr("joint 1 must end at rest"));
  EXPECT_EQ(refusalOf({point(0.1, 1.0), point(0.2, 2.0)}), "accepted");
}

TEST(TrajectoryPoints, SampledLimitsAreChecked) {
  const MotionLimits limits = MotionLimits::defaults();
  // 1 rad in 2 s from rest to rest needs 1.5 rad/s² at the start.
  const auto fast = interpolateTrajectory(restAt(0.0), {point(1.0, 2.0)});
  try {
    checkSampledMotion(*fast, limits, kLower, kUpper, "followJointTrajectory");
    FAIL() << "accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_THAT(error.what(), HasSubstr("joint 1"));
    EXPECT_THAT(error.what(), HasSubstr("acceleration limit 0.5"));
  }
  // A spline that overshoots a joint limit between points is refused too.
  const auto overshoot = interpolateTrajectory(restAt(2.4), {point(2.6, 10.0), point(0.0, 20.0)});
  EXPECT_THROW(checkSampledMotion(*overshoot, limits, kLower, kUpper, "f"), std::invalid_argument);
  const auto slow = interpolateTrajectory(restAt(0.0), {point(0.5, 4.0)});
  EXPECT_NO_THROW(checkSampledMotion(*slow, limits, kLower, kUpper, "f"));
}

TEST(TrajectoryPoints, VanishingSegmentsAndJumpsBetweenSamplesAreRefused) {
  EXPECT_THAT(refusalOf({point(0.1, 1.0), point(0.2, 1.0 + 1e-9)}),
              HasSubstr("points[1].time_from_start 1 s comes only 1e-09 s after points[0] (1 s); a segment "
                        "must last at least 0.001 s"));
  EXPECT_THAT(refusalOf({point(0.1, 1e-4)}), HasSubstr("only 0.0001 s after the start"));
  EXPECT_THAT(refusalOf({point(0.1, 4000.0)}), HasSubstr("later than 3600 s"));
  EXPECT_EQ(refusalOf({point(0.1, 1.0), point(0.2, 1.001)}), "accepted");
  // A 2.5 ms segment between two samples: every sampled velocity and
  // acceleration is within the limits, but the set-point steps 0.02 rad
  // from one sample to the next (4 rad/s).
  const auto jump =
      interpolateTrajectory(restAt(0.0), {point(0.1, 2.001, {0.0}), point(0.12, 2.0035, {0.0})});
  try {
    checkSampledMotion(*jump, MotionLimits::defaults(), kLower, kUpper, "followJointTrajectory");
    FAIL() << "accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_THAT(error.what(), HasSubstr("joint 1's position would change by 0.02"));
    EXPECT_THAT(error.what(), HasSubstr("rad in one sample period at t = 2.005 s, 4"));
    EXPECT_THAT(error.what(), HasSubstr("above its velocity limit 2 rad/s"));
  }
}

TEST(PointToPoint, TimeOptimalDurations) {
  EXPECT_DOUBLE_EQ(timeOptimalDuration(10.0, 2.0, 0.5), 9.0);                // 10/2 + 2/0.5
  EXPECT_DOUBLE_EQ(timeOptimalDuration(1.0, 2.0, 0.5), 2 * std::sqrt(2.0));  // never reaches 2 rad/s
  EXPECT_DOUBLE_EQ(timeOptimalDuration(0.0, 2.0, 0.5), 0.0);
}

TEST(PointToPoint, JointsStartAndArriveTogetherWithinTheLimits) {
  const MotionLimits limits = MotionLimits::defaults();
  const JointArray start{0.0, 0.5, 0.5, 0.0, 0.0, 0.0};
  const JointArray target{1.0, 0.25, 0.5, 0.1, 0.0, -0.5};
  const SynchronizedMove move(start, target, limits, 1.0);
  ASSERT_DOUBLE_EQ(move.duration(), 2 * std::sqrt(2.0));  // joint 1, the slowest
  // Every joint's profile is stretched to the same duration and symmetric:
  // half way in time is half way in distance.
  const JointSample middle = at(move, move.duration() / 2);
  for (int j = 0; j < kJoints; ++j) EXPECT_NEAR(middle.position[j], (start[j] + target[j]) / 2, 1e-12) << j;
  // Joint 2 alone would need 2 √0.5 s; stretched twice, its peak speed halves
  // (0.354 -> 0.177 rad/s) and its acceleration quarters (0.125 rad/s²).
  EXPECT_NEAR(middle.velocity[1], -0.5 * std::sqrt(0.125), 1e-12);
  EXPECT_NEAR(at(move, 0.1).acceleration[1], -0.125, 1e-12);
  JointSample previous = at(move, 0.0);
  for (double t = kSamplePeriod; t <= move.duration() + 0.02; t += kSamplePeriod) {
    const JointSample s = at(move, t);
    for (int j = 0; j < kJoints; ++j) {
      EXPECT_LE(std::fabs(s.velocity[j]), 2.0 + 1e-12);
      EXPECT_LE(std::fabs(s.velocity[j] - previous.velocity[j]), 0.5 * kSamplePeriod + 1e-12)
          << j << " " << t;
    }
    previous = s;
  }
  for (int j = 0; j < kJoints; ++j) EXPECT_DOUBLE_EQ(at(move, move.duration()).position[j], target[j]);
  EXPECT_DOUBLE_EQ(SynchronizedMove(start, target, limits, 0.5).duration(), 2 * move.duration());
  EXPECT_DOUBLE_EQ(SynchronizedMove(start, target, limits, kMinSpeedScale).duration(),
                   move.duration() / kMinSpeedScale);
  for (double scale : {1e-300, 9.99e-4, 1.5}) {
    EXPECT_THROW(SynchronizedMove(start, target, limits, scale), std::invalid_argument) << scale;
  }
}

TEST(PointToPoint, StopDeceleratesEveryJointTogetherWithinTheLimits) {
  JointSample moving = restAt(0.0);
  moving.velocity = {1.0, -0.5, 0.0, 0.0, 0.0, 0.0};
  const StopProfile stop(moving, MotionLimits::defaults());
  EXPECT_DOUBLE_EQ(stop.duration(), 2.0);  // 1.0 rad/s at 0.5 rad/s²
  EXPECT_DOUBLE_EQ(at(stop, 1.0).velocity[0], 0.5);
  EXPECT_DOUBLE_EQ(at(stop, 1.0).velocity[1], -0.25);
  EXPECT_DOUBLE_EQ(stop.finalPosition()[0], 1.0);
  EXPECT_DOUBLE_EQ(stop.finalPosition()[1], -0.2);  // 0.3 - 0.5 * 2 / 2
  EXPECT_TRUE(atRest(at(stop, 2.0)));
}

TEST(CartesianLine, TimingRampsSmoothly) {
  // 0.1 m at 0.05 m/s: path rate 0.5/s; peak path acceleration a / 0.1 m;
  // each ramp lasts 1.5 rate / acceleration and covers rate × ramp / 2.
  const double acceleration = kav::config::kLineAcceleration / 0.1;
  const double ramp = 1.5 * 0.5 / acceleration;
  const LineTiming timing(0.1, 0.0, 0.05);
  EXPECT_DOUBLE_EQ(timing.duration(), 2.0 + ramp);
  EXPECT_NEAR(timing.at(ramp), 0.25 * ramp, 1e-12);
  EXPECT_NEAR(timing.at(timing.duration() / 2), 0.5, 1e-12);
  EXPECT_NEAR(timing.rate(timing.duration() / 2), 0.5, 1e-12);
  EXPECT_NEAR(timing.rate(ramp / 2), 0.5 * 0.5, 1e-12);  // 3x² - 2x³ at x = 1/2
  EXPECT_DOUBLE_EQ(timing.rate(0.0), 0.0);
  EXPECT_DOUBLE_EQ(timing.at(timing.duration()), 1.0);
  // Too short to reach the speed: ramps up and straight down, 1.5 rate² = acceleration.
  const LineTiming short_line(0.001, 0.0, 0.05);
  EXPECT_NEAR(short_line.duration(), 2.0 / std::sqrt(kav::config::kLineAcceleration / 0.001 / 1.5), 1e-12);
}

class LinePlanning : public testing::Test {
 protected:
  LinePlanning() : solver_(kav::urdf_xml_g) {}
  Eigen::Isometry3d poseOf(const JointArray& q) {
    KDL::JntArray joints(kJoints);
    for (int j = 0; j < kJoints; ++j) joints(j) = q[j];
    const KDL::Frame frame = solver_.computeForwardKinematics(joints);
    Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) pose.linear()(r, c) = frame.M(r, c);
      pose.translation()(r) = frame.p(r);
    }
    return pose;
  }
  kav::KinematicDynamicSolver solver_;
  const JointArray start_{0.3, 0.8, 0.6, 0.0, 0.2, 0.0};
};

TEST_F(LinePlanning, EverySampleLiesOnTheLine) {
  const Eigen::Isometry3d from = poseOf(start_);
  Eigen::Isometry3d goal = from;
  goal.translation() += Eigen::Vector3d(0.03, -0.02, 0.01);
  goal.rotate(Eigen::AngleAxisd(0.1, Eigen::Vector3d::UnitZ()));
  const auto line = planLine(solver_, start_, goal, 0.04, MotionLimits::defaults());
  const Eigen::Vector3d direction = (goal.translation() - from.translation()).normalized();
  double worst = 0.0;
  for (const JointArray& q : line->positions()) {
    const Eigen::Vector3d offset = poseOf(q).translation() - from.translation();
    worst = std::max(worst, (offset - offset.dot(direction) * direction).norm());
  }
  EXPECT_LT(worst, 1e-9);
  EXPECT_TRUE(poseOf(line->positions().back()).isApprox(goal, 1e-9));
  EXPECT_EQ(line->velocities().back(), JointArray{});
}

TEST_F(LinePlanning, ALineThatCannotBeFollowedIsRefusedWithItsFraction) {
  Eigen::Isometry3d far = poseOf(start_);
  far.translation().x() += 1.0;
  try {
    planLine(solver_, start_, far, 0.05, MotionLimits::defaults());
    FAIL() << "accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_THAT(error.what(), testing::MatchesRegex(".*cannot be followed at 0\\.[0-9]+ of its length.*"));
  }
  Eigen::Isometry3d skewed = poseOf(start_);
  skewed.linear()(0, 0) = 2.0;
  EXPECT_THROW(planLine(solver_, start_, skewed, 0.05, MotionLimits::defaults()), std::invalid_argument);
  EXPECT_THROW(planLine(solver_, start_, poseOf(start_), 0.0, MotionLimits::defaults()),
               std::invalid_argument);
}

TEST_F(LinePlanning, VanishingSpeedsAndOverlongLinesAreRefusedBeforeAnythingIsSolved) {
  Eigen::Isometry3d goal = poseOf(start_);
  goal.translation().z() += 0.01;
  auto refusal = [&](double speed) {
    try {
      planLine(solver_, start_, goal, speed, MotionLimits::defaults());
    } catch (const std::invalid_argument& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_THAT(refusal(1e-6),
              HasSubstr("the speed must be a finite number of at least 0.0001 m/s, got 1e-06"));
  goal.translation().z() += 0.01;  // 2 cm
  EXPECT_THAT(refusal(1.5e-4),
              HasSubstr("the line of 0.02 m would take 133 s at 0.00015 m/s; a line may last "
                        "at most 120 s"));
}
