#pragma once
/// @file MotorDlcBase.h
/// The abstract motor driver and the fixed-point codec both protocols share.

#include <atomic>
#include <cstdint>

#include "canbase/CanBaseDef.h"
#include "rt/Clock.h"
#include "typedef/HybridJointTypeDef.h"

namespace kav {
namespace hw_interface {

/// Encodes @p x linearly over [x_min, x_max] into an unsigned field of
/// @p bits bits, in single precision: (float(2^bits - 1) * (x - x_min)) / span,
/// truncated toward zero. Values outside the range saturate at the field's
/// ends; a value that is not a number encodes as 0.0 would.
uint16_t float_to_uint(float x, float x_min, float x_max, int bits);

/// Decodes a field of @p bits bits spanning [x_min, x_max], in single
/// precision: (float(x_int) * span) / float(2^bits - 1) + x_min.
float uint_to_float(int x_int, float x_min, float x_max, int bits);

/// Abstract driver of one motor: packs command frames and decodes feedback.
///
/// Feedback passes two stages: CanAnalyze() (receive thread) decodes into
/// exchange fields, ExchangeMotorMsg() (control thread, under the transport's
/// data lock) publishes them; GetMotorMsg(), getErrorCode() and online() read
/// only the published copy.
class MotorDlcBase {
 public:
  virtual ~MotorDlcBase() = default;

  /// The hybrid command frame for @p command; null gives the empty frame.
  virtual CanFrame packMotorMsg(HybridJointCmd* command) = 0;
  /// The hybrid command frame; note the order: gains first.
  virtual CanFrame packMotorMsg(double k_p, double k_d, double position, double velocity, double torque) = 0;
  /// Decodes @p frame if it is this motor's feedback; ignores it otherwise.
  virtual void CanAnalyze(CanFrame* frame) = 0;
  /// The frame that enables the motor.
  virtual CanFrame packEnableMotor() = 0;
  /// The frame that disables the motor.
  virtual CanFrame packDisableMotor() = 0;
  /// The empty frame (identifier 0, length 0) unless the protocol has one.
  virtual CanFrame packSetZero();
  /// The empty frame (identifier 0, length 0) unless the protocol has one.
  virtual CanFrame packClearError();
  /// The published position, velocity and current; torque is 0.
  virtual HybridJointStatus GetMotorMsg() = 0;
  /// False once the motor was silent for longer than its limit; for good.
  virtual bool online() = 0;
  /// Gives a motor that fell silent or sent implausible readings another
  /// chance (recovery): online again until its next silence, the latched
  /// implausible fault cleared, its next reading taken as it is. Only while
  /// no frame is being offered to the driver (detached from the bus).
  void rearm();
  /// Restarts turn counting where the protocol counts turns.
  virtual void resetCircle();
  /// Publishes the decoded feedback.
  virtual void ExchangeMotorMsg() = 0;

  /// Decodes @p frame as CanAnalyze() does, taking @p received as the time
  /// its reading was sampled: when the frame was received (the kernel's
  /// receive timestamp on SocketCAN, the receive time on a local-socket bus,
  /// the simulated time in a simulation). CanAnalyze() alone takes the
  /// clock's present time. Receive thread only.
  void CanAnalyzeAt(CanFrame* frame, rt::Clock::time_point received);
  /// When the published reading was received (the clock's epoch before the
  /// first one).
  rt::Clock::time_point feedbackTime() const { return feedback_time_; }

  /// The published error (or status) code; 0 before the first exchange.
  int getErrorCode() { return error_; }
  /// The published code when it reports a fault of the motor, else 0. By
  /// default every code but 0 is a fault.
  virtual int faultCode() { return error_; }

  /// Feedback frames of this motor taken since construction.
  std::uint64_t framesAccepted() const { return accepted_.load(std::memory_order_relaxed); }
  /// Feedback frames of this motor dropped: of a length other than 8, or
  /// with an implausible position reading.
  std::uint64_t framesDropped() const { return dropped_.load(std::memory_order_relaxed); }
  /// True once kImplausibleInARow readings in a row were implausible: the
  /// motor (or the bus) is not to be trusted any more. Latched.
  bool implausibleFault() const { return implausible_fault_.load(std::memory_order_relaxed); }

  /// A reading that moves farther than this (radians, along the shorter way
  /// round the 25 rad single-turn range) from the last accepted one is
  /// implausible: no joint moves that far between two replies.
  static constexpr double kLargestPlausibleStep = 1.0;
  /// Implausible readings in a row that make a fault of the motor.
  static constexpr int kImplausibleInARow = 10;

 protected:
  /// Checks a single-turn @p reading (within [-12.5, 12.5]) against the last
  /// accepted one. The first reading is taken as it is. Later ones are
  /// compared along the shorter way round the 25 rad range: more than
  /// kLargestPlausibleStep away, the reading is dropped and counted.
  /// Receive thread only.
  /// @param turn set to -1 or +1 when the shorter way crosses the range's
  ///        edge (12.4 -> -12.4 is +1 turn), else 0
  /// @return false for an implausible reading
  bool acceptReading(double reading, int* turn);
  /// Counts a dropped frame of this motor (one of a length other than 8).
  void countDropped() { dropped_.fetch_add(1, std::memory_order_relaxed); }
  /// The time the frame being decoded was received: the one given to
  /// CanAnalyzeAt(), else @p now. Receive thread only.
  rt::Clock::time_point receivedAt(rt::Clock::time_point now) const { return receiving_ ? received_ : now; }
  /// Records @p received as the time of the reading just accepted.
  void noteReading(rt::Clock::time_point received) { feedback_time_exchange_ = received; }
  /// Publishes the time of the last accepted reading (with the rest of the
  /// feedback, in ExchangeMotorMsg()).
  void publishFeedbackTime() { feedback_time_ = feedback_time_exchange_; }

  /// max if num > max, else min if num < min, else num (NaN passes).
  double restrictBound(double num, double max, double min);

  /// The last fault number the motor reported (0: none).
  int error_ = 0;
  /// Whether the motor counts as online: false once it fell silent for
  /// longer than its limit, until rearm().
  bool online_ = true;

 private:
  std::atomic<std::uint64_t> accepted_{0};
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<bool> implausible_fault_{false};
  bool receiving_ = false;  // receive thread only, as is received_
  rt::Clock::time_point received_{};
  // Written by the receive thread, published under the transport's data lock
  // (as the other exchange fields).
  rt::Clock::time_point feedback_time_exchange_{};
  rt::Clock::time_point feedback_time_{};  // the published copy
  bool has_reading_ = false;               // receive thread only, as are the next two
  double last_reading_ = 0.0;
  int implausible_in_a_row_ = 0;
};

}  // namespace hw_interface
}  // namespace kav
