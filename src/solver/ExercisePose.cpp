#include <solver/Exercise.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kav {
namespace solve {

Eigen::Isometry3d Xyzrpy2Isometry(const double* input) {
  if (input == nullptr) {
    throw std::invalid_argument("Xyzrpy2Isometry: input is a null pointer");
  }
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.translation() = Eigen::Vector3d(input[0], input[1], input[2]);
  const Eigen::Quaterniond rotation = Eigen::AngleAxisd(input[5], Eigen::Vector3d::UnitZ()) *
                                      Eigen::AngleAxisd(input[4], Eigen::Vector3d::UnitY()) *
                                      Eigen::AngleAxisd(input[3], Eigen::Vector3d::UnitX());
  pose.rotate(rotation.toRotationMatrix());
  return pose;
}

std::vector<double> Isometry2Xyzrpy(const Eigen::Isometry3d& pose) {
  std::vector<double> result(6, 0.0);
  Isometry2Xyzrpy(pose, result.data());
  return result;
}

void Isometry2Xyzrpy(const Eigen::Isometry3d& pose, double* out) {
  const Eigen::Vector3d t = pose.translation();
  const Eigen::Matrix3d R = pose.linear();
  out[0] = t.x();
  out[1] = t.y();
  out[2] = t.z();
  out[3] = std::atan2(R(2, 1), R(2, 2));
  out[4] = std::asin(std::clamp(-R(2, 0), -1.0, 1.0));
  out[5] = std::atan2(R(1, 0), R(0, 0));
}

}  // namespace solve
}  // namespace kav
