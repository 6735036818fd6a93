#include "can_motor_dlc/Mtp4Dlc.h"

#include <cmath>

namespace kav {
namespace hw_interface {

namespace {
constexpr double KP_MIN = 0.0, KP_MAX = 500.0;
constexpr double KD_MIN = 0.0, KD_MAX = 50.0;
constexpr double P_MIN = -12.5, P_MAX = 12.5;
constexpr double V_MIN = -18.0, V_MAX = 18.0;
constexpr double T_MIN = -30.0, T_MAX = 30.0;
constexpr long kSilenceLimitUs = 100000;

double finiteOrZero(double value) { return std::isnan(value) ? 0.0 : value; }
}  // namespace

MotorType4::MotorType4(int motor_id) : last_update_time_exchange_(Clock::now()), motor_id_(motor_id) {}

CanFrame MotorType4::packMotorMsg(HybridJointCmd* command) {
  if (command == nullptr) return CanFrame{};
  return packMotorMsg(command->k_p, command->k_d, command->position, command->velocity, command->torque);
}

CanFrame MotorType4::packMotorMsg(double k_p, double k_d, double position, double velocity, double torque) {
  const double kp_c = restrictBound(finiteOrZero(k_p), KP_MAX, KP_MIN);
  const double kd_c = restrictBound(finiteOrZero(k_d), KD_MAX, KD_MIN);
  const double p_c = restrictBound(finiteOrZero(position), P_MAX, P_MIN);
  const double v_c = restrictBound(finiteOrZero(velocity), V_MAX, V_MIN);
  const double t_c = restrictBound(finiteOrZero(torque), T_MAX, T_MIN);

  const uint16_t kp = float_to_uint(static_cast<float>(kp_c), KP_MIN, KP_MAX, 12);
  const uint16_t kd = float_to_uint(static_cast<float>(kd_c), KD_MIN, KD_MAX, 12);
  const uint16_t pos = float_to_uint(static_cast<float>(p_c), P_MIN, P_MAX, 16);
  const uint16_t vel = float_to_uint(static_cast<float>(v_c), V_MIN, V_MAX, 12);
  const uint16_t tor = float_to_uint(static_cast<float>(t_c), T_MIN, T_MAX, 12);

  CanFrame frame{};
  frame.can_id = static_cast<uint32_t>(motor_id_);
  frame.can_dlc = 8;
  frame.data[0] = static_cast<uint8_t>((kp >> 7) & 0x1F);
  frame.data[1] = static_cast<uint8_t>(((kp & 0x7F) << 1) | ((kd >> 8) & 0x01));
  frame.data[2] = static_cast<uint8_t>(kd & 0xFF);
  frame.data[3] = static_cast<uint8_t>(pos >> 8);
  frame.data[4] = static_cast<uint8_t>(pos & 0xFF);
  frame.data[5] = static_cast<uint8_t>(vel >> 4);
  frame.data[6] = static_cast<uint8_t>(((vel & 0x0F) << 4) | ((tor >> 8) & 0x0F));
  frame.data[7] = static_cast<uint8_t>(tor & 0xFF);
  return frame;
}

void MotorType4::CanAnalyze(CanFrame* frame) {
  if (frame == nullptr || frame->can_id != static_cast<uint32_t>(motor_id_)) return;
  const uint8_t* d = frame->data;
  error_exchange_ = d[0] & 0x1F;
  last_update_time_exchange_ = Clock::now();
  position_exchange_ = uint_to_float((d[1] << 8) | d[2], P_MIN, P_MAX, 16);
  velocity_exchange_ = uint_to_float((d[3] << 4) | (d[4] >> 4), V_MIN, V_MAX, 12);
  current_exchange_ = uint_to_float(((d[4] & 0x0F) << 8) | d[5], T_MIN, T_MAX, 12);
  temperature_exchange_ = static_cast<double>((static_cast<int>(d[6]) - 50) / 2);
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
  const auto silent = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - last_update_time_);
  if (silent.count() > kSilenceLimitUs) online_ = false;
  return online_;
}

void MotorType4::ExchangeMotorMsg() {
  position_ = position_exchange_;
  velocity_ = velocity_exchange_;
  current_ = current_exchange_;
  error_ = error_exchange_;
  last_update_time_ = last_update_time_exchange_;
}

}  // namespace hw_interface
}  // namespace kav
