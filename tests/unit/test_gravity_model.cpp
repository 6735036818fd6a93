// Point-mass gravity torque model.
#include <gtest/gtest.h>
#include <solver/Interpolation.h>

#include <Eigen/Geometry>
#include <vector>

using kav::solve::q7_get_Tau;

namespace {

void expect_torques(std::vector<double> q, int type, const std::vector<double>& expected) {
  const std::vector<double> tau = q7_get_Tau(q.data(), type);
  ASSERT_EQ(tau.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(tau[i], expected[i], 1e-3) << "joint " << i + 1;
}

// The same model summed directly in double precision: the torque about a
// joint axis is the moment of the weights of all links beyond it, taken
// about the joint's origin, and no recursion is involved.
std::vector<double> direct_torques(const double* q, double end_mass) {
  const double theta[6] = {q[0], 3.1416 - q[1], q[2] - 2.9015, q[3] - 0.24, 1.5708 - q[4], q[5]};
  const double twist[6] = {M_PI / 2, 0, 0, -M_PI / 2, M_PI / 2, 0};
  const Eigen::Vector3d p[6] = {{0.02, 0, 0},       {0.264, 0, 0}, {0.252, 0, 0},
                                {0.06775, 0, 0.03}, {0, -0.03, 0}, {0, 0, 0.0865}};
  const double m[6] = {0, 0.9, 0.75, 0.66, 0, end_mass};
  Eigen::Matrix3d R = Eigen::Matrix3d::Identity();
  Eigen::Vector3d origin[7], axis[6];
  origin[0].setZero();
  for (int i = 0; i < 6; ++i) {
    axis[i] = R.col(2);
    R = R * (Eigen::AngleAxisd(theta[i], Eigen::Vector3d::UnitZ()) *
             Eigen::AngleAxisd(twist[i], Eigen::Vector3d::UnitX()))
                .toRotationMatrix();
    origin[i + 1] = origin[i] + R * p[i];
  }
  const Eigen::Vector3d support(0, 0, 9.81);  // force that holds up 1 kg
  const double sign[6] = {1, -1, 1, 1, -1, 1};
  std::vector<double> tau(6, 0.0);
  for (int j = 0; j < 6; ++j) {
    Eigen::Vector3d moment = Eigen::Vector3d::Zero();
    for (int k = j; k < 6; ++k) moment += (origin[k + 1] - origin[j]).cross(m[k] * support);
    tau[j] = sign[j] * 1.24 * axis[j].dot(moment);
  }
  return tau;
}

}  // namespace

TEST(GravityModel, TorquesAtReferenceConfigurations) {
  expect_torques({0, 0, 0, 0, 0, 0}, 0, {0, 1.691, 7.655, 1.670, 0, 0});
  expect_torques({0, 0, 0, 0, 0, 0}, 1, {0, 1.444, 8.383, 1.951, 0, 0});
  // Joints 2 and 3 turned together keep the forearm's attitude; the model
  // torque of joint 2 turns positive and is reported negated.
  expect_torques({0, 1, 1, 0, 0, 0}, 0, {0, -2.605, 7.655, 1.670, 0, 0});
}

TEST(GravityModel, UnknownVariantUsesTheLighterEndMass) {
  double q[6] = {0.3, 0.7, 1.1, -0.4, 0.5, 0.2};
  EXPECT_EQ(q7_get_Tau(q, 2), q7_get_Tau(q, 0));
  EXPECT_EQ(q7_get_Tau(q, -1), q7_get_Tau(q, 0));
  EXPECT_NE(q7_get_Tau(q, 1), q7_get_Tau(q, 0));
}

TEST(GravityModel, BaseJointCarriesNoTorqueAndDoesNotMatter) {
  double q[6] = {0.0, 0.7, 1.1, -0.4, 0.5, 0.2};
  const std::vector<double> ref = q7_get_Tau(q, 0);
  for (double q1 : {-2.5, -0.3, 1.0, 3.0}) {
    q[0] = q1;
    const std::vector<double> tau = q7_get_Tau(q, 0);
    EXPECT_NEAR(tau[0], 0.0, 1e-5);
    for (int i = 1; i < 6; ++i) EXPECT_NEAR(tau[i], ref[i], 1e-5) << i;
  }
}

TEST(GravityModel, AgreesWithADirectMomentSum) {
  const double cases[][6] = {
      {0.3, 0.7, 1.1, -0.4, 0.5, 0.2}, {-1.0, 2.0, 0.4, 1.2, -1.1, 2.5}, {2.0, -0.5, 2.5, 0.0, 1.4, -1.0}};
  for (const auto& qc : cases) {
    double q[6];
    for (int i = 0; i < 6; ++i) q[i] = qc[i];
    for (int type : {0, 1}) {
      const std::vector<double> tau = q7_get_Tau(q, type);
      const std::vector<double> ref = direct_torques(q, type == 1 ? 0.75 : 0.6);
      for (int i = 0; i < 6; ++i) EXPECT_NEAR(tau[i], ref[i], 1e-4) << "joint " << i + 1;
    }
  }
}
