#pragma once
/// @file Mtp4Dlc.h
/// Driver of the type 4 motors (joints 1-3, identifiers 1, 2, 4).

#include <chrono>

#include "can_motor_dlc/MotorDlcBase.h"
#include "rt/Clock.h"

namespace kav {
namespace hw_interface {

/// Type 4 protocol: one hybrid command (k_p 12 bits, k_d 9 bits, position 16,
/// velocity 12, torque 12), enable and disable as hybrid commands, feedback on
/// the motor's own identifier with a 5-bit error code (0 when healthy),
/// single-turn position, a 100 ms silence limit.
class MotorType4 : public MotorDlcBase {
 public:
  /// @param motor_id the motor's identifier
  /// @param clock times the feedback for the silence limit; the machine's
  ///        monotonic clock unless a simulation runs the controller
  explicit MotorType4(int motor_id, const rt::Clock& clock = rt::RealTimeClock::instance());

  CanFrame packMotorMsg(HybridJointCmd* command) override;
  CanFrame packMotorMsg(double k_p, double k_d, double position, double velocity, double torque) override;
  void CanAnalyze(CanFrame* frame) override;
  /// k_p 0, k_d 5, all else 0.
  CanFrame packEnableMotor() override;
  /// k_p 0, k_d 100 (sent as the limit 50), all else 0.
  CanFrame packDisableMotor() override;
  HybridJointStatus GetMotorMsg() override;
  bool online() override;
  void ExchangeMotorMsg() override;

 private:
  using Clock = rt::Clock;

  const Clock& clock_;

  double position_ = 0.0;
  double velocity_ = 0.0;
  double current_ = 0.0;
  Clock::time_point last_update_time_{};
  double position_exchange_ = 0.0;
  double velocity_exchange_ = 0.0;
  double current_exchange_ = 0.0;
  int error_exchange_ = 0;
  double temperature_exchange_ = 0.0;
  Clock::time_point last_update_time_exchange_;
  int motor_id_;
};

}  // namespace hw_interface
}  // namespace kav
