#include "controller/ErrorCode.h"

namespace kav {
namespace t8 {

std::string ErrorCode::meaning() const {
  const std::string motor_name = "motor " + std::to_string(motor());
  switch (kind()) {
    case Kind::kOverCurrent:
      return "over-current: an arm joint's current stayed above its limit for 1 s";
    case Kind::kLinkOffline:
      return "CAN link offline: nothing was received for two seconds";
    case Kind::kCycleFailed:
      return "a control cycle failed unexpectedly";
    case Kind::kMotorFault:
      return motor_name + " reported fault " + std::to_string(fault());
    case Kind::kMotorOffline:
      return motor_name + (motor() == kMotors ? " (the gripper) offline: silent too long; the arm goes on"
                                              : " offline: silent too long");
    case Kind::kImplausibleFeedback:
      return motor_name + " sent ten implausible readings in a row";
    case Kind::kMotorDisabled:
      return motor_name + " reported itself disabled while the arm was driven";
    case Kind::kCollision:
      return "collision on joint " + std::to_string(motor()) +
             ": its external torque rose above the reflex threshold; the arm went compliant";
    case Kind::kRecovered:
      return "recovered: control resumed, holding the measured pose";
    case Kind::kLawFailed:
      return "the host's control law threw an exception";
    case Kind::kLawOverrun:
      return "the host's control law took longer than its budget of 1 ms in a cycle";
    case Kind::kCommandsLate:
      return "the host's streamed commands stopped coming: none for 4 cycles in a row (the law ended)";
    case Kind::kLimitNotFinite:
      return "safety limits: a command that is not finite was refused, never sent";
    case Kind::kLimitPosition:
      return "safety limits: a command beyond a joint's position limits (margin inside its range)";
    case Kind::kLimitVelocity:
      return "safety limits: a command beyond a joint's velocity limit";
    case Kind::kLimitTorque:
      return "safety limits: a command asking a joint for more than its torque limit";
    case Kind::kLimitBox:
      return "safety limits: a command driving the end effector out of its box";
    case Kind::kLimitSpeed:
      return "safety limits: the end effector moved faster than its speed limit";
    case Kind::kUnknown:
      break;
  }
  return "unknown error code " + std::to_string(code_);
}

}  // namespace t8
}  // namespace kav
