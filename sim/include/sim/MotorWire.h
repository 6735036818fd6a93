#pragma once
/// @file MotorWire.h
/// The motors' side of the two wire protocols, as pure functions: decoding the
/// command frames a motor receives and encoding the feedback frames it sends.
/// No I/O and no state; the drivers in can_motor_dlc/ are the other side.

#include <optional>

#include "canbase/CanBaseDef.h"

namespace kav {
namespace sim {

/// The two motor families on the arm's bus.
enum class MotorProtocol {
  kType4,  ///< joints 1-3: feedback on the motor's own identifier, 5-bit error code
  kType2,  ///< joints 4-6 and the gripper: feedback on identifier 0, 4-bit status
};

/// What a received frame asks the motor to do.
enum class CommandKind {
  kHybrid,      ///< k_p (p_ref - p) + k_d (v_ref - v) + t_ff
  kEnable,      ///< type 2 only: FF FF FF FF FF FF FF FC
  kDisable,     ///< type 2 only: ... FD
  kSetZero,     ///< type 2 only: ... FE
  kClearError,  ///< type 2 only: ... FB
};

/// One decoded command. For the four special frames the five values are 0.
struct MotorCommand {
  CommandKind kind = CommandKind::kHybrid;
  double k_p = 0.0;
  double k_d = 0.0;
  double position = 0.0;
  double velocity = 0.0;
  double torque = 0.0;
};

/// What a motor reports in one feedback frame, in its own coordinates.
struct MotorFeedback {
  int code = 0;           ///< type 4: error code 0-31 (0 healthy); type 2: status 0-15
  double position = 0.0;  ///< single-turn reading, radians, within [-12.5, 12.5]
  double velocity = 0.0;  ///< radians per second
  double current = 0.0;   ///< in the motor's current unit
  int temperature = 30;   ///< degrees Celsius; type 4 only (type 2 sends no temperature)
};

/// Ranges of the fields of one protocol (every range is symmetric about 0
/// except the gains, which run from 0).
struct ProtocolRanges {
  double k_p_max;       ///< k_p field spans 0 .. k_p_max (12 bits)
  double k_d_max;       ///< k_d field spans 0 .. k_d_max (12 bits encoded)
  double position_max;  ///< position spans -max .. max (16 bits)
  double velocity_max;  ///< velocity spans -max .. max (12 bits)
  double torque_max;    ///< command torque spans -max .. max (12 bits)
  double current_max;   ///< feedback current spans -max .. max (12 bits)
};

/// The field ranges of @p protocol: type 4 k_p 500, k_d 50, position 12.5,
/// velocity 18, torque 30, current 30; type 2 k_p 500, k_d 5, position 12.5,
/// velocity 45, torque 10, current 10.
const ProtocolRanges& rangesOf(MotorProtocol protocol);

/// Decodes a frame addressed to a motor of @p protocol (the caller matches
/// the identifier). Values are decoded exactly as the drivers encode them, so
/// a packed command comes back as its clamped, quantised values. Type 4 sends
/// only the low 9 bits of the 12-bit k_d code; the motor reads them as the
/// code itself, so k_d arrives intact up to 511 * 50 / 4095 (about 6.24).
/// A type 2 frame of seven 0xFF bytes followed by FB, FC, FD or FE is the
/// matching special command; every other 8-byte frame is a hybrid command.
/// @return no value when the frame is not a command (its length is not 8)
std::optional<MotorCommand> decodeCommand(MotorProtocol protocol, const hw_interface::CanFrame& frame);

/// Encodes one feedback frame. Values are clamped to the protocol's ranges and
/// rounded to the nearest step of their field, so the driver decodes them
/// within half a step. Type 4: identifier @p motor_id, byte 0 the error code,
/// byte 6 the temperature as 2 T + 50 (clamped to 0-255), byte 7 zero.
/// Type 2: identifier 0, byte 0 the status in bits 7..4 and @p motor_id in
/// bits 3..0, bytes 6 and 7 zero.
/// @throw std::invalid_argument when @p motor_id is out of range (type 4:
///        1-2047; type 2: 0-15), the code does not fit its field (type 4:
///        0-31; type 2: 0-15), or a value is not a number
hw_interface::CanFrame encodeFeedback(MotorProtocol protocol, int motor_id, const MotorFeedback& feedback);

/// The reading of a single-turn encoder spanning 25 rad: @p position wrapped
/// into [-12.5, 12.5).
double singleTurnReading(double position);

}  // namespace sim
}  // namespace kav
