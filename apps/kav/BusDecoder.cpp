#include "BusDecoder.h"

#include <can_motor_dlc/Mtp2Dlc.h>
#include <can_motor_dlc/Mtp4Dlc.h>

namespace kav {
namespace tool {

namespace {

using config::kMotorIds;
using config::kMotorProtocols;
using config::kMotors;
using config::MotorProtocol;

bool isType4(int joint) { return kMotorProtocols[joint] == MotorProtocol::kType4; }

sim::MotorProtocol wireProtocol(int joint) {
  return isType4(joint) ? sim::MotorProtocol::kType4 : sim::MotorProtocol::kType2;
}

// The joint whose motor has identifier @p id and protocol type 4 or not.
int jointOf(uint32_t id, bool type4) {
  for (int j = 0; j < kMotors; ++j) {
    if (static_cast<uint32_t>(kMotorIds[j]) == id && isType4(j) == type4) return j;
  }
  return -1;
}

}  // namespace

const char* jointName(int joint) {
  static const char* const kNames[kMotors] = {"joint1", "joint2", "joint3", "joint4",
                                              "joint5", "joint6", "gripper"};
  return joint >= 0 && joint < kMotors ? kNames[joint] : "?";
}

BusDecoder::BusDecoder() {
  for (int j = 0; j < kMotors; ++j) {
    if (isType4(j)) {
      drivers_[j] = std::make_unique<hw_interface::MotorType4>(kMotorIds[j]);
    } else {
      drivers_[j] = std::make_unique<hw_interface::MotorType2>(kMotorIds[j]);
    }
  }
}

BusEvent BusDecoder::decode(const hw_interface::CanFrame& frame, Clock::time_point time) {
  BusEvent event;
  event.time = time;
  if (frame.can_dlc != 8) return event;  // the empty frame of type 4 clear-error and set-zero

  if (frame.can_id == 0) {  // type 2 feedback, the motor in byte 0
    const int joint = jointOf(frame.data[0] & 0x0F, false);
    if (joint < 0) return event;
    event.kind = BusEvent::Kind::kFeedback;
    event.joint = joint;
    event.feedback = feedbackOf(joint, frame);
    return event;
  }

  int joint = jointOf(frame.can_id, true);
  if (joint >= 0) {
    std::optional<Clock::time_point>& awaiting = awaiting_reply_[joint];
    if (awaiting && time - *awaiting <= kReplyWindow) {
      awaiting.reset();
      event.kind = BusEvent::Kind::kFeedback;
      event.joint = joint;
      event.feedback = feedbackOf(joint, frame);
      return event;
    }
    awaiting = time;
  } else {
    joint = jointOf(frame.can_id, false);
    if (joint < 0) return event;
  }
  const std::optional<sim::MotorCommand> command = sim::decodeCommand(wireProtocol(joint), frame);
  if (!command) return event;
  event.kind = BusEvent::Kind::kCommand;
  event.joint = joint;
  event.command = *command;
  return event;
}

Feedback BusDecoder::feedbackOf(int joint, hw_interface::CanFrame frame) {
  hw_interface::MotorDlcBase& driver = *drivers_[joint];
  driver.CanAnalyze(&frame);
  driver.ExchangeMotorMsg();
  const hw_interface::HybridJointStatus status = driver.GetMotorMsg();
  return Feedback{status.position, status.velocity, status.current, driver.getErrorCode()};
}

}  // namespace tool
}  // namespace kav
