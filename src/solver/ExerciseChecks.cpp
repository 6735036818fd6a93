// Checks a host can run before commanding a Cartesian target: the joint
// ranges of its inverse-kinematics solution, and the workspace box and
// sphere around the shoulder. Messages go to standard output.
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "solver/Exercise.h"
#include "solver/ExerciseChain.h"

namespace kav {
namespace solve {

namespace {

void print_joint_out_of_range(int joint) { std::printf("继续运行将超出关节%d限位，请返回！\n", joint); }

// A value that is not a number would make every range and distance
// comparison false, which the checks would report as "within limits".
void require_finite(const float* values, int count, const char* name) {
  for (int i = 0; i < count; ++i) {
    if (!std::isfinite(values[i])) {
      const std::string index = count > 1 ? "[" + std::to_string(i) + "]" : "";
      throw std::invalid_argument(name + index + " is not a finite number");
    }
  }
}

}  // namespace

bool is_joint_lmt(float* q0, float* endstate_, float* jointstate) {
  require_finite(q0, 6, "q0");
  require_finite(endstate_, 6, "endstate_");
  float R_desri[3][3];
  detail::rpy_to_model_rotation(endstate_[3], endstate_[4], endstate_[5], R_desri);

  float q_init[6];
  for (int i = 0; i < 6; ++i) q_init[i] = q0[i];
  q_init[1] = -q_init[1];
  q_init[4] = -q_init[4];
  detail::limit_seed(q_init);

  float T_desir[4][4];
  fk(q0_test1, T_desir);
  for (int i = 0; i < 3; ++i) {
    T_desir[i][3] = T_desir[i][3] + endstate_[i];
    for (int j = 0; j < 3; ++j) T_desir[i][j] = R_desri[i][j];
  }

  float q_ik[6];
  ik_LM(T_desir, q_init, q_ik);

  // The ranges apply to the model-convention solution; compared in double.
  bool is_inws = true;
  bool is_limit = false;
  const double q1 = q_ik[0], q2 = q_ik[1], q3 = q_ik[2];
  const double q4 = q_ik[3], q5 = q_ik[4], q6 = q_ik[5];
  if (q1 > 2.618 || q1 < -3.14) {
    is_inws = false;
    print_joint_out_of_range(1);
  }
  if (q2 > 0.1 || q2 < -3.6) {
    std::printf("jont %d too much!!\n", 2);
    is_limit = true;
    is_inws = false;
    print_joint_out_of_range(2);
  }
  if (q3 > 3.14 || q3 < -0.1) {
    jointstate[2] = q3 > 3.14 ? 3.14f : -0.1f;
    is_inws = false;
    print_joint_out_of_range(3);
  }
  if (q4 > 1.4 || q4 < -1.4) {
    is_inws = false;
    print_joint_out_of_range(4);
  }
  if (std::fabs(q5) > 1.571) {
    is_inws = false;
    print_joint_out_of_range(5);
  }
  if (std::fabs(q6) > 2.0933333333333333) {
    is_inws = false;
    print_joint_out_of_range(6);
  }

  if (is_inws) {
    jointstate[0] = q_ik[0];
    jointstate[1] = -q_ik[1];
    jointstate[2] = q_ik[2];
    jointstate[3] = q_ik[3];
    jointstate[4] = -q_ik[4];
  } else {
    is_limit = true;
  }
  jointstate[5] = q_ik[5];
  return is_limit;
}

void q7_get_jonit4_pos(float end2wan, float* end_state, float* joint4_pos) {
  const float wan2q4 = 0.06775f;  // wrist to joint 4, the DH length of joint 4
  const float cr = std::cos(end_state[3]), sr = std::sin(end_state[3]);
  const float cp = std::cos(end_state[4]), sp = std::sin(end_state[4]);
  const float cy = std::cos(end_state[5]), sy = std::sin(end_state[5]);

  // First column of R = Rx(roll) * Ry(pitch) * Rz(yaw): the tool x axis.
  const float r11 = cp * cy;
  const float r21 = sp * sr * cy + sy * cr;
  const float r31 = sy * sr - cy * cr * sp;

  float Pwan[3];
  Pwan[0] = end_state[0] - end2wan * r11;
  Pwan[1] = end_state[1] - end2wan * r21;
  Pwan[2] = end_state[2] - end2wan * r31;

  // With the tool x axis along the base y axis (r21 = +-1, or just beyond
  // by rounding) the direction towards joint 4 is undefined; the asin and
  // the division below would give no number or an arbitrary one.
  if (!(std::fabs(r21) < 1.0f)) {
    for (int i = 0; i < 3; ++i) joint4_pos[i] = Pwan[i];
    return;
  }
  const float rot_z = std::asin(r21);
  const float c_rot_z = std::cos(rot_z);
  const float rot_y = std::atan2(-r31 / c_rot_z, r11 / c_rot_z);

  const float q1 = std::atan2(Pwan[1], Pwan[0]);
  const float q4 = rot_y;
  const float cq1 = std::cos(q1), sq1 = std::sin(q1);
  const float cq4 = std::cos(q4), sq4 = std::sin(q4);
  joint4_pos[0] = Pwan[0] - wan2q4 * (cq1 * cq4);
  joint4_pos[1] = Pwan[1] - wan2q4 * (sq1 * cq4);
  joint4_pos[2] = Pwan[2] - wan2q4 * (-sq4);
}

bool is_out_spherical_wan(float (*init_frame)[4], float* in_frame, float r, float* out_frame) {
  require_finite(in_frame, 6, "in_frame");
  require_finite(&init_frame[0][3], 1, "init_frame[0][3]");
  require_finite(&r, 1, "r");
  const char* kBoundary = "处于机械臂工作空间边界！\n";
  const float x = in_frame[0], y = in_frame[1], z = in_frame[2];
  const float roll = in_frame[3], pitch = in_frame[4], yaw = in_frame[5];
  if (x >= 0.53f) std::printf("%s", kBoundary);
  if (y >= 0.53f) std::printf("%s", kBoundary);
  if (z >= 0.53f) std::printf("%s", kBoundary);
  if (x < 0.0f) std::printf("%s", kBoundary);
  if (y <= -0.53f) std::printf("%s", kBoundary);
  if (z <= -0.53f) std::printf("%s", kBoundary);
  if (std::fabs(roll) >= 1.35f) std::printf("到达ROLL最大值！\n");
  if (pitch >= 1.570796f) std::printf("到PTICH最大值！\n");
  if (pitch <= -1.35f) std::printf("到PTICH最大值！\n");
  if (std::fabs(yaw) >= 1.35f) std::printf("到YAW最大值！\n");

  float P[3];
  q7_get_jonit4_pos(d[5], in_frame, P);
  for (int i = 0; i < 6; ++i) out_frame[i] = in_frame[i];

  const float q2 = std::atan2(P[1], P[0]);
  const float S[3] = {0.02f * std::cos(q2) - init_frame[0][3], 0.02f * std::sin(q2), -0.059f};
  const float dx = P[0] - S[0], dy = P[1] - S[1], dz = P[2] - S[2];
  const float in_r = std::sqrt(dx * dx + dy * dy + dz * dz);
  if (in_r > r) {
    std::printf("继续运行将超出机械臂工作空间，请返回！\n");
    return true;
  }
  return false;
}

}  // namespace solve
}  // namespace kav
