#include "can_motor_dlc/Mtp2Dlc.h"

#include <cmath>

namespace kav {
namespace hw_interface {

namespace {
constexpr double KP_MIN = 0.0, KP_MAX = 500.0;
constexpr double KD_MIN = 0.0, KD_MAX = 5.0;
constexpr double P_MIN = -12.5, P_MAX = 12.5;
constexpr double V_MIN = -45.0, V_MAX = 45.0;
constexpr double T_MIN = -10.0, T_MAX = 10.0;
constexpr long kShortSilenceLimitUs = 200000;  // identifiers up to 4
constexpr long kSilenceLimitUs = 800000;

double finiteOrZero(double value) { return std::isnan(value) ? 0.0 : value; }
}  // namespace

MotorType2::MotorType2(int motor_id)
    : last_update_time_exchange_(Clock::now().time_since_epoch().count()), motor_id_(motor_id) {}

CanFrame MotorType2::packMotorMsg(HybridJointCmd* command) {
  if (command == nullptr) return CanFrame{};
  return packMotorMsg(command->k_p, command->k_d, command->position, command->velocity, command->torque);
}

CanFrame MotorType2::packMotorMsg(double k_p, double k_d, double position, double velocity, double torque) {
  const double kp_c = restrictBound(finiteOrZero(k_p), KP_MAX, KP_MIN);
  const double kd_c = restrictBound(finiteOrZero(k_d), KD_MAX, KD_MIN);
  const double p_c = restrictBound(finiteOrZero(position), P_MAX, P_MIN);
  const double v_c = restrictBound(finiteOrZero(velocity), V_MAX, V_MIN);
  const double t_c = restrictBound(finiteOrZero(torque), T_MAX, T_MIN);

  const uint16_t pos = float_to_uint(static_cast<float>(p_c), P_MIN, P_MAX, 16);
  const uint16_t vel = float_to_uint(static_cast<float>(v_c), V_MIN, V_MAX, 12);
  const uint16_t kp = float_to_uint(static_cast<float>(kp_c), KP_MIN, KP_MAX, 12);
  const uint16_t kd = float_to_uint(static_cast<float>(kd_c), KD_MIN, KD_MAX, 12);
  const uint16_t tor = float_to_uint(static_cast<float>(t_c), T_MIN, T_MAX, 12);

  CanFrame frame{};
  frame.can_id = static_cast<uint32_t>(motor_id_);
  frame.can_dlc = 8;
  frame.data[0] = static_cast<uint8_t>(pos >> 8);
  frame.data[1] = static_cast<uint8_t>(pos & 0xFF);
  frame.data[2] = static_cast<uint8_t>(vel >> 4);
  frame.data[3] = static_cast<uint8_t>(((vel & 0x0F) << 4) | ((kp >> 8) & 0x0F));
  frame.data[4] = static_cast<uint8_t>(kp & 0xFF);
  frame.data[5] = static_cast<uint8_t>(kd >> 4);
  frame.data[6] = static_cast<uint8_t>(((kd & 0x0F) << 4) | ((tor >> 8) & 0x0F));
  frame.data[7] = static_cast<uint8_t>(tor & 0xFF);
  return frame;
}

void MotorType2::CanAnalyze(CanFrame* frame) {
  if (frame == nullptr || frame->can_id != 0) return;
  const uint8_t* d = frame->data;
  if ((d[0] & 0x0F) != motor_id_) return;
  error_exchange_ = (d[0] >> 4) & 0x0F;
  const double q_raw = uint_to_float((d[1] << 8) | d[2], P_MIN, P_MAX, 16);
  if (q_raw - last_q_raw_ > 12.5) {
    --circle_;
  } else if (q_raw - last_q_raw_ < -12.5) {
    ++circle_;
  }
  last_q_raw_ = q_raw;
  last_update_time_exchange_.store(Clock::now().time_since_epoch().count());
  const float turns = 12.5f * 2.0f * static_cast<float>(circle_.load());
  position_exchange_ = static_cast<double>(turns) + q_raw;
  velocity_exchange_ = uint_to_float((d[3] << 4) | (d[4] >> 4), V_MIN, V_MAX, 12);
  current_exchange_ = uint_to_float(((d[4] & 0x0F) << 8) | d[5], T_MIN, T_MAX, 12);
}

CanFrame MotorType2::specialFrame(uint8_t last_byte) const {
  CanFrame frame{};
  frame.can_id = static_cast<uint32_t>(motor_id_);
  frame.can_dlc = 8;
  for (int i = 0; i < 7; ++i) frame.data[i] = 0xFF;
  frame.data[7] = last_byte;
  return frame;
}

CanFrame MotorType2::packEnableMotor() {
  last_update_time_exchange_.store(Clock::now().time_since_epoch().count());
  return specialFrame(0xFC);
}

CanFrame MotorType2::packDisableMotor() { return specialFrame(0xFD); }

CanFrame MotorType2::packSetZero() { return specialFrame(0xFE); }

CanFrame MotorType2::packClearError() { return specialFrame(0xFB); }

HybridJointStatus MotorType2::GetMotorMsg() {
  HybridJointStatus status;
  status.position = position_;
  status.velocity = velocity_;
  status.current = current_;
  return status;
}

bool MotorType2::online() {
  const auto silent = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - last_update_time_);
  if (silent.count() > kShortSilenceLimitUs && motor_id_ <= 4) online_ = false;
  if (silent.count() > kSilenceLimitUs) online_ = false;
  return online_;
}

void MotorType2::resetCircle() { circle_.store(0); }

void MotorType2::ExchangeMotorMsg() {
  position_ = position_exchange_;
  velocity_ = velocity_exchange_;
  current_ = current_exchange_;
  error_ = error_exchange_;
  last_update_time_ = Clock::time_point(Clock::duration(last_update_time_exchange_.load()));
}

}  // namespace hw_interface
}  // namespace kav
