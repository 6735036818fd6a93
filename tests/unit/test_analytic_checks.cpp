// Joint-limit and workspace checks of the analytic package.
#include <gtest/gtest.h>
#include <solver/Exercise.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

using namespace kav::solve;

namespace {

std::string stop_capture() {
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Target pose (float) of the arm joints q, and q as a float seed.
void target_of(const double* q, float* pose, float* seed) {
  double qd[6], out[6];
  for (int i = 0; i < 6; ++i) qd[i] = q[i];
  q7_fk(qd, out);
  for (int i = 0; i < 6; ++i) {
    pose[i] = static_cast<float>(out[i]);
    seed[i] = static_cast<float>(q[i]);
  }
}

std::string joint_message(int joint) {
  return "继续运行将超出关节" + std::to_string(joint) + "限位，请返回！\n";
}

const std::string kBoundary = "处于机械臂工作空间边界！\n";
const std::string kPitch = "到PTICH最大值！\n";
const std::string kOutside = "继续运行将超出机械臂工作空间，请返回！\n";

}  // namespace

TEST(JointLimits, RangesDecideWhatIsWrittenBack) {
  // Targets are the poses of these arm joints; the solver, seeded there,
  // finds them again. Model joint 2 is the negated arm joint 2.
  struct Case {
    double q[6];
    bool limit;
    std::string messages;
    float joint3;  // expected joints[2] when out of range
  } cases[] = {
      {{0.2, 1.5, 1.0, 0.3, -0.4, 0.5}, false, "", 0},
      {{0.1, -0.2, 1.0, 0.2, 0.3, 0.4}, true, "jont 2 too much!!\n" + joint_message(2), 9.0f},
      // (Above its range joint 3 is not reached: from the seed limit of 2.7
      // the solver finds the mirror elbow solution.)
      {{0.1, 0.5, -0.2, 0.2, 0.3, 0.4}, true, joint_message(3), -0.1f},
  };
  for (const Case& c : cases) {
    float pose[6], seed[6];
    target_of(c.q, pose, seed);
    float joints[6] = {9, 9, 9, 9, 9, 9};
    testing::internal::CaptureStdout();
    EXPECT_EQ(is_joint_lmt(seed, pose, joints), c.limit);
    EXPECT_EQ(stop_capture(), c.messages);
    for (int i = 0; i < 5; ++i) {
      if (c.limit) {
        EXPECT_EQ(joints[i], i == 2 ? c.joint3 : 9.0f) << i;
      } else {
        EXPECT_NEAR(joints[i], c.q[i], 2e-3) << i;
      }
    }
    EXPECT_NEAR(joints[5], c.q[5], 2e-3);  // joint 6 is written in every case
  }
}

TEST(Workspace, BoundsOnlyPrintTheSphereDecides) {
  float init[4][4] = {};
  float out[6];
  struct Case {
    float pose[6];
    std::string messages;
  } cases[] = {
      {{0.53f, 0, 0, 0, 0, 0}, kBoundary},
      {{-0.01f, 0, 0, 0, 0, 0}, kBoundary},
      {{0.1f, -0.53f, 0.53f, 0, 0, 0}, kBoundary + kBoundary},
      {{0.1f, 0, 0, 1.35f, 0, -1.4f}, "到达ROLL最大值！\n到YAW最大值！\n"},
      {{0.1f, 0, 0, 0, 1.570796f, 0}, kPitch},
      {{0.1f, 0, 0, 0, -1.35f, 0}, kPitch},
      {{0.1f, 0, 0, 0, 1.5f, 0}, ""},
  };
  for (const Case& c : cases) {
    float pose[6];
    for (int i = 0; i < 6; ++i) pose[i] = c.pose[i];
    testing::internal::CaptureStdout();
    EXPECT_FALSE(is_out_spherical_wan(init, pose, 10.0f, out));
    EXPECT_EQ(stop_capture(), c.messages) << c.pose[0];
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], c.pose[i]);
  }
}

