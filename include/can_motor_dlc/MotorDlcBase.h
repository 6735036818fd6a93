#pragma once
/// @file MotorDlcBase.h
/// The abstract motor driver and the fixed-point codec both protocols share.

#include <cstdint>

#include "canbase/CanBaseDef.h"
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
  virtual CanFrame packEnableMotor() = 0;
  virtual CanFrame packDisableMotor() = 0;
  /// The empty frame (identifier 0, length 0) unless the protocol has one.
  virtual CanFrame packSetZero();
  /// The empty frame (identifier 0, length 0) unless the protocol has one.
  virtual CanFrame packClearError();
  /// The published position, velocity and current; torque is 0.
  virtual HybridJointStatus GetMotorMsg() = 0;
  /// False once the motor was silent for longer than its limit; for good.
  virtual bool online() = 0;
  /// Restarts turn counting where the protocol counts turns.
  virtual void resetCircle();
  /// Publishes the decoded feedback.
  virtual void ExchangeMotorMsg() = 0;

  /// The published error (or status) code; 0 before the first exchange.
  int getErrorCode() { return error_; }
  /// The published code when it reports a fault of the motor, else 0. By
  /// default every code but 0 is a fault.
  virtual int faultCode() { return error_; }

 protected:
  /// max if num > max, else min if num < min, else num (NaN passes).
  double restrictBound(double num, double max, double min);

  int error_ = 0;
};

}  // namespace hw_interface
}  // namespace kav
