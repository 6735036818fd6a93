#pragma once
/// @file Mtp2Dlc.h
/// Driver of the type 2 motors (joints 4-6 and the gripper, identifiers 5-8).

#include <atomic>
#include <chrono>

#include "can_motor_dlc/MotorDlcBase.h"
#include "rt/Clock.h"

namespace kav {
namespace hw_interface {

/// Type 2 protocol: hybrid command (position 16 bits, velocity, k_p, k_d,
/// torque 12 bits each), dedicated enable/disable/set-zero/clear-error frames,
/// feedback on identifier 0 naming the motor in byte 0 with a 4-bit status
/// (1 when healthy), multi-turn position counting, a silence limit of 800 ms
/// (200 ms for identifiers up to 4).
class MotorType2 : public MotorDlcBase {
 public:
  /// @param motor_id the motor's identifier, 0..15 (it is carried in 4 bits)
  /// @param clock times the feedback for the silence limit; the machine's
  ///        monotonic clock unless a simulation runs the controller
  explicit MotorType2(int motor_id, const rt::Clock& clock = rt::RealTimeClock::instance());

  CanFrame packMotorMsg(HybridJointCmd* command) override;
  CanFrame packMotorMsg(double k_p, double k_d, double position, double velocity, double torque) override;
  void CanAnalyze(CanFrame* frame) override;
  /// FF FF FF FF FF FF FF FC; also restarts the motor's silence clock.
  CanFrame packEnableMotor() override;
  /// FF FF FF FF FF FF FF FD.
  CanFrame packDisableMotor() override;
  /// FF FF FF FF FF FF FF FE.
  CanFrame packSetZero() override;
  /// FF FF FF FF FF FF FF FB.
  CanFrame packClearError() override;
  HybridJointStatus GetMotorMsg() override;
  /// The status when it reports a fault: 0 (disabled) and 1 (enabled) are not.
  int faultCode() override;
  bool online() override;
  /// Sets the turn counter to 0 (the last accepted reading is kept).
  void resetCircle() override;
  void ExchangeMotorMsg() override;

 private:
  using Clock = rt::Clock;

  const Clock& clock_;

  double position_ = 0.0;
  double velocity_ = 0.0;
  double current_ = 0.0;
  Clock::time_point last_update_time_{};
  double position_exchange_ = 0.0;
  std::atomic<int> circle_{0};  // also reset from the control thread
  double velocity_exchange_ = 0.0;
  double current_exchange_ = 0.0;
  int error_exchange_ = 1;
  // Written by CanAnalyze (receive thread) and the enable packer (control
  // thread); stored as a tick count so the two writers never race.
  std::atomic<Clock::duration::rep> last_update_time_exchange_;
  int motor_id_;
};

}  // namespace hw_interface
}  // namespace kav
