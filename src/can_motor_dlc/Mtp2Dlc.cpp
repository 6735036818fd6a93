#include "can_motor_dlc/Mtp2Dlc.h"

#include "can_motor_dlc/MotorWire.h"

namespace kav {
namespace hw_interface {

namespace {
constexpr int kStatusEnabled = 1;  // the status a healthy, enabled motor reports
}  // namespace

MotorType2::MotorType2(int motor_id, const rt::Clock& clock)
    : clock_(clock),
      last_update_time_exchange_(clock.now().time_since_epoch().count()),
      motor_id_(motor_id) {}

CanFrame MotorType2::packMotorMsg(HybridJointCmd* command) {
  if (command == nullptr) return CanFrame{};
  return packMotorMsg(command->k_p, command->k_d, command->position, command->velocity, command->torque);
}

CanFrame MotorType2::packMotorMsg(double k_p, double k_d, double position, double velocity, double torque) {
  return packHybridCommand(MotorProtocol::kType2, motor_id_, k_p, k_d, position, velocity, torque);
}

void MotorType2::CanAnalyze(CanFrame* frame) {
  if (frame == nullptr) return;
  if (frame->can_id == 0 && frame->can_dlc >= 1 && frame->can_dlc != 8 &&
      (frame->data[0] & 0x0F) == motor_id_) {
    countDropped();
    return;
  }
  const std::optional<MotorFeedback> feedback = unpackFeedback(MotorProtocol::kType2, motor_id_, *frame);
  if (!feedback) return;
  const double q_raw = feedback->position;
  int turn = 0;
  if (!acceptReading(q_raw, &turn)) return;
  error_exchange_ = feedback->code;
  circle_ += turn;
  // The silence limit counts from when the driver took the reading; the
  // observer takes when it was received.
  const rt::Clock::time_point now = clock_.now();
  last_update_time_exchange_.store(now.time_since_epoch().count());
  noteReading(receivedAt(now));
  const float turns = 12.5f * 2.0f * static_cast<float>(circle_.load());
  position_exchange_ = static_cast<double>(turns) + q_raw;
  velocity_exchange_ = feedback->velocity;
  current_exchange_ = feedback->current;
}

CanFrame MotorType2::packEnableMotor() {
  last_update_time_exchange_.store(clock_.now().time_since_epoch().count());
  return packType2Special(motor_id_, CommandKind::kEnable);
}

CanFrame MotorType2::packDisableMotor() { return packType2Special(motor_id_, CommandKind::kDisable); }

CanFrame MotorType2::packSetZero() { return packType2Special(motor_id_, CommandKind::kSetZero); }

CanFrame MotorType2::packClearError() { return packType2Special(motor_id_, CommandKind::kClearError); }

HybridJointStatus MotorType2::GetMotorMsg() {
  HybridJointStatus status;
  status.position = position_;
  status.velocity = velocity_;
  status.current = current_;
  return status;
}

int MotorType2::faultCode() { return error_ > kStatusEnabled ? error_ : 0; }

bool MotorType2::online() {
  const auto silent = std::chrono::duration_cast<std::chrono::microseconds>(clock_.now() - last_update_time_);
  if (silent > config::kType2ShortSilenceLimit && motor_id_ <= config::kType2ShortSilenceLargestId) {
    online_ = false;
  }
  if (silent > config::kType2SilenceLimit) online_ = false;
  return online_;
}

void MotorType2::resetCircle() { circle_.store(0); }

void MotorType2::ExchangeMotorMsg() {
  position_ = position_exchange_;
  velocity_ = velocity_exchange_;
  current_ = current_exchange_;
  error_ = error_exchange_;
  last_update_time_ = Clock::time_point(Clock::duration(last_update_time_exchange_.load()));
  publishFeedbackTime();
}

}  // namespace hw_interface
}  // namespace kav
