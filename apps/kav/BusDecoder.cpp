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

BusEvent other(Clock::time_point time) {
  BusEvent event;
  event.time = time;
  return event;
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

void BusDecoder::decode(const hw_interface::CanFrame& frame, Clock::time_point time, const Sink& sink) {
  const Seen seen{frame, time};
  if (frame.can_dlc == 8 && frame.can_id == 0) {  // type 2 feedback, the motor in byte 0
    const int joint = jointOf(frame.data[0] & 0x0F, false);
    sink(joint < 0 ? other(time) : feedback(joint, seen));
    return;
  }
  if (frame.can_dlc != 8) {  // such as the empty frame of type 4 clear-error and set-zero
    sink(other(time));
    return;
  }
  if (const int joint = jointOf(frame.can_id, true); joint >= 0) {
    decodeType4(joint, seen, sink);
    return;
  }
  const int joint = jointOf(frame.can_id, false);
  sink(joint < 0 ? other(time) : command(joint, seen));
}

void BusDecoder::decodeType4(int joint, const Seen& seen, const Sink& sink) {
  std::optional<Clock::time_point>& awaiting = awaiting_reply_[joint];
  if (!in_step_[joint]) {
    std::optional<Seen>& first = held_back_[joint];
    if (!first) {
      first = seen;
      return;
    }
    const bool answered = seen.time - first->time <= kReplyWindow;
    if (answered) {
      sink(command(joint, *first));
      sink(feedback(joint, seen));
    } else {
      // The first frame stays unknown; this one came long after it, so it is
      // a command (its reply would follow it).
      sink(other(first->time));
      sink(command(joint, seen));
      awaiting = seen.time;
    }
    first.reset();
    in_step_[joint] = true;
    return;
  }
  if (awaiting && seen.time - *awaiting <= kReplyWindow) {
    awaiting.reset();
    sink(feedback(joint, seen));
    return;
  }
  awaiting = seen.time;
  sink(command(joint, seen));
}

BusEvent BusDecoder::command(int joint, const Seen& seen) const {
  BusEvent event = other(seen.time);
  const std::optional<sim::MotorCommand> decoded = sim::decodeCommand(wireProtocol(joint), seen.frame);
  if (!decoded) return event;
  event.kind = BusEvent::Kind::kCommand;
  event.joint = joint;
  event.command = *decoded;
  return event;
}

BusEvent BusDecoder::feedback(int joint, const Seen& seen) {
  hw_interface::MotorDlcBase& driver = *drivers_[joint];
  hw_interface::CanFrame frame = seen.frame;
  driver.CanAnalyze(&frame);
  driver.ExchangeMotorMsg();
  const hw_interface::HybridJointStatus status = driver.GetMotorMsg();
  BusEvent event = other(seen.time);
  event.kind = BusEvent::Kind::kFeedback;
  event.joint = joint;
  event.feedback = Feedback{status.position, status.velocity, status.current, driver.getErrorCode()};
  return event;
}

}  // namespace tool
}  // namespace kav
