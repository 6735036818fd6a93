// The pose seven-vector of the scripting facade: x, y, z, qw, qx, qy, qz.
#include <gtest/gtest.h>
#include <interfaces/PoseVector.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace {

using kav::t8::isometryFromPoseVector;
using kav::t8::poseVectorFromIsometry;

Eigen::Isometry3d withLinear(const Eigen::Matrix3d& linear, const Eigen::Vector3d& translation) {
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.linear() = linear;
  pose.translation() = translation;
  return pose;
}

TEST(PoseVector, IdentityRotationIsTheUnitQuaternion) {
  const auto vector = poseVectorFromIsometry(withLinear(Eigen::Matrix3d::Identity(), {0.1, -0.2, 0.3}));
  EXPECT_EQ(vector, (std::vector<double>{0.1, -0.2, 0.3, 1, 0, 0, 0}));

  const Eigen::Isometry3d pose = isometryFromPoseVector({0.1, -0.2, 0.3, 1, 0, 0, 0});
  EXPECT_EQ(pose.linear(), Eigen::Matrix3d::Identity());
  EXPECT_EQ(pose.translation(), Eigen::Vector3d(0.1, -0.2, 0.3));
  EXPECT_EQ(pose.matrix().row(3), Eigen::RowVector4d(0, 0, 0, 1));
}

TEST(PoseVector, HalfTurnsGiveThePositiveComponent) {
  // Trace -1: the component of the largest diagonal element comes first and
  // is taken positive.
  EXPECT_EQ(poseVectorFromIsometry(withLinear(Eigen::Vector3d(1, -1, -1).asDiagonal(), {0, 0, 0})),
            (std::vector<double>{0, 0, 0, 0, 1, 0, 0}));
  EXPECT_EQ(poseVectorFromIsometry(withLinear(Eigen::Vector3d(-1, 1, -1).asDiagonal(), {0, 0, 0})),
            (std::vector<double>{0, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(poseVectorFromIsometry(withLinear(Eigen::Vector3d(-1, -1, 1).asDiagonal(), {0, 0, 0})),
            (std::vector<double>{0, 0, 0, 0, 0, 0, 1}));
}

TEST(PoseVector, RoundTripsAndTheQuaternionLayout) {
  // A quarter turn about Z: qw = qz = sqrt(1/2), scalar first.
  const auto quarter = poseVectorFromIsometry(
      withLinear(Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitZ()).toRotationMatrix(), {1, 2, 3}));
  EXPECT_NEAR(quarter[3], std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(quarter[4], 0.0, 1e-15);
  EXPECT_NEAR(quarter[5], 0.0, 1e-15);
  EXPECT_NEAR(quarter[6], std::sqrt(0.5), 1e-15);

  for (const Eigen::Vector3d& axis : {Eigen::Vector3d(1, 2, 3), Eigen::Vector3d(-0.3, 0.1, 0.9)}) {
    for (double angle : {0.2, 1.7, 3.1, -2.5}) {
      const Eigen::Isometry3d pose =
          withLinear(Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix(), {0.05, -0.4, 0.2});
      const auto vector = poseVectorFromIsometry(pose);
      EXPECT_TRUE(isometryFromPoseVector(vector).isApprox(pose, 1e-14)) << angle;
      // q and -q are the same rotation.
      std::vector<double> negated = vector;
      for (int i = 3; i < 7; ++i) negated[i] = -negated[i];
      EXPECT_TRUE(isometryFromPoseVector(negated).isApprox(pose, 1e-14)) << angle;
    }
  }
}

TEST(PoseVector, QuaternionsOfAnyScaleAreNormalised) {
  const Eigen::Matrix3d expected = Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitX()).toRotationMatrix();
  // Includes scales whose squared norm would overflow or underflow.
  for (double scale : {1.0, 3.0, 1e-3, 1e-200, 1e200, 1e-310}) {
    const Eigen::Isometry3d pose = isometryFromPoseVector({0, 0, 0, scale, scale, 0, 0});
    EXPECT_TRUE(pose.linear().isApprox(expected, 1e-14)) << "scale " << scale;
    EXPECT_TRUE(pose.linear().allFinite()) << "scale " << scale;
  }
  // Values beyond the seventh are ignored.
  EXPECT_TRUE(isometryFromPoseVector({0, 0, 0, 1, 1, 0, 0, 99, -5}).linear().isApprox(expected, 1e-14));
}

TEST(PoseVector, UnusableInputIsRefused) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(isometryFromPoseVector({}), std::invalid_argument);
  EXPECT_THROW(isometryFromPoseVector({0, 0, 0, 1, 0, 0}), std::invalid_argument);
  EXPECT_THROW(isometryFromPoseVector({0, 0, 0, 0, 0, 0, 0}), std::invalid_argument);
  EXPECT_THROW(isometryFromPoseVector({1, 2, 3, 0, -0.0, 0, 0}), std::invalid_argument);
  for (int i = 0; i < 7; ++i) {
    for (double bad : {nan, inf, -inf}) {
      std::vector<double> pose{0, 0, 0, 1, 0, 0, 0};
      pose[i] = bad;
      EXPECT_THROW(isometryFromPoseVector(pose), std::invalid_argument) << "index " << i;
    }
  }
  try {
    isometryFromPoseVector({0, 0, 0});
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("got 3"), std::string::npos) << error.what();
  }
}

}  // namespace
