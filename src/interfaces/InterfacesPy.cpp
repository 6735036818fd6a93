#include "interfaces/InterfacesPy.h"

#include <cmath>
#include <stdexcept>

#include "controller/ControllerThread.h"
#include "interfaces/PoseVector.h"
#include "solver/Exercise.h"

namespace kav {
namespace t8 {

namespace {

// The core refuses the same input; checking here first gives messages that
// name the operation the script called.
void requireFinite(double value, const std::string& what) {
  if (!std::isfinite(value)) throw std::invalid_argument(what + " is not a finite number");
}

}  // namespace

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
  if (positions.size() < 6) {
    throw std::invalid_argument("set_joint_positions: expected 6 joint positions, got " +
                                std::to_string(positions.size()));
  }
  for (int i = 0; i < 6; ++i) {
    requireFinite(positions[i], "set_joint_positions: the position of joint " + std::to_string(i + 1));
  }
  pimpl->setJointPositions(positions);
  return true;
}

bool InterfacesPy::set_ee_pose(std::vector<double> pose) {
  Eigen::Isometry3d target;
  try {
    target = isometryFromPoseVector(pose);
  } catch (const std::invalid_argument& error) {
    throw std::invalid_argument(std::string("set_ee_pose: ") + error.what());
  }
  pimpl->setEndPose(target);
  return true;
}

bool InterfacesPy::set_catch(double position) {
  requireFinite(position, "set_catch: the gripper position");
  pimpl->setCatch(position);
  return true;
}

std::vector<double> InterfacesPy::get_joint_positions() { return pimpl->getJointPositons(); }

std::vector<double> InterfacesPy::get_joint_velocities() { return pimpl->getJointVelocities(); }

std::vector<double> InterfacesPy::get_joint_currents() { return pimpl->getJointCurrent(); }

std::vector<double> InterfacesPy::get_ee_pose() { return poseVectorFromIsometry(pimpl->getEndPose()); }

std::vector<double> InterfacesPy::get_ee_pose_xyzrpy() { return solve::Isometry2Xyzrpy(pimpl->getEndPose()); }

void InterfacesPy::kav_x(double a, double b, double /*c*/) {
  requireFinite(a, "kav_x: the acceleration limit");
  requireFinite(b, "kav_x: the speed limit");
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

bool InterfacesPy::control_active() { return pimpl->controlActive(); }

std::vector<int> InterfacesPy::get_error_codes() { return pimpl->getErrorCode(); }

std::vector<std::uint64_t> InterfacesPy::get_dropped_frames() { return pimpl->droppedFrames(); }

}  // namespace t8
}  // namespace kav
