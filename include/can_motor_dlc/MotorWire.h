#pragma once
/// @file MotorWire.h
/// The two motor wire protocols as pure functions, both directions: the
/// host's side (packing command frames, unpacking feedback frames) and the
/// motors' side (decoding commands, encoding feedback). No I/O and no state:
/// the drivers (Mtp4Dlc.h, Mtp2Dlc.h) add the state (turn counting, silence
/// limits), the simulated arm plays the motors with the same functions, and
/// bus monitors decode both directions with them.
///
/// Type 4 (joints 1-3) hybrid command, 8 bytes:
///   k_p 12 bits | k_d 9 bits | position 16 | velocity 12 | torque 12
///   byte 0: k_p[11:7] (low 5 bits); byte 1: k_p[6:0] << 1 | k_d[8];
///   byte 2: k_d[7:0]; bytes 3-4: position; bytes 5-6: velocity << 4;
///   byte 6 low nibble and byte 7: torque.
///   Enable is the hybrid command k_d 5, disable k_d 100 (clamped to 50).
/// Type 4 feedback, on the motor's own identifier: byte 0 error code (5 bits),
///   bytes 1-2 position, bytes 3-4 velocity (12 bits), bytes 4-5 current
///   (12 bits), byte 6 temperature as 2 T + 50.
/// Type 2 (joints 4-6, gripper) hybrid command, 8 bytes:
///   position 16 | velocity 12 | k_p 12 | k_d 12 | torque 12.
///   Special frames: seven 0xFF bytes, then FC enable, FD disable, FE set
///   zero, FB clear error.
/// Type 2 feedback, on identifier 0: byte 0 status << 4 | motor identifier,
///   then position, velocity and current as for type 4.
/// Every field is linear over its range (rangesOf) in single precision, see
/// float_to_uint / uint_to_float.

#include <optional>

#include "canbase/CanBaseDef.h"
#include "config/ArmConfig.h"

namespace kav {
namespace hw_interface {

using config::MotorProtocol;

/// What a command frame asks the motor to do.
enum class CommandKind {
  kHybrid,      ///< k_p (p_ref - p) + k_d (v_ref - v) + t_ff
  kEnable,      ///< type 2 only: FF FF FF FF FF FF FF FC
  kDisable,     ///< type 2 only: ... FD
  kSetZero,     ///< type 2 only: ... FE
  kClearError,  ///< type 2 only: ... FB
};

/// One command. For the four special frames the five values are 0.
struct MotorCommand {
  CommandKind kind = CommandKind::kHybrid;  ///< which frame
  double k_p = 0.0;                         ///< stiffness
  double k_d = 0.0;                         ///< damping
  double position = 0.0;                    ///< target position, rad
  double velocity = 0.0;                    ///< target velocity, rad/s
  double torque = 0.0;                      ///< feed-forward torque
};

/// What a motor reports in one feedback frame, in its own coordinates.
struct MotorFeedback {
  int code = 0;           ///< type 4: error code 0-31 (0 healthy); type 2: status 0-15 (1 enabled)
  double position = 0.0;  ///< single-turn reading, radians, within [-12.5, 12.5]
  double velocity = 0.0;  ///< radians per second
  double current = 0.0;   ///< in the motor's current unit
  int temperature = 30;   ///< degrees Celsius; type 4 only (type 2 sends no temperature)
};

/// Ranges of the fields of one protocol (every range is symmetric about 0
/// except the gains, which run from 0).
struct ProtocolRanges {
  double k_p_max;       ///< k_p field spans 0 .. k_p_max (12 bits)
  double k_d_max;       ///< k_d field spans 0 .. k_d_max (12-bit code)
  double position_max;  ///< position spans -max .. max (16 bits)
  double velocity_max;  ///< velocity spans -max .. max (12 bits)
  double torque_max;    ///< command torque spans -max .. max (12 bits)
  double current_max;   ///< feedback current spans -max .. max (12 bits)
};

/// The field ranges of @p protocol: type 4 k_p 500, k_d 50, position 12.5,
/// velocity 18, torque 30, current 30; type 2 k_p 500, k_d 5, position 12.5,
/// velocity 45, torque 10, current 10.
const ProtocolRanges& rangesOf(MotorProtocol protocol);

/// Largest k_d code a type 4 frame carries: its k_d field has 9 bits, so a
/// larger 12-bit code saturates here (k_d about 6.24) instead of wrapping.
constexpr int kType4KdCodeMax = 0x1FF;

// ------------------------------------------------------------ host's side

/// The hybrid command frame for motor @p motor_id. Each value is clamped to
/// its field's range (a NaN counts as 0), then encoded. Type 4 k_d codes
/// above kType4KdCodeMax saturate there.
hw_interface::CanFrame packHybridCommand(MotorProtocol protocol, int motor_id, double k_p, double k_d,
                                         double position, double velocity, double torque);

/// A type 2 special frame (enable, disable, set zero, clear error) for motor
/// @p motor_id; @p kind kHybrid is not a special frame and gives the empty
/// frame (identifier 0, length 0).
hw_interface::CanFrame packType2Special(int motor_id, CommandKind kind);

/// Unpacks @p frame when it is feedback of motor @p motor_id of @p protocol
/// (type 4: identifier @p motor_id; type 2: identifier 0 and the motor's
/// number in byte 0) with length 8.
/// @return no value for any other frame
std::optional<MotorFeedback> unpackFeedback(MotorProtocol protocol, int motor_id,
                                            const hw_interface::CanFrame& frame);

// ------------------------------------------------------------ motors' side

/// Decodes a frame addressed to a motor of @p protocol (the caller matches
/// the identifier). Values are decoded exactly as packHybridCommand encodes
/// them, so a packed command comes back as its clamped, quantised values.
/// Type 4 carries only 9 bits of the k_d code, read as the code itself.
/// A type 2 frame of seven 0xFF bytes followed by FB, FC, FD or FE is the
/// matching special command; every other 8-byte frame is a hybrid command.
/// @return no value when the frame is not a command (its length is not 8)
std::optional<MotorCommand> decodeCommand(MotorProtocol protocol, const hw_interface::CanFrame& frame);

/// Encodes one feedback frame. Values are clamped to the protocol's ranges and
/// rounded to the nearest step of their field, so unpackFeedback returns them
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

}  // namespace hw_interface
}  // namespace kav
