#include "interfaces/InterfacesPy.h"

#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "controller/ControllerThread.h"
#include "controller/UserControl.h"
#include "interfaces/CommandStream.h"
#include "interfaces/InterfacesThread.h"
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

// The core's messages begin with the name of its own operation
// ("setPayload: ..."); a script reads the name of the call it made instead.
template <class F>
void underScriptName(const char* name, F&& call) {
  try {
    call();
  } catch (const std::invalid_argument& error) {
    const std::string message = error.what();
    const std::size_t colon = message.find(": ");
    throw std::invalid_argument(std::string(name) + ": " +
                                (colon == std::string::npos ? message : message.substr(colon + 2)));
  }
}

}  // namespace

class InterfacesPy::impl : public ControllerThread {
 public:
  impl(const std::string& urdf_path, const std::string& can_name, int type)
      : ControllerThread(urdf_path, can_name, type) {}
  impl(const std::string& urdf_path, const std::string& can_name, int type, ArmPlatform platform)
      : ControllerThread(urdf_path, can_name, type, std::move(platform)) {}
  int armState() const { return storedState(); }
};

InterfacesPy::InterfacesPy(const std::string& urdf_path, const std::string& can_name, int type)
    : pimpl(new impl(urdf_path, can_name, type)), stream_(std::make_unique<CommandStream>(*pimpl)) {}

InterfacesPy::InterfacesPy(const std::string& urdf_path, const std::string& can_name, int type,
                           ArmPlatform platform)
    : pimpl(new impl(urdf_path, can_name, type, std::move(platform))),
      stream_(std::make_unique<CommandStream>(*pimpl)) {}

InterfacesPy::~InterfacesPy() = default;  // stream_ first, then pimpl

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

void InterfacesPy::follow_joint_trajectory(const std::vector<std::vector<double>>& positions,
                                           const std::vector<std::vector<double>>& velocities,
                                           const std::vector<std::vector<double>>& accelerations,
                                           const std::vector<double>& times) {
  const std::size_t count = times.size();
  auto requireCount = [count](std::size_t size, const char* what) {
    if (size != count) {
      throw std::invalid_argument(std::string("follow_joint_trajectory: ") + what + " has " +
                                  std::to_string(size) + " entries for " + std::to_string(count) + " points");
    }
  };
  requireCount(positions.size(), "positions");
  if (!velocities.empty()) requireCount(velocities.size(), "velocities");
  if (!accelerations.empty()) requireCount(accelerations.size(), "accelerations");
  std::vector<TrajectoryPoint> points(count);
  for (std::size_t p = 0; p < count; ++p) {
    points[p].positions = positions[p];
    if (!velocities.empty()) points[p].velocities = velocities[p];
    if (!accelerations.empty()) points[p].accelerations = accelerations[p];
    points[p].time_from_start = times[p];
  }
  pimpl->followJointTrajectory(points);
}

void InterfacesPy::move_joints(const std::vector<double>& target, double speed_scale) {
  pimpl->moveJoints(target, speed_scale);
}

void InterfacesPy::move_linear(const std::vector<double>& pose, double speed) {
  Eigen::Isometry3d target = Eigen::Isometry3d::Identity();
  if (pose.size() == 16) {
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) target.matrix()(r, c) = pose[static_cast<std::size_t>(4 * r + c)];
    }
  } else if (pose.size() == 7) {
    try {
      target = isometryFromPoseVector(pose);
    } catch (const std::invalid_argument& error) {
      throw std::invalid_argument(std::string("move_linear: ") + error.what());
    }
  } else {
    throw std::invalid_argument(
        "move_linear: expected 7 pose values (x, y, z, qw, qx, qy, qz) or a 4x4 matrix, got " +
        std::to_string(pose.size()) + " values");
  }
  pimpl->moveLinear(target, speed);
}

bool InterfacesPy::motion_done() { return pimpl->motionDone(); }

bool InterfacesPy::wait_motion(double timeout) { return pimpl->waitMotion(timeout); }

void InterfacesPy::stop_motion() { pimpl->stopMotion(); }

void InterfacesPy::set_motion_limits(const std::vector<double>& max_velocity,
                                     const std::vector<double>& max_acceleration) {
  pimpl->setMotionLimits(max_velocity, max_acceleration);
}

bool InterfacesPy::control_active() { return pimpl->controlActive(); }

std::vector<int> InterfacesPy::get_error_codes() { return pimpl->getErrorCode(); }

std::vector<std::uint64_t> InterfacesPy::get_dropped_frames() { return pimpl->droppedFrames(); }

int InterfacesPy::get_arm_status() { return pimpl->armState(); }

void InterfacesPy::set_collision_thresholds(const std::vector<double>& lower,
                                            const std::vector<double>& upper) {
  underScriptName("set_collision_thresholds", [&] { pimpl->setCollisionThresholds(lower, upper); });
}

