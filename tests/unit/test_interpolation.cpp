#include <gtest/gtest.h>
#include <solver/Interpolation.h>

#include <cmath>
#include <stdexcept>

namespace {

using kav::solve::Interpolation;
using kav::solve::Linearinterpolation;
using kav::solve::TrapezoidalInterpolation;

struct Step {
  double setpoint;
  double speed;
};

// One call from `setpoint` towards `target`; the frequency is not read.
Step step(double setpoint, double target, double max_acc, double max_vel) {
  double speed = -99.0;
  Interpolation(&target, &setpoint, &speed, max_acc, max_vel, 200.0);
  return {setpoint, speed};
}

double single(double value) { return static_cast<double>(static_cast<float>(value)); }

TEST(Interpolation, SpeedBandsWithTheControllerLimits) {
  // max_acc 0.5, max_vel 2.0: D = 4.
  Step s = step(0.0, 1.0, 0.5, 2.0);
  EXPECT_EQ(s.speed, 1.0);
  EXPECT_EQ(s.setpoint, single(0.03));

  s = step(0.0, 10.0, 0.5, 2.0);
  EXPECT_EQ(s.speed, 2.0);
  EXPECT_EQ(s.setpoint, single(0.06));

  s = step(0.0, 6.0, 0.5, 2.0);
  EXPECT_EQ(s.speed, single(std::sqrt(2.0)));
  EXPECT_EQ(s.setpoint, static_cast<double>(static_cast<float>(std::sqrt(2.0)) * 0.03f));
}

TEST(Interpolation, MiddleBandWithTheHomingLimits) {
  // max_acc 0.08, max_vel 0.2: D = 0.25; just inside 2D the speed collapses.
  EXPECT_NEAR(step(0.0, 0.49, 0.08, 0.2).speed, 0.04, 1e-6);
  EXPECT_EQ(step(0.0, 0.51, 0.08, 0.2).speed, single(0.2));
}

TEST(Interpolation, TargetBehindGivesTheSameMagnitudesNegative) {
  for (double distance : {1.0, 6.0, 10.0}) {
    const Step ahead = step(0.0, distance, 0.5, 2.0);
    const Step behind = step(0.0, -distance, 0.5, 2.0);
    EXPECT_EQ(behind.speed, -ahead.speed) << distance;
    EXPECT_EQ(behind.setpoint, -ahead.setpoint) << distance;
  }
  EXPECT_NEAR(step(0.0, -0.49, 0.08, 0.2).speed, -0.04, 1e-6);
}

TEST(Interpolation, SetpointIsCarriedInSinglePrecision) {
  const Step s = step(0.1, 0.1, 0.5, 2.0);
  EXPECT_EQ(s.speed, 0.0);
  EXPECT_EQ(s.setpoint, 0.10000000149011612);

  EXPECT_EQ(step(0.1, 10.0, 0.5, 2.0).setpoint, static_cast<double>(0.06f + 0.1f));
}

TEST(Interpolation, LandsOnTheTargetAtRestAndStaysThere) {
  const double limits[][2] = {{0.5, 2.0}, {0.08, 0.2}, {0.3, 1.3}};
  for (const auto& l : limits) {
    for (double target : {1.0, -0.7, 0.0123}) {
      double setpoint = 0.25, speed = 0.0;
      int steps = 0;
      for (; steps < 5000 && !(setpoint == single(target) && speed == 0.0); ++steps) {
        Interpolation(&target, &setpoint, &speed, l[0], l[1], 200.0);
        ASSERT_LE(std::fabs(speed), single(l[1]));
      }
      EXPECT_LT(steps, 5000) << "never landed: " << l[0] << " " << target;
      for (int i = 0; i < 10; ++i) {
        Interpolation(&target, &setpoint, &speed, l[0], l[1], 200.0);
        EXPECT_EQ(setpoint, single(target));
        EXPECT_EQ(speed, 0.0);
      }
    }
  }
  // Farther than one step, or faster than one acceleration step, the step is
  // the ordinary one: 0.9 mrad away at 0.5 rad/s² the step of
  // sqrt(2 * 0.5 * 9e-4) * 0.03 = 9e-4 still moves on at speed 0.03.
  const Step s = step(0.0, 9e-4, 0.5, 2.0);
  EXPECT_NEAR(s.speed, 0.03, 1e-6);
}

TEST(Interpolation, RoundingNegativeRadicandAtTheBandEdgeGivesSpeedZero) {
  // At these single-precision values the middle-band radicand evaluates to
  // -1.19e-7: the edge of the band, where the speed is zero.
  const double from = single(-7.4), to = single(-1.76666737);
  for (const auto& [a, b] : {std::pair{from, to}, std::pair{to, from}}) {
    const Step s = step(a, b, 0.3, 1.3);
    EXPECT_EQ(s.speed, 0.0);
    EXPECT_EQ(s.setpoint, a);
  }
}

TEST(Interpolation, ZeroOrNegativeLimitsHoldTheSetpoint) {
  const double limits[][2] = {{0.0, 2.0}, {0.0, 0.0}, {0.5, 0.0}, {-0.5, 2.0}, {0.5, -2.0}};
  for (const auto& l : limits) {
    const Step s = step(0.25, 3.0, l[0], l[1]);
    EXPECT_EQ(s.speed, 0.0) << l[0] << " " << l[1];
    EXPECT_EQ(s.setpoint, 0.25) << l[0] << " " << l[1];
  }
}

TEST(Interpolation, BadInputIsRefusedAndNothingChanges) {
  double target = 1.0, setpoint = 0.5, speed = 7.0;
  EXPECT_THROW(Interpolation(nullptr, &setpoint, &speed, 0.5, 2.0, 200), std::invalid_argument);
  EXPECT_THROW(Interpolation(&target, nullptr, &speed, 0.5, 2.0, 200), std::invalid_argument);
  EXPECT_THROW(Interpolation(&target, &setpoint, nullptr, 0.5, 2.0, 200), std::invalid_argument);
  EXPECT_THROW(Interpolation(&target, &setpoint, &speed, NAN, 2.0, 200), std::invalid_argument);
  EXPECT_THROW(Interpolation(&target, &setpoint, &speed, 0.5, 1e39, 200), std::invalid_argument);
  double bad = NAN;
  EXPECT_THROW(Interpolation(&bad, &setpoint, &speed, 0.5, 2.0, 200), std::invalid_argument);
  EXPECT_THROW(Interpolation(&target, &bad, &speed, 0.5, 2.0, 200), std::invalid_argument);
  EXPECT_EQ(setpoint, 0.5);
  EXPECT_EQ(speed, 7.0);
}

TEST(Linearinterpolation, StepsAtTheRateAndLandsExactlyOnTheTarget) {
  for (double target : {0.05, -0.05}) {
    double setpoint = 0.0;
    int calls = 0;
    while (setpoint != target && calls < 100) {
      const double before = setpoint;
      Linearinterpolation(&setpoint, target, 1.0, 100.0);
      ++calls;
      EXPECT_LE(std::fabs(setpoint - before), 0.01 + 1e-15);
      EXPECT_LE(std::fabs(target - setpoint), std::fabs(target - before));
    }
    EXPECT_EQ(setpoint, target);
    EXPECT_GE(calls, 5);
    EXPECT_LE(calls, 6);
  }
}

TEST(Linearinterpolation, NegativeRateStillMovesTowardsTheTarget) {
  double setpoint = 1.0;
  Linearinterpolation(&setpoint, 2.0, -10.0, 100.0);
  EXPECT_DOUBLE_EQ(setpoint, 1.1);
}

TEST(Linearinterpolation, BadInputIsRefused) {
  double setpoint = 0.3;
  EXPECT_THROW(Linearinterpolation(nullptr, 1.0, 1.0, 100.0), std::invalid_argument);
  EXPECT_THROW(Linearinterpolation(&setpoint, 1.0, 1.0, 0.0), std::invalid_argument);
  EXPECT_THROW(Linearinterpolation(&setpoint, NAN, 1.0, 100.0), std::invalid_argument);
  EXPECT_THROW(Linearinterpolation(&setpoint, 1.0, INFINITY, 100.0), std::invalid_argument);
  EXPECT_EQ(setpoint, 0.3);
}

TEST(TrapezoidalInterpolation, TrapezoidPhases) {
  // 0 -> 10 at 1 m/s^2 and 2 m/s: 2 s up, 3 s cruise, 2 s down.
  const double at[][2] = {{-1.0, 0.0}, {0.0, 0.0}, {1.0, 0.5},  {2.0, 2.0},  {3.5, 5.0},
                          {5.0, 8.0},  {6.0, 9.5}, {7.0, 10.0}, {50.0, 10.0}};
  for (const auto& p : at) {
    EXPECT_NEAR(TrapezoidalInterpolation(p[0], 0.0, 10.0, 1.0, 2.0, 200.0), p[1], 1e-12) << "t = " << p[0];
  }
  EXPECT_EQ(TrapezoidalInterpolation(INFINITY, 0.0, 10.0, 1.0, 2.0, 200.0), 10.0);
}

TEST(TrapezoidalInterpolation, TriangleWhenTheSpeedLimitIsOutOfReach) {
  // 1 -> 0 at 2 m/s^2: peak at t = sqrt(0.5), halfway; ends at 2 sqrt(0.5).
  const double peak = std::sqrt(0.5);
  EXPECT_NEAR(TrapezoidalInterpolation(0.5, 1.0, 0.0, 2.0, 10.0, 200.0), 0.75, 1e-12);
  EXPECT_NEAR(TrapezoidalInterpolation(peak, 1.0, 0.0, 2.0, 10.0, 200.0), 0.5, 1e-12);
  EXPECT_NEAR(TrapezoidalInterpolation(2 * peak - 0.5, 1.0, 0.0, 2.0, 10.0, 200.0), 0.25, 1e-12);
  EXPECT_EQ(TrapezoidalInterpolation(2 * peak, 1.0, 0.0, 2.0, 10.0, 200.0), 0.0);
}

TEST(TrapezoidalInterpolation, ProfileIsMonotoneAndWithinTheSpeedLimit) {
  const double dt = 1e-3;
  double previous = TrapezoidalInterpolation(0.0, 2.0, -1.0, 0.7, 0.9, 200.0);
  for (double t = dt; t < 8.0; t += dt) {
    const double x = TrapezoidalInterpolation(t, 2.0, -1.0, 0.7, 0.9, 200.0);
    ASSERT_LE(x, previous) << t;
    ASSERT_LE((previous - x) / dt, 0.9 + 1e-9) << t;
    previous = x;
  }
  EXPECT_EQ(previous, -1.0);
}

TEST(TrapezoidalInterpolation, UnusableLimitsOrDistanceGiveTheTarget) {
  EXPECT_EQ(TrapezoidalInterpolation(0.1, 0.0, 3.0, 0.0, 1.0, 200.0), 3.0);
  EXPECT_EQ(TrapezoidalInterpolation(0.1, 0.0, 3.0, 1.0, -1.0, 200.0), 3.0);
  EXPECT_EQ(TrapezoidalInterpolation(0.1, 3.0, 3.0, 1.0, 1.0, 200.0), 3.0);
  EXPECT_THROW(TrapezoidalInterpolation(NAN, 0.0, 3.0, 1.0, 1.0, 200.0), std::invalid_argument);
  EXPECT_THROW(TrapezoidalInterpolation(0.1, 0.0, INFINITY, 1.0, 1.0, 200.0), std::invalid_argument);
}

}  // namespace