TEST(Workspace, SphereAroundTheShoulderPoint) {
  // Hand computation for a level tool (all angles 0): the wrist is 0.029 m
  // behind the end point, joint 4 another 0.06775 m towards the base axis.
  const double x = 0.1, y = 0.05, z = 0.02, shift = 0.0975;
  const double q1 = std::atan2(y, x - 0.029);
  const double P[3] = {x - 0.029 - 0.06775 * std::cos(q1), y - 0.06775 * std::sin(q1), z};
  const double q2 = std::atan2(P[1], P[0]);
  const double S[3] = {0.02 * std::cos(q2) - shift, 0.02 * std::sin(q2), -0.059};
  const double dist = std::sqrt((P[0] - S[0]) * (P[0] - S[0]) + (P[1] - S[1]) * (P[1] - S[1]) +
                                (P[2] - S[2]) * (P[2] - S[2]));

  float init[4][4] = {};
  init[0][3] = static_cast<float>(shift);
  float pose[6] = {0.1f, 0.05f, 0.02f, 0, 0, 0}, out[6];
  float joint4[3];
  q7_get_jonit4_pos(0.029f, pose, joint4);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(joint4[i], P[i], 1e-6);

  testing::internal::CaptureStdout();
  EXPECT_FALSE(is_out_spherical_wan(init, pose, static_cast<float>(dist + 1e-4), out));
  EXPECT_EQ(stop_capture(), "");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(is_out_spherical_wan(init, pose, static_cast<float>(dist - 1e-4), out));
  EXPECT_EQ(stop_capture(), kOutside);
}

TEST(Workspace, ToolAxisAlongBaseYGivesTheWristPoint) {
  // Here the first column of Rx*Ry*Rz rounds to just above 1 in its y
  // entry, where asin has no value.
  float pose[6] = {0.2f, 0.1f, 0.3f, 1.28380919f, 1.57079637f, 0.286987156f};
  float joint4[3];
  q7_get_jonit4_pos(0.029f, pose, joint4);
  EXPECT_NEAR(joint4[0], 0.2f, 1e-6f);
  EXPECT_NEAR(joint4[1], 0.1f - 0.029f, 1e-6f);
  EXPECT_NEAR(joint4[2], 0.3f, 1e-6f);

  float yaw_only[6] = {0.2f, 0.1f, 0.3f, 0.0f, 0.0f, 1.5707963705062866f};
  q7_get_jonit4_pos(0.029f, yaw_only, joint4);
  EXPECT_NEAR(joint4[1], 0.1f - 0.029f, 1e-6f);

  // The sphere test then has a number to decide on.
  float init[4][4] = {};
  float out[6];
  testing::internal::CaptureStdout();
  EXPECT_TRUE(is_out_spherical_wan(init, pose, 0.01f, out));
  stop_capture();
}

TEST(Checks, RejectNonFiniteInputWithoutOutput) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  float init[4][4] = {};
  float pose[6] = {0.1f, 0, nan, 0, 0, 0};
  float seed[6] = {0, 0, 0, 0, 0, 0};
  float out[6] = {9, 9, 9, 9, 9, 9}, joints[6] = {9, 9, 9, 9, 9, 9};
  testing::internal::CaptureStdout();
  EXPECT_THROW(is_out_spherical_wan(init, pose, 0.3f, out), std::invalid_argument);
  EXPECT_THROW(is_joint_lmt(seed, pose, joints), std::invalid_argument);
  pose[2] = 0.0f;
  EXPECT_THROW(is_out_spherical_wan(init, pose, nan, out), std::invalid_argument);
  seed[4] = std::numeric_limits<float>::infinity();
  try {
    is_joint_lmt(seed, pose, joints);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "q0[4] is not a finite number");
  }
  EXPECT_EQ(stop_capture(), "");
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(out[i], 9.0f);
    EXPECT_EQ(joints[i], 9.0f);
  }
}
