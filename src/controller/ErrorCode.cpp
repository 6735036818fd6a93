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
    case Kind::kUnknown:
      break;
  }
  return "unknown error code " + std::to_string(code_);
}

}  // namespace t8
}  // namespace kav
