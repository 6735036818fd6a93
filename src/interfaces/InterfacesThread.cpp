#include "interfaces/InterfacesThread.h"

#include <cmath>
#include <stdexcept>

#include "controller/ControllerThread.h"

namespace kav {
namespace t8 {

class InterfacesThread::impl : public ControllerThread {
 public:
  impl(const std::string& urdf_path, const std::string& can_name, int type, ArmPlatform platform)
      : ControllerThread(urdf_path, can_name, type, std::move(platform)) {}
  int armState() const { return storedState(); }
};

InterfacesThread::InterfacesThread(const std::string& urdf_path, const std::string& can_name, int type)
    : InterfacesThread(urdf_path, can_name, type, ArmPlatform()) {}

InterfacesThread::InterfacesThread(const std::string& urdf_path, const std::string& can_name, int type,
                                   ArmPlatform platform)
    : pimpl(new impl(urdf_path, can_name, type, std::move(platform))) {}

InterfacesThread::~InterfacesThread() = default;

std::vector<hw_interface::HybridJointStatus> InterfacesThread::getJointStatus() {
  return pimpl->getJointStatus();
}

std::vector<double> InterfacesThread::getJointPositons() { return pimpl->getJointPositons(); }

std::vector<double> InterfacesThread::getJointVelocities() { return pimpl->getJointVelocities(); }

std::vector<double> InterfacesThread::getJointCurrent() { return pimpl->getJointCurrent(); }

Eigen::Isometry3d InterfacesThread::getEndPose() { return pimpl->getEndPose(); }

void InterfacesThread::setArmStatus(int state) { pimpl->setArmStatus(state); }

void InterfacesThread::setEndPose(Eigen::Isometry3d input) { pimpl->setEndPose(input); }

void InterfacesThread::setJointPositions(std::vector<double> positions) {
  pimpl->setJointPositions(std::move(positions));
}

void InterfacesThread::setHomePositions(std::vector<double> positions) {
  pimpl->setHomePositions(std::move(positions));
}

void InterfacesThread::setCatch(double position) { pimpl->setCatch(position); }

void InterfacesThread::setCatchTorque(double torque) { pimpl->setCatchTorque(torque); }

void InterfacesThread::kav_x(double a, double b, double /*c*/) {
  if (!std::isfinite(a) || !std::isfinite(b)) {
    throw std::invalid_argument("kav_x: the acceleration and speed limits must be finite numbers");
  }
  pimpl->setInterpolationParam(a / 1000, b / 1000);
}

std::vector<int> InterfacesThread::getErrorCode() { return pimpl->getErrorCode(); }

int InterfacesThread::getArmStatus() { return pimpl->armState(); }

std::vector<InterfacesThread::CycleTiming> InterfacesThread::getCycleTimings(std::size_t newest) {
  const auto timings = pimpl->getCycleTimings(newest);
  std::vector<CycleTiming> result;
  result.reserve(timings.size());
  for (const auto& timing : timings) result.push_back({timing.start, timing.update});
  return result;
}

void InterfacesThread::followJointTrajectory(const std::vector<TrajectoryPoint>& points) {
  pimpl->followJointTrajectory(points);
}

void InterfacesThread::moveJoints(const std::vector<double>& target, double speed_scale) {
  pimpl->moveJoints(target, speed_scale);
}

void InterfacesThread::moveLinear(const Eigen::Isometry3d& pose, double speed) {
  pimpl->moveLinear(pose, speed);
}

bool InterfacesThread::motionDone() { return pimpl->motionDone(); }

bool InterfacesThread::waitMotion(double timeout_s) { return pimpl->waitMotion(timeout_s); }

void InterfacesThread::stopMotion() { pimpl->stopMotion(); }

void InterfacesThread::setMotionLimits(const std::vector<double>& max_velocity,
                                       const std::vector<double>& max_acceleration) {
  pimpl->setMotionLimits(max_velocity, max_acceleration);
}

bool InterfacesThread::controlActive() { return pimpl->controlActive(); }

std::vector<std::uint64_t> InterfacesThread::getDroppedFrames() { return pimpl->droppedFrames(); }

void InterfacesThread::setCollisionThresholds(const std::vector<double>& lower,
                                              const std::vector<double>& upper) {
  pimpl->setCollisionThresholds(lower, upper);
}

std::vector<double> InterfacesThread::getExternalTorques() { return pimpl->getExternalTorques(); }

bool InterfacesThread::contactDetected() { return pimpl->contactDetected(); }

std::string InterfacesThread::lastReflex() { return pimpl->lastReflex(); }

void InterfacesThread::setPayload(double mass, const Eigen::Vector3d& centre_of_mass) {
  pimpl->setPayload(mass, centre_of_mass);
}

void InterfacesThread::loadDynamics(const std::string& path) { pimpl->loadDynamics(path); }

void InterfacesThread::loadPayload(const std::string& path) { pimpl->loadPayload(path); }

void InterfacesThread::recover() { pimpl->recover(); }

void InterfacesThread::control(const ControlLaw& law) { pimpl->control(law); }

void InterfacesThread::stopControl() { pimpl->stopControl(); }

void InterfacesThread::setSafetyLimits(const SafetyLimits& limits) { pimpl->setSafetyLimits(limits); }

SafetyLimits InterfacesThread::safetyLimits() { return pimpl->safetyLimits(); }

}  // namespace t8
}  // namespace kav
