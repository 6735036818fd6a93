#include "controller/ControllerBase.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "canbase/SocketCan.h"
#include "config/ArmConfig.h"
#include "controller/ControlLoop.h"
#include "controller/EndTarget.h"
#include "controller/FaultMonitor.h"
#include "controller/MotorBus.h"
#include "controller/StartupSequence.h"
#include "rt/SigpipeGuard.h"

namespace kav {
namespace t8 {

using namespace config;

const char* ControllerBase::stateName(int state) {
  static const char* const kNames[] = {"SOFT",        "GO_HOME",          "PROTECT",     "G_COMPENSATION",
                                       "END_CONTROL", "POSITION_CONTROL", "USER_CONTROL"};
  return state >= SOFT && state <= USER_CONTROL ? kNames[state] : kNames[PROTECT];
}

ControllerBase::ControllerBase(const std::string& urdf_path, const std::string& can_name, int type)
    : ControllerBase(urdf_path, can_name, type, ArmPlatform()) {}

ControllerBase::ControllerBase(const std::string& urdf_path, const std::string& can_name, int type,
                               ArmPlatform platform)
    : go_home_flag_(false),
      can_name_(can_name),
      type_(type),
      clock_(platform.clock != nullptr ? *platform.clock : rt::RealTimeClock::instance()),
      cycle_driver_(platform.cycles),
      transport_(std::move(platform.transport)),
      solver_(urdf_path, "base_link", "link6"),
      end_target_(std::make_unique<EndTarget>(solver_, urdf_path, cycle_driver_ == nullptr)) {
  if (cycle_driver_ == nullptr) console_lease_.emplace();
  const rt::SigpipeGuard no_sigpipe;
  Init();
}

ControllerBase::~ControllerBase() {
  const rt::SigpipeGuard no_sigpipe;
  end_target_.reset();      // its worker goes first
  if (!transport_) return;  // a failed start-up already shut everything down
  destoryFunc();
  std::printf("DisableMotor\n");
  loop_->holdDamping(kShutdownDampingRounds);
  transport_.reset();  // its lines too, under the guard
}

void ControllerBase::Init() {
  try {
    bringUp();
  } catch (...) {
    // The transport's threads must not reach this half-built controller.
    destoryFunc();
    transport_.reset();
    throw;
  }
}

void ControllerBase::bringUp() {
  openTransport();
  StartupSequence(*bus_, *loop_, can_name_, type_).run();
}

void ControllerBase::openTransport() {
  if (!transport_) transport_ = std::make_unique<hw_interface::SocketCan>();
  bus_ = std::make_unique<MotorBus>(*transport_, clock_);
  loop_ = std::make_unique<ControlLoop>(*bus_, solver_, *end_target_, type_, go_home_flag_);
  bus_->attach();
  if (!transport_->Init(can_name_.c_str())) {
    if (transport_->threadStartFailed()) {
      throw std::runtime_error("Cannot start the bus receive thread \"kav-can-rx\" for \"" + can_name_ +
                               "\"");
    }
    throw std::runtime_error("Cannot open the CAN interface \"" + can_name_ + "\"");
  }
}

void ControllerBase::Update() {
  const ControlLoop::Outcome outcome = loop_->step(clock_.now());
  if (outcome.fault == 0) return;
  clock_.sleepFor(kFaultPause);
  throw Fault(FaultMonitor::message(ErrorCode(outcome.fault)));
}

void ControllerBase::loadJointStatus() { loop_->loadFeedback(); }

std::vector<HybridJointStatus> ControllerBase::getJointStatus() {
  const auto& joints = loop_->feedback().joints;
  return std::vector<HybridJointStatus>(joints.begin(), joints.end());
}

Eigen::Isometry3d ControllerBase::getEndPose() { return loop_->endPose(); }

void ControllerBase::setHomePositions(std::vector<double> home_positions) {
  if (home_positions.size() < static_cast<std::size_t>(kArmJoints)) {
    throw std::invalid_argument("setHomePositions: expected 6 joint positions, got " +
                                std::to_string(home_positions.size()));
  }
  std::array<double, kArmJoints> home;
  for (int i = 0; i < kArmJoints; ++i) {
    if (!std::isfinite(home_positions[i])) {
      throw std::invalid_argument("setHomePositions: every home position must be a finite number");
    }
    home[i] = std::clamp(home_positions[i], kJointLower[i], kJointUpper[i]);
  }
  loop_->requestHome(home);
}

void ControllerBase::setClampPos() {
  bus_->startRound();
  bus_->send(bus_->driver(kGripper).packEnableMotor());
  bus_->endRound();
}

void ControllerBase::setEnableMotor() { bus_->enableRound(); }

void ControllerBase::clearMotorError() { bus_->clearErrorRound(); }

void ControllerBase::setInterpolationParam(double max_acc, double max_vel) {
  if (!std::isfinite(max_acc) || !std::isfinite(max_vel)) {
    throw std::invalid_argument("setInterpolationParam: the limits must be finite numbers");
  }
  loop_->setLimits(std::clamp(max_acc, 0.0, kMaxAcceleration), std::clamp(max_vel, 0.0, kMaxVelocity));
}

void ControllerBase::ExchangeMotorMsg() { bus_->exchangeMotorMessages(); }

void ControllerBase::CanCallback(CanFrame* frame) { bus_->onFrame(frame); }

std::vector<std::uint64_t> ControllerBase::droppedFrames() const { return bus_->droppedFrames(); }

bool ControllerBase::ifTorqeLimit() { return loop_->faults().currentWithinLimit(loop_->feedback()); }

void ControllerBase::errorCurrentOutLimit() { throw Fault(FaultMonitor::message(ErrorCode::overCurrent())); }

void ControllerBase::errorMotorFault(int joint_index, int error_code) {
  throw Fault(FaultMonitor::motorFaultMessage(joint_index, error_code));
}

void ControllerBase::raiseMotorFault(int code) { throw Fault(FaultMonitor::message(ErrorCode(code))); }

void ControllerBase::errorCurrentDeviceOffline() { loop_->printOffline(); }

void ControllerBase::recoverMotors() {
  for (int i = 0; i < kMotors; ++i) bus_->driver(i).rearm();
  bus_->attach();
  bus_->stopListening();
  loop_->faults().clearFault();
  // Every round holds the arm against gravity where it is (the compliant
  // law on fresh positions), so nothing sinks while the motors are cleared,
  // enabled and checked.
  for (int round = 0; round < kClearErrorRounds; ++round) {
    bus_->startRound();
    bus_->sendClearErrors();
    loop_->sendCompliantHold();
    bus_->endRound();
    bus_->waitRoundPeriod();
  }
  for (int round = 0; round < kEnableRounds; ++round) {
    bus_->startRound();
    bus_->sendEnables();
    loop_->sendCompliantHold();
    bus_->endRound();
    bus_->waitRoundPeriod();
  }
  // A motor must answer in its check rounds: that it has not been silent for
  // its silence limit yet (800 ms for a type 2 motor, longer than the
  // rounds) does not show that it answers.
  std::array<std::uint64_t, kArmJoints> accepted{};
  std::array<int, kArmJoints> answered{};
  for (int i = 0; i < kArmJoints; ++i) accepted[i] = bus_->driver(i).framesAccepted();
  for (int round = 0; round < kRecoveryCheckRounds; ++round) {
    loop_->compliantOnce();
    loop_->loadFeedback();
    for (int i = 0; i < kArmJoints; ++i) {
      const std::uint64_t now = bus_->driver(i).framesAccepted();
      if (now != accepted[i]) ++answered[i];
      accepted[i] = now;
    }
    bus_->waitRoundPeriod();
  }
  std::string silent;
  for (int i = 0; i < kArmJoints; ++i) {
    if (!bus_->driver(i).online() || 2 * answered[i] < kRecoveryCheckRounds)
      silent += " " + std::to_string(i + 1);
  }
  const int fault = loop_->faults().pendingFault();
  if (silent.empty() && fault == 0) return;
  loop_->dampOnce();
  bus_->detach();
  std::string cause = "recover: ";
  if (!silent.empty())
    cause += "motor" + std::string(silent.size() > 2 ? "s" : "") + silent + " still silent";
  if (fault != 0) {
    cause += std::string(silent.empty() ? "" : "; ") + "code " + std::to_string(fault) + " persists (" +
             ErrorCode(fault).meaning() + ")";
  }
  throw std::runtime_error(cause + "; the arm is held in damping");
}

void ControllerBase::destoryFunc() {
  if (!transport_ || !bus_) return;
  bus_->detach();
}

bool ControllerBase::computeInverseKinematics(double* _current_pos, double* _endstate) {
  if (_current_pos == nullptr || _endstate == nullptr) {
    throw std::invalid_argument(
        "computeInverseKinematics: the joint positions and the pose must not be null pointers");
  }
  return end_target_->solve(_current_pos, _endstate);
}

int ControllerBase::storedState() const { return loop_->state().load(); }

double ControllerBase::gripperZero() const { return loop_->gripperZero(); }

double ControllerBase::maxAcceleration() const { return loop_->limits().max_acc; }

double ControllerBase::maxVelocity() const { return loop_->limits().max_vel; }

ControllerBase::CatchControlMode ControllerBase::catchMode() const {
  return loop_->gripperMode() == laws::GripperMode::kTorque ? kTorque : kPosition;
}

std::stringstream ControllerBase::getLog() { return std::stringstream(); }

}  // namespace t8
}  // namespace kav
