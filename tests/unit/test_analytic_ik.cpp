// Levenberg-Marquardt inverse kinematics of the analytic package.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <solver/Exercise.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "../../src/solver/ExerciseChain.h"

using namespace kav::solve;
using testing::MatchesRegex;

namespace {

std::string stop_capture() {
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

float pose_error_norm(float* q, float (*target)[4]) {
  float T[4][4], e[6];
  fk(q, T);
  my_tr2dlta(T, target, e);
  float sum = 0.0f;
  for (float v : e) sum += v * v;
  return std::sqrt(sum);
}

}  // namespace

TEST(LevenbergMarquardt, TargetAtTheSeedEndsInTheFirstIteration) {
  float seed[6] = {0.1f, -0.7f, 1.2f, -0.2f, 0.3f, 0.5f};
  float T[4][4], q[6];
  fk(seed, T);
  IkStatus status;
  ik_LM(T, seed, q, &status);
  EXPECT_EQ(status.exit, IkExit::kConverged);
  EXPECT_EQ(status.iterations, 1);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(q[i], seed[i]);
}

TEST(LevenbergMarquardt, ConvergesFromANearbySeedOntoTheTarget) {
  float goal[6] = {-0.4f, -1.3f, 0.8f, 0.5f, -0.6f, 1.1f};
  float seed[6] = {-0.3f, -1.2f, 0.7f, 0.6f, -0.5f, 1.0f};
  float T[4][4], q[6];
  fk(goal, T);
  testing::internal::CaptureStdout();
  IkStatus status;
  ik_LM(T, seed, q, &status);
  EXPECT_EQ(stop_capture(), "");
  EXPECT_EQ(status.exit, IkExit::kConverged);
  EXPECT_LT(status.iterations, 20);
  EXPECT_LT(pose_error_norm(q, T), 1e-4f);
  EXPECT_EQ(status.error_norm, pose_error_norm(q, T));
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(q[i], goal[i], 1e-3f);
}

TEST(LevenbergMarquardt, UnreachableTargetStopsAfterRejectionsSilently) {
  double seed[6] = {0.0, 0.5, 0.5, 0.0, 0.0, 0.0};
  double target[6] = {2.0, 0.0, 0.0, 0.0, 0.0, 0.0};  // 2 m away: out of reach
  double q[6];
  testing::internal::CaptureStdout();
  IkStatus status;
  q7_ik_lm(seed, target, q, &status);
  EXPECT_EQ(stop_capture(), "");
  EXPECT_EQ(status.exit, IkExit::kRejectionLimit);
  EXPECT_GT(status.error_norm, 1.0f);
  for (double v : q) EXPECT_TRUE(std::isfinite(v));
}

TEST(LevenbergMarquardt, IterationLimitPrintsTheLastTrialError) {
  // An unreachable target (found by search) on which the solver keeps
  // finding small improvements until the iteration limit.
  double seed[6] = {0.0, 0.5, 0.5, 0.0, 0.0, 0.0};
  double target[6] = {0.0,
                      0.15018935592716937,
                      0.77062287894712944,
                      -1.1770083785545407,
                      -0.1420670423073449,
                      -1.0320225107057213};
  double q[6];
  testing::internal::CaptureStdout();
  IkStatus status;
  q7_ik_lm(seed, target, q, &status);
  EXPECT_THAT(stop_capture(), MatchesRegex("out of ilimit! [0-9]+\\.[0-9]{8}\n"));
  EXPECT_EQ(status.exit, IkExit::kIterationLimit);
  EXPECT_EQ(status.iterations, 500);
}

TEST(LevenbergMarquardt, SingularNormalMatrixGivesNoStep) {
  float N[6][6] = {};
  const float g[6] = {1, 2, 3, 4, 5, 6};
  double dq[6] = {9, 9, 9, 9, 9, 9};
  EXPECT_FALSE(detail::damped_step(N, g, dq));
  for (double v : dq) EXPECT_EQ(v, 9.0);

  for (int i = 0; i < 6; ++i) N[i][i] = 2.0f;
  ASSERT_TRUE(detail::damped_step(N, g, dq));
  for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(dq[i], g[i] / 2.0);
}

TEST(ArmInverseKinematics, RecoversTheJointsOfAForwardPose) {
  double goal[6] = {0.2, 1.5, 1.0, 0.3, -0.4, 0.5};  // x = 0.23 m, not clamped
  double seed[6], pose[6], q[6], back[6];
  for (int i = 0; i < 6; ++i) seed[i] = goal[i] + (i % 2 ? -0.1 : 0.1);
  q7_fk(goal, pose);
  IkStatus status;
  q7_ik_lm(seed, pose, q, &status);
  EXPECT_EQ(status.exit, IkExit::kConverged);
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(q[i], goal[i], 1e-3) << i;
  q7_fk(q, back);
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(back[i], pose[i], 1e-4) << i;
}

TEST(ArmInverseKinematics, NegativeXIsClampedOnlyByTheVectorForm) {
  double seed[6] = {0.0, 0.5, 0.5, 0.0, 0.0, 0.0};
  double target[6] = {-0.1, 0.0, 0.2, 0.0, 0.3, 0.0};
  double at_zero[6] = {0.0, 0.0, 0.2, 0.0, 0.3, 0.0};
  double q[6], q_zero[6];
  q7_ik_lm(seed, target, q);
  EXPECT_EQ(target[0], 0.0);  // written back into the caller's array
  q7_ik_lm(seed, at_zero, q_zero);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(q[i], q_zero[i]);

  // A reachable pose with negative x through the matrix form.
  double goal[6] = {0.0, 0.3, 1.2, 0.2, 0.3, 0.0};
  double M[4][4], pose[6];
  q7_fk_matrix(goal, M);
  ASSERT_LT(M[0][3], -0.1);
  const double x = M[0][3];
  double near_goal[6];
  for (int i = 0; i < 6; ++i) near_goal[i] = goal[i] + 0.05;
  q7_ik_lm_matrix(near_goal, M, q);
  EXPECT_EQ(M[0][3], x);
  q7_fk(q, pose);
  EXPECT_NEAR(pose[0], x, 1e-4);
}

TEST(ArmInverseKinematics, SeedIsLimitedOnJointsThreeAndFour) {
  // The pose at joint 3 = 2.7 and joint 4 = 1.1 is found in the first
  // iteration from a seed beyond both limits.
  double at_limits[6] = {0.1, 0.2, 2.7f, 1.1f, 0.3, 0.4};
  double seed[6] = {0.1, 0.2, 3.0, 1.3, 0.3, 0.4};
  double pose[4][4], q[6];
  q7_fk_matrix(at_limits, pose);
  IkStatus status;
  q7_ik_lm_matrix(seed, pose, q, &status);
  EXPECT_EQ(status.exit, IkExit::kConverged);
  EXPECT_EQ(status.iterations, 1);
  EXPECT_EQ(q[2], static_cast<double>(2.7f));
  EXPECT_EQ(q[3], static_cast<double>(1.1f));
  EXPECT_EQ(q[1], static_cast<double>(0.2f));  // joints 2 and 5 come back in arm sense
  EXPECT_EQ(q[4], static_cast<double>(0.3f));
}
