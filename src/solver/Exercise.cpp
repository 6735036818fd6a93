// DH model of the arm, the single-precision matrix helpers and the analytic
// forward kinematics. Every step is done in float in a fixed order, so that
// results are reproducible bit for bit; the few double-precision steps are
// marked where they happen.
#include "solver/Exercise.h"

#include <cmath>

#include "solver/ExerciseChain.h"

namespace kav {
namespace solve {

// pi/2 as a float: 1.5707963705062866.
float a[6] = {0.02f, -0.264f, 0.252f, 0.06775f, 0.0f, 0.0f};
float alpha[6] = {1.5707963267948966f, 0.0f, 0.0f, -1.5707963267948966f, 1.5707963267948966f, 0.0f};
float d[6] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.029f};
float q0_test1[6] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};

void get_dh_T(float a, float alpha, float d, float q, float (*R)[4]) {
  const float cq = std::cos(q);
  const float sq = std::sin(q);
  const float ca = std::cos(alpha);
  const float sa = std::sin(alpha);
  R[0][0] = cq;
  R[0][1] = -sq * ca;
  R[0][2] = sq * sa;
  R[0][3] = a * cq;
  R[1][0] = sq;
  R[1][1] = cq * ca;
  R[1][2] = -cq * sa;
  R[1][3] = a * sq;
  R[2][0] = 0.0f;
  R[2][1] = sa;
  R[2][2] = ca;
  R[2][3] = d;
  R[3][0] = 0.0f;
  R[3][1] = 0.0f;
  R[3][2] = 0.0f;
  R[3][3] = 1.0f;
}

void T_dot_T(float (*matrixA)[4], float (*matrixB)[4], float (*result)[4]) {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      result[i][j] = 0.0f;
      for (int k = 0; k < 4; ++k) result[i][j] += matrixA[i][k] * matrixB[k][j];
    }
  }
}

void R_dot_R(float (*matrixA)[3], float (*matrixB)[3], float (*result)[3]) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      result[i][j] = 0.0f;
      for (int k = 0; k < 3; ++k) result[i][j] += matrixA[i][k] * matrixB[k][j];
    }
  }
}

void T_2_R(float (*T)[4], float (*R)[3]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) R[i][j] = T[i][j];
}

void T_2_P(float (*T)[4], float* P) {
  for (int i = 0; i < 3; ++i) P[i] = T[i][3];
}

void R_trans(float (*R)[3], float (*Rt)[3]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) Rt[i][j] = R[j][i];
}

void R_dot_P(float (*R)[3], float* P, float* relt) {
  for (int i = 0; i < 3; ++i) relt[i] = (R[i][0] * P[0] + R[i][1] * P[1]) + R[i][2] * P[2];
}

void my_invT(float (*T)[4], float (*Tinv)[4]) {
  // Read everything first so that Tinv may be T.
  float R[3][3];
  float P[3];
  T_2_R(T, R);
  T_2_P(T, P);
  float Rt[3][3];
  R_trans(R, Rt);
  float RtP[3];
  R_dot_P(Rt, P, RtP);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) Tinv[i][j] = Rt[i][j];
    Tinv[i][3] = -RtP[i];
  }
  Tinv[3][0] = 0.0f;
  Tinv[3][1] = 0.0f;
  Tinv[3][2] = 0.0f;
  Tinv[3][3] = 1.0f;
}

void R_rot_xyz(float roll, float M_PItch, float yaw, float (*Rx)[3], float (*Ry)[3], float (*Rz)[3]) {
  const float cr = std::cos(roll), sr = std::sin(roll);
  const float cp = std::cos(M_PItch), sp = std::sin(M_PItch);
  const float cy = std::cos(yaw), sy = std::sin(yaw);

  Rx[0][0] = 1.0f, Rx[0][1] = 0.0f, Rx[0][2] = 0.0f;
  Rx[1][0] = 0.0f, Rx[1][1] = cr, Rx[1][2] = -sr;
  Rx[2][0] = 0.0f, Rx[2][1] = sr, Rx[2][2] = cr;

  Ry[0][0] = cp, Ry[0][1] = 0.0f, Ry[0][2] = sp;
  Ry[1][0] = 0.0f, Ry[1][1] = 1.0f, Ry[1][2] = 0.0f;
  Ry[2][0] = -sp, Ry[2][1] = 0.0f, Ry[2][2] = cp;

  Rz[0][0] = cy, Rz[0][1] = -sy, Rz[0][2] = 0.0f;
  Rz[1][0] = sy, Rz[1][1] = cy, Rz[1][2] = 0.0f;
  Rz[2][0] = 0.0f, Rz[2][1] = 0.0f, Rz[2][2] = 1.0f;
}

