#include "BusDecoder.h"

#include <can_motor_dlc/Mtp2Dlc.h>
#include <can_motor_dlc/Mtp4Dlc.h>

#include <cmath>

namespace kav {
namespace tool {

namespace {

using config::kMotorIds;
using config::kMotorProtocols;
using config::kMotors;
using config::MotorProtocol;

bool isType4(int joint) { return kMotorProtocols[joint] == MotorProtocol::kType4; }

// The joint whose motor has identifier @p id and protocol type 4 or not.
int jointOf(uint32_t id, bool type4) {
  for (int j = 0; j < kMotors; ++j) {
    if (static_cast<uint32_t>(kMotorIds[j]) == id && isType4(j) == type4) return j;
  }
  return -1;
}

bool sameGains(const hw_interface::MotorCommand& a, const hw_interface::MotorCommand& b) {
  return a.k_p == b.k_p && a.k_d == b.k_d;
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
  const BusEvent as_command = command(joint, seen);
  std::optional<hw_interface::MotorCommand>& previous = last_command_[joint];
  if (!in_step_[joint]) {
    std::optional<Seen>& first = held_back_[joint];
    if (!first) {
      first = seen;
      return;
    }
    const BusEvent first_command = command(joint, *first);
    if (sameGains(first_command.command, as_command.command)) {  // two commands, the first unanswered
      sink(first_command);
      sink(as_command);
      previous = as_command.command;
    } else if (seen.time - first->time <= kReplyWindow) {  // a command and its reply
      sink(first_command);
      sink(reply(joint, seen));
      previous = first_command.command;
    } else {  // a reply to a command before the start, then a command
      sink(other(first->time));
      sink(as_command);
      previous = as_command.command;
    }
    after_command_[joint] = !last_position_[joint];  // the last frame was a command unless a reply
    first.reset();
    in_step_[joint] = true;
    return;
  }
  bool& after_command = after_command_[joint];
  if (previous && sameGains(as_command.command, *previous)) {
    after_command = true;
    sink(as_command);
    return;
  }
  // Until a reply has been seen, a frame after a command is its reply.
  bool is_reply = after_command;
  if (last_position_[joint]) {
    const std::optional<hw_interface::MotorFeedback> read =
        hw_interface::unpackFeedback(kMotorProtocols[joint], kMotorIds[joint], seen.frame);
    is_reply = read && std::fabs(read->position - *last_position_[joint]) <= kContinuity;
  }
  after_command = !is_reply;
  if (is_reply) {
    sink(reply(joint, seen));
  } else {  // new gains: the host changed the arm's state
    previous = as_command.command;
    sink(as_command);
  }
}

BusEvent BusDecoder::reply(int joint, const Seen& seen) {
  BusEvent event = feedback(joint, seen);
  last_position_[joint] = event.feedback.position;
  return event;
}

BusEvent BusDecoder::command(int joint, const Seen& seen) const {
  BusEvent event = other(seen.time);
  const std::optional<hw_interface::MotorCommand> decoded =
      hw_interface::decodeCommand(kMotorProtocols[joint], seen.frame);
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
