// DH model, matrix helpers and forward kinematics of the analytic package.
#include <gtest/gtest.h>
#include <solver/Exercise.h>

#include <Eigen/Geometry>
#include <cmath>

using namespace kav::solve;

namespace {

const float kHalfPi = 1.5707963705062866f;  // pi/2 as a float

// Independent double-precision evaluation of the same DH tables, with the
// joint offsets of the model.
Eigen::Matrix4d reference_fk(const double* q) {
  const double offset[6] = {0.0, 0.0, 0.24, -0.24, M_PI / 2, 0.0};
  Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
  for (int i = 0; i < 6; ++i) {
    Eigen::Affine3d link = Eigen::Affine3d::Identity();
    link.rotate(Eigen::AngleAxisd(q[i] + offset[i], Eigen::Vector3d::UnitZ()));
    link.translate(Eigen::Vector3d(a[i], 0.0, d[i]));
    link.rotate(Eigen::AngleAxisd(alpha[i], Eigen::Vector3d::UnitX()));
    T = T * link.matrix();
  }
  return T;
}

}  // namespace

TEST(DhModel, LinkTransformKeepsTheFloatResidueOfHalfPi) {
  float T[4][4];
  get_dh_T(0.02f, kHalfPi, 0.0f, 0.0f, T);
  const float c = std::cos(kHalfPi);
  EXPECT_NE(c, 0.0f);
  EXPECT_NEAR(c, -4.37e-8f, 1e-9f);
  const float expected[4][4] = {{1, 0, 0, 0.02f}, {0, c, -1, 0}, {0, 1, c, 0}, {0, 0, 0, 1}};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(T[i][j], expected[i][j]) << i << "," << j;
}

TEST(DhModel, RigidInverseInPlaceAndOutOfPlace) {
  float q[6] = {0.3f, -1.1f, 0.7f, 0.2f, -0.4f, 1.3f};
  float T[4][4], Tinv[4][4], I[4][4];
  fk(q, T);
  my_invT(T, Tinv);
  T_dot_T(Tinv, T, I);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(I[i][j], i == j ? 1.0f : 0.0f, 1e-6f);

  float same[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) same[i][j] = T[i][j];
  my_invT(same, same);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(same[i][j], Tinv[i][j]);
}

TEST(DhModel, RollPitchYawBothBranches) {
  float rpy[3];
  float I[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  my_GetRPY(I, rpy);
  EXPECT_EQ(rpy[0], 0.0f);
  EXPECT_EQ(rpy[1], 0.0f);
  EXPECT_EQ(rpy[2], 0.0f);

  // Exactly pitched up: the singular branch, roll set to 0.
  float up[3][3] = {{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}};
  my_GetRPY(up, rpy);
  EXPECT_EQ(rpy[0], 0.0f);
  EXPECT_EQ(rpy[1], kHalfPi);
  EXPECT_EQ(rpy[2], 0.0f);

  // The same rotation from the float pi/2 keeps its cos residue, so pitch
  // stays below pi/2 and the regular branch reads roll and yaw as pi.
  float Rx[3][3], Ry[3][3], Rz[3][3];
  R_rot_xyz(0.0f, kHalfPi, 0.0f, Rx, Ry, Rz);
  my_GetRPY(Ry, rpy);
  EXPECT_FLOAT_EQ(rpy[1], 1.5707962513f);
  EXPECT_LT(rpy[1], kHalfPi);
  EXPECT_FLOAT_EQ(rpy[0], static_cast<float>(M_PI));
  EXPECT_FLOAT_EQ(rpy[2], static_cast<float>(M_PI));

  // Away from the singularity the angles come back.
  R_rot_xyz(-0.4f, 0.9f, 2.5f, Rx, Ry, Rz);
  float Ryx[3][3], R[3][3];
  R_dot_R(Ry, Rx, Ryx);
  R_dot_R(Rz, Ryx, R);
  my_GetRPY(R, rpy);
  EXPECT_NEAR(rpy[0], -0.4f, 1e-6f);
  EXPECT_NEAR(rpy[1], 0.9f, 1e-6f);
  EXPECT_NEAR(rpy[2], 2.5f, 1e-6f);
}

TEST(ForwardKinematics, MatchesDoublePrecisionDhEvaluation) {
  const double cases[][6] = {{0, 0, 0, 0, 0, 0},
                             {0.5, -1.2, 0.8, 0.3, -0.6, 1.0},
                             {-2.0, -2.5, 2.9, -1.3, 1.5, -2.0},
                             {3.0, 0.1, -0.1, 1.4, 0.0, 2.0}};
  for (const auto& qd : cases) {
    float q[6], before[6];
    for (int i = 0; i < 6; ++i) before[i] = q[i] = static_cast<float>(qd[i]);
    float T[4][4];
    fk(q, T);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(q[i], before[i]);
    const Eigen::Matrix4d ref = reference_fk(qd);
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) EXPECT_NEAR(T[i][j], ref(i, j), 2e-6) << i << "," << j;
  }
  // At zero joints the end frame sits at (0.0975, 0, 0.0599) facing along x.
  float zero[6] = {0, 0, 0, 0, 0, 0}, T[4][4];
  fk(zero, T);
  EXPECT_NEAR(T[0][3], 0.0975, 5e-5);
  EXPECT_NEAR(T[2][3], 0.0599, 5e-5);
  EXPECT_NEAR(T[0][2], 1.0, 1e-6);
}