void my_GetRPY(float (*R)[3], float* rpy) {
  const float PI_2 = 1.5707963267948966f;
  const double epsilon = 1e-12;
  float r[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[3 * i + j] = R[i][j];

  float roll;
  float yaw;
  const float pitch = std::atan2(-r[6], std::sqrt(r[0] * r[0] + r[3] * r[3]));
  // In float this is true exactly when atan2 returned +-pi/2: roll and yaw
  // are then about the same axis, and the whole angle is given to yaw.
  if (std::fabs(static_cast<double>(pitch)) > static_cast<double>(PI_2) - epsilon) {
    yaw = std::atan2(-r[1], r[4]);
    roll = 0.0f;
  } else {
    roll = std::atan2(r[7], r[8]);
    yaw = std::atan2(r[3], r[0]);
  }
  rpy[0] = roll;
  rpy[1] = pitch;
  rpy[2] = yaw;
}

namespace detail {

void model_angles(const float* q, float* theta) {
  for (int i = 0; i < 6; ++i) theta[i] = q[i];
  // The offsets are added in double and rounded back to float.
  theta[2] = static_cast<float>(static_cast<double>(q[2]) + 0.24);
  theta[3] = static_cast<float>(static_cast<double>(q[3]) - 0.24);
  theta[4] = static_cast<float>(static_cast<double>(q[4]) + 1.5707963267948966);
}

void link_transforms(const float* q, float (*links)[4][4]) {
  float theta[6];
  model_angles(q, theta);
  for (int i = 0; i < 6; ++i) get_dh_T(a[i], alpha[i], d[i], theta[i], links[i]);
}

void arm_to_model(const double* q, float* joint) {
  for (int i = 0; i < 6; ++i) joint[i] = static_cast<float>(q[i]);
  joint[1] = -joint[1];
  joint[4] = -joint[4];
}

}  // namespace detail

void fk(float* q, float (*T)[4]) {
  float joint[6];
  for (int i = 0; i < 6; ++i) joint[i] = q[i];
  float links[6][4][4];
  detail::link_transforms(joint, links);

  float T02[4][4], T03[4][4], T04[4][4], T05[4][4];
  T_dot_T(links[0], links[1], T02);
  T_dot_T(T02, links[2], T03);
  T_dot_T(T03, links[3], T04);
  T_dot_T(T04, links[4], T05);
  T_dot_T(T05, links[5], T);
}

namespace {

// The part q7_fk and q7_fk_matrix share: the end frame of the arm joints q,
// the end point of the zero configuration, and the tool rotation R_send
// whose x axis is the end frame's z axis.
void arm_pose(const double* q, float (*T_fk)[4], float (*T_init)[4], float (*R_send)[3]) {
  float zeros[6] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  fk(zeros, T_init);

  float joint[6];
  detail::arm_to_model(q, joint);
  fk(joint, T_fk);
  float R_fk[3][3];
  T_2_R(T_fk, R_fk);

  float Rx[3][3], Ry[3][3], Rz[3][3];
  R_rot_xyz(0.0f, -1.5708f, -1.5708f, Rx, Ry, Rz);
  float R_01[3][3];
  R_dot_R(R_fk, Rz, R_01);
  R_dot_R(R_01, Ry, R_send);
}

}  // namespace

void q7_fk(double* q, double* send_end) {
  float T_fk[4][4], T_init[4][4], R_send[3][3];
  arm_pose(q, T_fk, T_init, R_send);
  float rpy[3];
  my_GetRPY(R_send, rpy);
  for (int i = 0; i < 3; ++i) {
    send_end[i] = static_cast<double>(T_fk[i][3] - T_init[i][3]);
    send_end[3 + i] = static_cast<double>(rpy[i]);
  }
}

void q7_fk_matrix(double* q, double (*T_desir)[4]) {
  float T_fk[4][4], T_init[4][4], R_send[3][3];
  arm_pose(q, T_fk, T_init, R_send);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) T_desir[i][j] = static_cast<double>(R_send[i][j]);
    T_desir[i][3] = static_cast<double>(T_fk[i][3] - T_init[i][3]);
  }
}

}  // namespace solve
}  // namespace kav
