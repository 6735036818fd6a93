// End-frame Jacobian of the DH model and the damped least-squares
// (Levenberg-Marquardt) inverse kinematics with its two front ends.
#include <Eigen/LU>
#include <cmath>
#include <cstdio>

#include "solver/Exercise.h"
#include "solver/ExerciseChain.h"

namespace kav {
namespace solve {

void my_tr2dlta(float (*A)[4], float (*B)[4], float* dlt) {
  float Ainv[4][4];
  my_invT(A, Ainv);
  float S[4][4];
  T_dot_T(Ainv, B, S);
  dlt[0] = S[0][3];
  dlt[1] = S[1][3];
  dlt[2] = S[2][3];
  dlt[3] = 0.5f * (S[2][1] - S[1][2]);
  dlt[4] = 0.5f * (S[0][2] - S[2][0]);
  dlt[5] = 0.5f * (S[1][0] - S[0][1]);
}

namespace {

// Column c of the end-frame Jacobian from U, the transform from the frame
// of joint c to the end frame.
void fill_jacobian_column(float (*U)[4], int c, float (*jc)[6]) {
  jc[0][c] = -U[0][0] * U[1][3] + U[0][3] * U[1][0];
  jc[1][c] = -U[0][1] * U[1][3] + U[0][3] * U[1][1];
  jc[2][c] = -U[0][2] * U[1][3] + U[0][3] * U[1][2];
  jc[3][c] = U[2][0];
  jc[4][c] = U[2][1];
  jc[5][c] = U[2][2];
}

float norm6(const float* e) {
  float sum = 0.0f;
  for (int i = 0; i < 6; ++i) sum += e[i] * e[i];
  return std::sqrt(sum);
}

// Pose error norm of the model joints q with respect to the target.
float pose_error(float* q, float (*T_desir)[4], float* e) {
  float T[4][4];
  fk(q, T);
  my_tr2dlta(T, T_desir, e);
  return norm6(e);
}

}  // namespace

void my_get_jacobe(float* q_, float (*jc)[6]) {
  float joint[6];
  for (int i = 0; i < 6; ++i) joint[i] = q_[i];
  float links[6][4][4];
  detail::link_transforms(joint, links);

  float U[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) U[i][j] = links[5][i][j];
  fill_jacobian_column(U, 5, jc);
  for (int k = 5; k >= 1; --k) {
    float prev[4][4];
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) prev[i][j] = U[i][j];
    T_dot_T(links[k - 1], prev, U);
    fill_jacobian_column(U, k - 1, jc);
  }
}

void jcb_trans(float (*J)[6], float (*Jt)[6]) {
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) Jt[j][i] = J[i][j];
}

void J_dot_J(float (*matrixA)[6], float (*matrixB)[6], float (*result)[6]) {
  for (int i = 0; i < 6; ++i) {
    for (int j = 0; j < 6; ++j) {
      result[i][j] = 0.0f;
      for (int k = 0; k < 6; ++k) result[i][j] += matrixA[i][k] * matrixB[k][j];
    }
  }
}

void J_dot_P(float (*R)[6], float* P, float* relt) {
  for (int i = 0; i < 6; ++i) {
    relt[i] = 0.0f;
    for (int j = 0; j < 6; ++j) relt[i] += R[i][j] * P[j];
  }
}

namespace detail {

bool damped_step(float (*N)[6], const float* g, double* dq) {
  Eigen::Matrix<double, 6, 6> Nd;
  Eigen::Matrix<double, 6, 1> gd;
  for (int i = 0; i < 6; ++i) {
    gd(i) = g[i];
    for (int j = 0; j < 6; ++j) Nd(i, j) = N[i][j];
  }
  const Eigen::PartialPivLU<Eigen::Matrix<double, 6, 6>> lu(Nd);
  if (lu.determinant() == 0.0) return false;
  const Eigen::Matrix<double, 6, 1> step = lu.inverse() * gd;
  for (int i = 0; i < 6; ++i) dq[i] = step(i);
  return true;
}

}  // namespace detail

void ik_LM(float (*T_desir)[4], float* q0, float* q_ik) { ik_LM(T_desir, q0, q_ik, nullptr); }

