// Point-mass gravity model of the arm: a static recursive Newton-Euler pass
// (no velocities or accelerations, so only link weights enter) on a DH
// description of its own, all in single precision.
#include <Eigen/Core>
#include <Eigen/Geometry>
#include <cmath>

#include "solver/Interpolation.h"

namespace kav {
namespace solve {

namespace {

// Rotation of a link with twist +pi/2, 0 or -pi/2 and joint angle theta.
// cos and sin are taken in double of the float angle, rounded to float.
Eigen::Matrix3f link_rotation(float theta, int twist_sign) {
  const float c = static_cast<float>(std::cos(static_cast<double>(theta)));
  const float s = static_cast<float>(std::sin(static_cast<double>(theta)));
  Eigen::Matrix3f R;
  if (twist_sign > 0) {
    R << c, 0.0f, s, s, 0.0f, -c, 0.0f, 1.0f, 0.0f;
  } else if (twist_sign < 0) {
    R << c, 0.0f, -s, s, 0.0f, c, 0.0f, -1.0f, 0.0f;
  } else {
    R << c, -s, 0.0f, s, c, 0.0f, 0.0f, 0.0f, 1.0f;
  }
  return R;
}

}  // namespace

std::vector<double> q7_get_Tau(double* q_, int type) {
  // Model joint angles from the arm joints, each formed in double.
  const float theta[6] = {
      static_cast<float>(q_[0]),          static_cast<float>(3.1416 - q_[1]),
      static_cast<float>(q_[2] - 2.9015), static_cast<float>(q_[3] - 0.24),
      static_cast<float>(1.5708 - q_[4]), static_cast<float>(q_[5]),
  };
  const int twist_sign[6] = {1, 0, 0, -1, 1, 0};
  Eigen::Matrix3f R[6];  // R[i] maps frame i+1 into frame i
  for (int i = 0; i < 6; ++i) R[i] = link_rotation(theta[i], twist_sign[i]);

  // Each link's mass sits at the origin of its frame; p[i] is that origin
  // seen from the previous one, in the link's own frame.
  const Eigen::Vector3f p[6] = {
      {0.02f, 0.0f, 0.0f},     {0.264f, 0.0f, 0.0f}, {0.252f, 0.0f, 0.0f},
      {0.06775f, 0.0f, 0.03f}, {0.0f, -0.03f, 0.0f}, {0.0f, 0.0f, 0.0865f},
  };
  const float end_mass = type == 1 ? 0.75f : 0.6f;
  const float m[6] = {0.0f, 0.9f, 0.75f, 0.66f, 0.0f, end_mass};
  const Eigen::Vector3f g0(0.0f, 0.0f, -9.81f);

  // Gravity in each link frame.
  Eigen::Vector3f g[6];
  Eigen::Matrix3f R0i = R[0];
  g[0] = R0i.transpose() * g0;
  for (int i = 1; i < 6; ++i) {
    R0i = (R0i * R[i]).eval();
    g[i] = R0i.transpose() * g0;
  }

  // Forces and moments from the tip inward; nothing acts on the tip.
  Eigen::Vector3f f[6];
  Eigen::Vector3f n[6];
  f[5] = m[5] * (-g[5]);
  n[5] = p[5].cross(f[5]);
  for (int i = 4; i >= 0; --i) {
    f[i] = R[i + 1] * f[i + 1] + m[i] * (-g[i]);
    n[i] = R[i + 1] * n[i + 1] + p[i].cross(f[i]);
  }

  // Torque = moment about the joint axis, the z axis of the previous frame.
  Eigen::VectorXf tau(6);
  for (int i = 0; i < 6; ++i) tau(i) = R[i].row(2).dot(n[i]);

  const float mod2rel = 1.24f;
  const double sign[6] = {1.0, -1.0, 1.0, 1.0, -1.0, 1.0};
  std::vector<double> result(6);
  for (int i = 0; i < 6; ++i)
    result[i] = static_cast<double>(tau(i)) * (sign[i] * static_cast<double>(mod2rel));
  return result;
}

}  // namespace solve
}  // namespace kav
