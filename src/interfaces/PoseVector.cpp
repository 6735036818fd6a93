#include "interfaces/PoseVector.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace kav {
namespace t8 {

std::vector<double> poseVectorFromIsometry(const Eigen::Isometry3d& pose) {
  const Eigen::Quaterniond rotation(Eigen::Matrix3d(pose.linear()));
  const Eigen::Vector3d position = pose.translation();
  return {position.x(), position.y(), position.z(), rotation.w(), rotation.x(), rotation.y(), rotation.z()};
}

Eigen::Isometry3d isometryFromPoseVector(const std::vector<double>& pose) {
  if (pose.size() < 7) {
    throw std::invalid_argument("expected 7 pose values (x, y, z, qw, qx, qy, qz), got " +
                                std::to_string(pose.size()));
  }
  for (int i = 0; i < 7; ++i) {
    if (!std::isfinite(pose[i])) {
      throw std::invalid_argument("pose value " + std::to_string(i) + " is not a finite number");
    }
  }
  Eigen::Vector4d wxyz(pose[3], pose[4], pose[5], pose[6]);
  // Scale by the largest component first: the norm of very large or very
  // small quaternions then neither overflows nor underflows to zero.
  const double largest = wxyz.cwiseAbs().maxCoeff();
  if (largest == 0.0) {
    throw std::invalid_argument("the quaternion (qw, qx, qy, qz) is zero and gives no rotation");
  }
  wxyz /= largest;
  wxyz.normalize();
  const Eigen::Quaterniond rotation(wxyz[0], wxyz[1], wxyz[2], wxyz[3]);
  Eigen::Isometry3d result = Eigen::Isometry3d::Identity();
  result.rotate(rotation.toRotationMatrix());
  result.pretranslate(Eigen::Vector3d(pose[0], pose[1], pose[2]));
  return result;
}

}  // namespace t8
}  // namespace kav