void ik_LM(float (*T_desir)[4], float* q0, float* q_ik, IkStatus* status) {
  const int ilimit = 500;
  const int rlimit = 100;
  const float tol = 1e-4f;
  float lambda = 0.1f;

  int iterations = 0;
  int rejcount = 0;
  int singular_steps = 0;
  float norme = 0.0f;
  float norme_new = 0.0f;
  float current_norm = 0.0f;  // error norm of q, the last accepted iterate
  IkExit exit = IkExit::kConverged;

  float q[6];
  for (int i = 0; i < 6; ++i) q[i] = q0[i];

  while (true) {
    ++iterations;
    if (iterations > ilimit) {
      std::printf("out of ilimit! %8.8f\n", static_cast<double>(norme_new));
      exit = IkExit::kIterationLimit;
      break;
    }

    float e[6];
    norme = pose_error(q, T_desir, e);
    current_norm = norme;
    if (norme < tol) break;

    float J[6][6], Jt[6][6], N[6][6];
    my_get_jacobe(q, J);
    jcb_trans(J, Jt);
    J_dot_J(Jt, J, N);
    for (int i = 0; i < 6; ++i) N[i][i] += lambda;
    float g[6];
    J_dot_P(Jt, e, g);

    double dq[6];
    bool improved = false;
    if (!detail::damped_step(N, g, dq)) {
      // No step can be taken from a singular normal matrix: count it as a
      // rejected step, so that the larger damping makes the next one regular.
      std::printf("J is signatur ! %d,%8.4f\n", iterations, static_cast<double>(norme_new));
      ++singular_steps;
    } else {
      float q_new[6];
      for (int i = 0; i < 6; ++i) q_new[i] = static_cast<float>(static_cast<double>(q[i]) + dq[i]);
      float e_new[6];
      norme_new = pose_error(q_new, T_desir, e_new);
      if (norme_new < norme) {
        for (int i = 0; i < 6; ++i) q[i] = q_new[i];
        current_norm = norme_new;
        improved = true;
      }
    }

    if (improved) {
      lambda = lambda / 2.0f;
      rejcount = 0;
    } else {
      lambda = 2.0f * lambda;
      ++rejcount;
      if (rejcount > rlimit) {
        exit = IkExit::kRejectionLimit;
        break;
      }
    }
  }

  for (int i = 0; i < 6; ++i) q_ik[i] = q[i];
  if (status != nullptr) {
    status->exit = exit;
    status->iterations = iterations > ilimit ? ilimit : iterations;
    status->singular_steps = singular_steps;
    status->error_norm = current_norm;
  }
}

namespace detail {

void tool_to_model_rotation(float (*R_tool)[3], float (*R_desri)[3]) {
  // Rzxy = Rx(1.5708) * Ry(1.5708) turns a tool rotation back into the
  // model's end frame, undoing the fixed turn of q7_fk.
  float Rx0[3][3], Ry0[3][3], Rz0[3][3];
  R_rot_xyz(1.5708f, 1.5708f, 0.0f, Rx0, Ry0, Rz0);
  float Rxy[3][3], Rzxy[3][3];
  R_dot_R(Rx0, Ry0, Rxy);
  R_dot_R(Rxy, Rz0, Rzxy);
  R_dot_R(R_tool, Rzxy, R_desri);
}

void rpy_to_model_rotation(float roll, float pitch, float yaw, float (*R_desri)[3]) {
  float Rx[3][3], Ry[3][3], Rz[3][3];
  R_rot_xyz(roll, pitch, yaw, Rx, Ry, Rz);
  float Ryx[3][3], Rzyx[3][3];
  R_dot_R(Ry, Rx, Ryx);
  R_dot_R(Rz, Ryx, Rzyx);
  tool_to_model_rotation(Rzyx, R_desri);
}

void limit_seed(float* q) {
  if (static_cast<double>(q[2]) > 2.7) q[2] = 2.7f;
  if (static_cast<double>(q[3]) > 1.1) q[3] = 1.1f;
}

}  // namespace detail

namespace {

// Solves the model target T_desir (rotation block already set, translation
// relative to the reference end point) from the arm seed q0 and writes the
// result in the arm convention.
void solve_front_end(double* q0, float (*T_desir)[4], double* jointstate, IkStatus* status) {
  float q_init[6];
  detail::arm_to_model(q0, q_init);
  detail::limit_seed(q_init);
  float q_ik[6];
  ik_LM(T_desir, q_init, q_ik, status);
  for (int i = 0; i < 6; ++i) jointstate[i] = static_cast<double>(q_ik[i]);
  jointstate[1] = -jointstate[1];
  jointstate[4] = -jointstate[4];
}

}  // namespace

void q7_ik_lm(double* q0, double* endstate_, double* jointstate) {
  q7_ik_lm(q0, endstate_, jointstate, nullptr);
}

void q7_ik_lm(double* q0, double* endstate_, double* jointstate, IkStatus* status) {
  if (endstate_[0] < 0.0) endstate_[0] = 0.0;

  float R_desri[3][3];
  detail::rpy_to_model_rotation(static_cast<float>(endstate_[3]), static_cast<float>(endstate_[4]),
                                static_cast<float>(endstate_[5]), R_desri);
  float T_desir[4][4];
  fk(q0_test1, T_desir);
  for (int i = 0; i < 3; ++i) {
    T_desir[i][3] = static_cast<float>(static_cast<double>(T_desir[i][3]) + endstate_[i]);
    for (int j = 0; j < 3; ++j) T_desir[i][j] = R_desri[i][j];
  }
  solve_front_end(q0, T_desir, jointstate, status);
}

void q7_ik_lm_matrix(double* q0, double (*Tdesir)[4], double* jointstate) {
  q7_ik_lm_matrix(q0, Tdesir, jointstate, nullptr);
}

void q7_ik_lm_matrix(double* q0, double (*Tdesir)[4], double* jointstate, IkStatus* status) {
  float R_tool[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) R_tool[i][j] = static_cast<float>(Tdesir[i][j]);
  float R_desri[3][3];
  detail::tool_to_model_rotation(R_tool, R_desri);

  float T_desir[4][4];
  fk(q0_test1, T_desir);
  for (int i = 0; i < 3; ++i) {
    T_desir[i][3] = static_cast<float>(static_cast<double>(T_desir[i][3]) + Tdesir[i][3]);
    for (int j = 0; j < 3; ++j) T_desir[i][j] = R_desri[i][j];
  }
  solve_front_end(q0, T_desir, jointstate, status);
}

}  // namespace solve
}  // namespace kav
