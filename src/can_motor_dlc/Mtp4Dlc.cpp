#include "can_motor_dlc/Mtp4Dlc.h"

#include "can_motor_dlc/MotorWire.h"

namespace kav {
namespace hw_interface {

MotorType4::MotorType4(int motor_id, const rt::Clock& clock)
    : clock_(clock), last_update_time_exchange_(clock.now()), motor_id_(motor_id) {}

CanFrame MotorType4::packMotorMsg(HybridJointCmd* command) {
  if (command == nullptr) return CanFrame{};
  return packMotorMsg(command->k_p, command->k_d, command->position, command->velocity, command->torque);
}

CanFrame MotorType4::packMotorMsg(double k_p, double k_d, double position, double velocity, double torque) {
  return packHybridCommand(MotorProtocol::kType4, motor_id_, k_p, k_d, position, velocity, torque);
}

void MotorType4::CanAnalyze(CanFrame* frame) {
  if (frame == nullptr) return;
  if (frame->can_id == static_cast<uint32_t>(motor_id_) && frame->can_dlc != 8) {
    countDropped();
    return;
  }
  const std::optional<MotorFeedback> feedback = unpackFeedback(MotorProtocol::kType4, motor_id_, *frame);
  if (!feedback) return;
  int turn = 0;  // a single-turn motor: only the plausibility counts
  if (!acceptReading(feedback->position, &turn)) return;
  error_exchange_ = feedback->code;
  // The silence limit counts from when the driver took the reading; the
  // observer takes when it was received.
  const rt::Clock::time_point now = clock_.now();
  last_update_time_exchange_ = now;
  noteReading(receivedAt(now));
  position_exchange_ = feedback->position;
  velocity_exchange_ = feedback->velocity;
  current_exchange_ = feedback->current;
  temperature_exchange_ = feedback->temperature;
}

CanFrame MotorType4::packEnableMotor() { return packMotorMsg(0.0, 5.0, 0.0, 0.0, 0.0); }

CanFrame MotorType4::packDisableMotor() { return packMotorMsg(0.0, 100.0, 0.0, 0.0, 0.0); }

HybridJointStatus MotorType4::GetMotorMsg() {
  HybridJointStatus status;
  status.position = position_;
  status.velocity = velocity_;
  status.current = current_;
  return status;
}

bool MotorType4::online() {
  const auto silent = std::chrono::duration_cast<std::chrono::microseconds>(clock_.now() - last_update_time_);
  if (silent > config::kType4SilenceLimit) online_ = false;
  return online_;
}

void MotorType4::ExchangeMotorMsg() {
  position_ = position_exchange_;
  velocity_ = velocity_exchange_;
  current_ = current_exchange_;
  error_ = error_exchange_;
  last_update_time_ = last_update_time_exchange_;
  publishFeedbackTime();
}

}  // namespace hw_interface
}  // namespace kav
