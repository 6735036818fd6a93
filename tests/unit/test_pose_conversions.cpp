#include <gtest/gtest.h>
#include <solver/Exercise.h>

#include <array>
#include <cmath>
#include <kdl/frames.hpp>
#include <stdexcept>
#include <vector>

namespace {

using kav::solve::Isometry2Xyzrpy;
using kav::solve::Xyzrpy2Isometry;
using Six = std::array<double, 6>;

constexpr double kPi = 3.14159265358979323846;

Eigen::Isometry3d toIsometry(Six v) { return Xyzrpy2Isometry(v.data()); }

TEST(PoseConversion, IdentityAndZerosCorrespond) {
  EXPECT_TRUE(toIsometry(Six{}).isApprox(Eigen::Isometry3d::Identity(), 0.0));
  EXPECT_EQ(Isometry2Xyzrpy(Eigen::Isometry3d::Identity()), std::vector<double>(6, 0.0));
}

TEST(PoseConversion, TranslationAndFixedAxisRotationOrder) {
  const Six v{0.1, -0.2, 0.3, 0.4, -0.5, 0.6};
  const Eigen::Isometry3d pose = toIsometry(v);
  EXPECT_EQ(pose.translation(), Eigen::Vector3d(0.1, -0.2, 0.3));
  // Roll about X first, then pitch about fixed Y, then yaw about fixed Z.
  const Eigen::Matrix3d expected = (Eigen::AngleAxisd(0.6, Eigen::Vector3d::UnitZ()).toRotationMatrix() *
                                    Eigen::AngleAxisd(-0.5, Eigen::Vector3d::UnitY()).toRotationMatrix() *
                                    Eigen::AngleAxisd(0.4, Eigen::Vector3d::UnitX()).toRotationMatrix());
  EXPECT_TRUE(pose.linear().isApprox(expected, 1e-15));
  EXPECT_EQ(pose.matrix().row(3), Eigen::RowVector4d(0, 0, 0, 1));

  const KDL::Rotation kdl = KDL::Rotation::RPY(0.4, -0.5, 0.6);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(pose.linear()(r, c), kdl(r, c), 1e-15);
  }
}

TEST(PoseConversion, RoundTripsInsideTheAngleRanges) {
  const double angles[] = {-3.1, -1.2, -0.3, 0.0, 0.7, 2.0, 3.1};
  const double pitches[] = {-1.5, -0.8, 0.0, 0.4, 1.5};
  for (double roll : angles) {
    for (double pitch : pitches) {
      for (double yaw : angles) {
        const Six v{0.5, -1.5, 2.5, roll, pitch, yaw};
        const std::vector<double> back = Isometry2Xyzrpy(toIsometry(v));
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(back[i], v[i], 1e-12) << i;

        double r, p, y;
        KDL::Rotation::RPY(roll, pitch, yaw).GetRPY(r, p, y);
        EXPECT_NEAR(back[3], r, 1e-12);
        EXPECT_NEAR(back[4], p, 1e-12);
        EXPECT_NEAR(back[5], y, 1e-12);
      }
    }
  }
}

TEST(PoseConversion, AnglesOutsideTheRangesComeBackWrapped) {
  const Six v{0, 0, 0, 1.5 * kPi, 0.2, -0.1};
  const Eigen::Isometry3d pose = toIsometry(v);
  const std::vector<double> back = Isometry2Xyzrpy(pose);
  EXPECT_NEAR(back[3], -kPi / 2, 1e-12);
  EXPECT_NEAR(back[4], 0.2, 1e-12);
  EXPECT_NEAR(back[5], -0.1, 1e-12);
  Six wrapped{};
  std::copy(back.begin(), back.end(), wrapped.begin());
  EXPECT_TRUE(toIsometry(wrapped).isApprox(pose, 1e-12));
}

TEST(PoseConversion, PitchAtPlusMinusHalfPi) {
  for (double sign : {1.0, -1.0}) {
    const Eigen::Isometry3d pose = toIsometry({0, 0, 0, 0, sign * kPi / 2, 0});
    EXPECT_EQ(pose.linear()(2, 0), -sign);
    EXPECT_EQ(Isometry2Xyzrpy(pose)[4], sign * kPi / 2);
  }
}

TEST(PoseConversion, RoundingPastUnitAtPitchHalfPiGivesHalfPiNotNan) {
  for (double sign : {1.0, -1.0}) {
    Eigen::Isometry3d pose = toIsometry({0, 0, 0, 0.3, sign * kPi / 2, 0.2});
    pose.linear()(2, 0) = std::nextafter(-sign, -2.0 * sign);
    ASSERT_GT(std::fabs(pose.linear()(2, 0)), 1.0);
    const std::vector<double> back = Isometry2Xyzrpy(pose);
    EXPECT_EQ(back[4], sign * kPi / 2);
    for (double value : back) EXPECT_FALSE(std::isnan(value));
  }
}

TEST(PoseConversion, NullInputIsRefused) { EXPECT_THROW(Xyzrpy2Isometry(nullptr), std::invalid_argument); }

}  // namespace