std::pair<std::vector<double>, std::vector<double>> InterfacesPy::get_collision_thresholds() {
  std::pair<std::vector<double>, std::vector<double>> thresholds;
  pimpl->getCollisionThresholds(thresholds.first, thresholds.second);
  return thresholds;
}

std::vector<double> InterfacesPy::get_external_torques() { return pimpl->getExternalTorques(); }

bool InterfacesPy::contact_detected() { return pimpl->contactDetected(); }

void InterfacesPy::set_payload(double mass, const std::vector<double>& centre_of_mass) {
  if (centre_of_mass.size() != 3) {
    throw std::invalid_argument("set_payload: expected the centre of mass as 3 values (x, y, z), got " +
                                std::to_string(centre_of_mass.size()));
  }
  const Eigen::Vector3d centre(centre_of_mass[0], centre_of_mass[1], centre_of_mass[2]);
  underScriptName("set_payload", [&] { pimpl->setPayload(mass, centre); });
}

void InterfacesPy::load_dynamics(const std::string& path) {
  underScriptName("load_dynamics", [&] { pimpl->loadDynamics(path); });
}

void InterfacesPy::load_payload(const std::string& path) {
  underScriptName("load_payload", [&] { pimpl->loadPayload(path); });
}

void InterfacesPy::recover() { pimpl->recover(); }

namespace {

std::array<double, 6> sixOf(const std::vector<double>& values, const std::string& what) {
  if (values.size() != 6) {
    throw std::invalid_argument(what + ": expected 6 values, got " + std::to_string(values.size()));
  }
  std::array<double, 6> six;
  std::copy(values.begin(), values.end(), six.begin());
  return six;
}

// @p law until @p seconds of its own time have passed.
ControlLaw forSeconds(ControlLaw law, double seconds, const char* name) {
  if (!std::isfinite(seconds) || seconds <= 0.0) {
    throw std::invalid_argument(std::string(name) + ": seconds must be a finite number above 0");
  }
  return [law = std::move(law), seconds](const CycleState& state) {
    JointCommand command = law(state);
    command.finished = state.time >= seconds;
    return command;
  };
}

}  // namespace

void InterfacesPy::run_joint_impedance(const std::vector<double>& stiffness,
                                       const std::vector<double>& damping, const std::vector<double>& target,
                                       double seconds) {
  const char* name = "run_joint_impedance";
  ControlLaw law;
  underScriptName(name, [&] {
    law = laws::jointImpedance(sixOf(stiffness, "run_joint_impedance: stiffness"),
                               sixOf(damping, "run_joint_impedance: damping"),
                               sixOf(target, "run_joint_impedance: target"));
  });
  pimpl->control(forSeconds(std::move(law), seconds, name));
}

void InterfacesPy::run_cartesian_impedance(const std::vector<double>& stiffness,
                                           const std::vector<double>& damping,
                                           const std::vector<double>& pose, double seconds) {
  const char* name = "run_cartesian_impedance";
  ControlLaw law;
  underScriptName(name, [&] {
    law = laws::cartesianImpedance(sixOf(stiffness, "run_cartesian_impedance: stiffness"),
                                   sixOf(damping, "run_cartesian_impedance: damping"),
                                   isometryFromPoseVector(pose));
  });
  pimpl->control(forSeconds(std::move(law), seconds, name));
}

void InterfacesPy::stream_start() { stream_->start(); }

void InterfacesPy::stream_read(double timeout, CycleState& state) { stream_->read(timeout, state); }

void InterfacesPy::stream_write(const std::vector<double>& k_p, const std::vector<double>& k_d,
                                const std::vector<double>& position, const std::vector<double>& velocity,
                                const std::vector<double>& torque) {
  const std::array<double, 6> values[] = {
      sixOf(k_p, "write_once: k_p"), sixOf(k_d, "write_once: k_d"), sixOf(position, "write_once: position"),
      sixOf(velocity, "write_once: velocity"), sixOf(torque, "write_once: torque")};
  JointCommand command;
  for (int i = 0; i < 6; ++i) {
    HybridJointCmd& joint = command.joints[i];
    joint.k_p = values[0][i];
    joint.k_d = values[1][i];
    joint.position = values[2][i];
    joint.velocity = values[3][i];
    joint.torque = values[4][i];
  }
  try {
    stream_->write(command);
  } catch (const std::invalid_argument& error) {
    throw std::invalid_argument(std::string("write_once: ") + error.what());
  }
}

void InterfacesPy::stream_stop() { stream_->stop(); }

std::uint64_t InterfacesPy::stream_late_cycles() { return stream_->lateCycles(); }

}  // namespace t8
}  // namespace kav