TEST(ArmForwardKinematics, ZeroJointsGiveTheOrigin) {
  double q[6] = {0, 0, 0, 0, 0, 0};
  double out[6];
  q7_fk(q, out);
  EXPECT_EQ(out[0], 0.0);
  EXPECT_EQ(out[1], 0.0);
  EXPECT_EQ(out[2], 0.0);
  // -1.5708 differs from -pi/2 by 3.7e-6: a few micro-radians of roll and pitch.
  EXPECT_NEAR(out[3], -3.6e-6, 0.2e-6);
  EXPECT_NEAR(out[4], -3.6e-6, 0.2e-6);
  EXPECT_NEAR(out[5], 0.0, 1e-6);
}

TEST(ArmForwardKinematics, ArmJointsTwoAndFiveAreReversed) {
  double q[6] = {0.4, 0.9, 1.1, -0.3, 0.7, -1.2};
  float model[6] = {0.4f, -0.9f, 1.1f, -0.3f, -0.7f, -1.2f};
  float zero[6] = {0, 0, 0, 0, 0, 0};
  float T[4][4], T0[4][4];
  fk(model, T);
  fk(zero, T0);
  double out[6];
  q7_fk(q, out);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(out[i], static_cast<double>(T[i][3] - T0[i][3]));

  // The tool x axis is the end frame's approach (z) axis.
  float Rx[3][3], Ry[3][3], Rz[3][3];
  R_rot_xyz(static_cast<float>(out[3]), static_cast<float>(out[4]), static_cast<float>(out[5]), Rx, Ry, Rz);
  float Ryx[3][3], R[3][3];
  R_dot_R(Ry, Rx, Ryx);
  R_dot_R(Rz, Ryx, R);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(R[i][0], T[i][2], 1e-5f);
}

TEST(ArmForwardKinematics, MatrixFormAgreesAndKeepsRowThree) {
  double q[6] = {-0.8, 1.3, 0.6, 0.5, -0.2, 0.9};
  double out[6];
  q7_fk(q, out);
  double M[4][4];
  for (int j = 0; j < 4; ++j) M[3][j] = 7.0 + j;
  q7_fk_matrix(q, M);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(M[i][3], out[i]);
  for (int j = 0; j < 4; ++j) EXPECT_EQ(M[3][j], 7.0 + j);
  float R[3][3], rpy[3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) R[i][j] = static_cast<float>(M[i][j]);
  my_GetRPY(R, rpy);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(static_cast<double>(rpy[i]), out[3 + i]);
}
