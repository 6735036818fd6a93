#include "interfaces/InterfacesPy.h"

#include <Eigen/Geometry>
#include <cmath>
#include <stdexcept>

#include "controller/ControllerThread.h"
#include "solver/Exercise.h"

namespace kav {
namespace t8 {

class InterfacesPy::impl : public ControllerThread {
 public:
  impl(const std::string& urdf_path, const std::string& can_name, int type)
      : ControllerThread(urdf_path, can_name, type) {}
};

InterfacesPy::InterfacesPy(const std::string& urdf_path, const std::string& can_name, int type)
    : pimpl(new impl(urdf_path, can_name, type)) {}

InterfacesPy::~InterfacesPy() = default;

bool InterfacesPy::set_arm_status(int state) {
  pimpl->setArmStatus(state);
  return true;
}

bool InterfacesPy::set_joint_positions(std::vector<double> positions) {
  pimpl->setJointPositions(positions);
  return true;
}

bool InterfacesPy::set_ee_pose(std::vector<double> pose) {
  if (pose.size() < 7) {
    throw std::invalid_argument("set_ee_pose: expected 7 values (x, y, z, qw, qx, qy, qz), got " +
                                std::to_string(pose.size()));
  }
  for (int i = 0; i < 7; ++i) {
    if (!std::isfinite(pose[i])) {
      throw std::invalid_argument("set_ee_pose: every value must be a finite number");
    }
  }
  Eigen::Quaterniond rotation(pose[3], pose[4], pose[5], pose[6]);
  const double norm = rotation.norm();
  if (!(norm > 0.0) || !std::isfinite(norm)) {
    throw std::invalid_argument("set_ee_pose: the quaternion (qw, qx, qy, qz) must not be zero");
  }
  rotation.normalize();
  Eigen::Isometry3d target = Eigen::Isometry3d::Identity();
  target.rotate(rotation.toRotationMatrix());
  target.pretranslate(Eigen::Vector3d(pose[0], pose[1], pose[2]));
  pimpl->setEndPose(target);
  return true;
}

bool InterfacesPy::set_catch(double position) {
  pimpl->setCatch(position);
  return true;
}

std::vector<double> InterfacesPy::get_joint_positions() { return pimpl->getJointPositons(); }

std::vector<double> InterfacesPy::get_joint_velocities() { return pimpl->getJointVelocities(); }

std::vector<double> InterfacesPy::get_joint_currents() { return pimpl->getJointCurrent(); }

std::vector<double> InterfacesPy::get_ee_pose() {
  const Eigen::Isometry3d pose = pimpl->getEndPose();
  const Eigen::Quaterniond rotation(Eigen::Matrix3d(pose.linear()));
  const Eigen::Vector3d position = pose.translation();
  return {position.x(), position.y(), position.z(), rotation.w(), rotation.x(), rotation.y(), rotation.z()};
}

std::vector<double> InterfacesPy::get_ee_pose_xyzrpy() { return solve::Isometry2Xyzrpy(pimpl->getEndPose()); }

void InterfacesPy::kav_x(double a, double b, double /*c*/) {
  if (!std::isfinite(a) || !std::isfinite(b)) {
    throw std::invalid_argument("kav_x: the acceleration and speed limits must be finite numbers");
  }
  pimpl->setInterpolationParam(a / 1000, b / 1000);
}

bool InterfacesPy::get_joint_names() { return false; }

bool InterfacesPy::go_home() {
  pimpl->setArmStatus(ControllerBase::GO_HOME);
  return true;
}

bool InterfacesPy::gravity_compensation() {
  pimpl->setArmStatus(ControllerBase::G_COMPENSATION);
  return true;
}

bool InterfacesPy::set_joint_velocities() { return false; }

}  // namespace t8
}  // namespace kav
