#include "controller/FaultMonitor.h"

#include <cmath>
#include <sstream>

namespace kav {
namespace t8 {

namespace {

using namespace config;

// Room for the codes one cycle can collect (link, current, seven motors'
// faults, six offline motors) many times over, so a running cycle never grows
// it (the host takes them after every cycle; only the start-up, which has no
// host, may queue more).
constexpr std::size_t kCodeCapacity = 256;

}  // namespace

FaultMonitor::FaultMonitor() { codes_.reserve(kCodeCapacity); }

void FaultMonitor::record(ErrorCode code) { codes_.push_back(code.code()); }

void FaultMonitor::noteFault(ErrorCode code) {
  record(code);
  if (pending_fault_ == 0) pending_fault_ = code.code();
}

bool FaultMonitor::currentWithinLimit(const laws::Feedback& feedback) {
  for (int i = 0; i < kArmJoints; ++i) {
    if (std::fabs(feedback.joints[i].current) > kCurrentLimit) {
      ++over_current_[i];
    } else {
      over_current_[i] = 0;
    }
  }
  for (int i = 0; i < kArmJoints; ++i) {
    if (over_current_[i] >= kCurrentTripChecks) return false;
  }
  return true;
}

bool FaultMonitor::inspect(const MotorBus::Drivers& drivers, bool motors_enabled, std::vector<int>& offline) {
  offline.clear();
  for (int i = 0; i < kMotors; ++i) {
    hw_interface::MotorDlcBase& driver = *drivers[static_cast<std::size_t>(i)];
    const int motor = i + 1;
    const int code = driver.faultCode();
    if (code != 0) noteFault(ErrorCode::motorFault(motor, code));
    if (driver.implausibleFault()) noteFault(ErrorCode::implausibleFeedback(motor));
    // A wrist motor that went limp on its own (a stray disable frame) would
    // let its joint fall unnoticed.
    const bool wrist = i < kArmJoints && kMotorProtocols[i] == MotorProtocol::kType2;
    if (wrist && motors_enabled && driver.getErrorCode() == 0) noteFault(ErrorCode::motorDisabled(motor));
  }
  bool all_online = true;
  for (int i = 0; i < kArmJoints; ++i) {
    if (!drivers[static_cast<std::size_t>(i)]->online()) {
      record(ErrorCode::motorOffline(i + 1));
      offline.push_back(i + 1);
      all_online = false;
    }
  }
  // A silent gripper is reported, but the arm goes on.
  if (!drivers[kGripper]->online()) record(ErrorCode::motorOffline(kGripper + 1));
  return all_online;
}

std::string FaultMonitor::message(ErrorCode code) {
  switch (code.kind()) {
    case ErrorCode::Kind::kOverCurrent:
      return "关节力矩超限！";
    case ErrorCode::Kind::kMotorDisabled:
      return "Motor " + std::to_string(code.motor()) + " reported itself disabled while the arm was driven";
    case ErrorCode::Kind::kImplausibleFeedback:
      return "Motor " + std::to_string(code.motor()) + " sent " +
             std::to_string(hw_interface::MotorDlcBase::kImplausibleInARow) +
             " implausible readings in a row";
    case ErrorCode::Kind::kLawFailed:
    case ErrorCode::Kind::kCommandsLate:
    case ErrorCode::Kind::kLimitNotFinite:
    case ErrorCode::Kind::kLimitPosition:
    case ErrorCode::Kind::kLimitVelocity:
    case ErrorCode::Kind::kLimitTorque:
    case ErrorCode::Kind::kLimitBox:
    case ErrorCode::Kind::kLimitSpeed:
      return "code " + std::to_string(code.code()) + ": " + code.meaning();
    default:
      return motorFaultMessage(code.code() / 16, code.code() % 16);
  }
}

std::string FaultMonitor::motorFaultMessage(int motor, int fault) {
  std::ostringstream text;
  text << "电机故障，电机编号：" << motor << "，故障类型：" << fault;
  return text.str();
}

}  // namespace t8
}  // namespace kav
