#include "can_motor_dlc/MotorWire.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "can_motor_dlc/MotorDlcBase.h"

namespace kav {
namespace hw_interface {

namespace {

constexpr ProtocolRanges kType4Ranges{500.0, 50.0, 12.5, 18.0, 30.0, 30.0};
constexpr ProtocolRanges kType2Ranges{500.0, 5.0, 12.5, 45.0, 10.0, 10.0};
constexpr double kTurn = 25.0;  // span of a single-turn position reading

double finiteOrZero(double value) { return std::isnan(value) ? 0.0 : value; }

// Clamps `value` (a NaN counts as 0) to [low, high] and encodes it the way
// both protocols do: truncated, in single precision.
uint16_t encodeCommandField(double value, double low, double high, int bits) {
  const double clamped = std::min(std::max(finiteOrZero(value), low), high);
  return float_to_uint(static_cast<float>(clamped), static_cast<float>(low), static_cast<float>(high), bits);
}

double decodeSymmetric(int code, double max, int bits) {
  return uint_to_float(code, static_cast<float>(-max), static_cast<float>(max), bits);
}

double decodeGain(int code, double max) { return uint_to_float(code, 0.0f, static_cast<float>(max), 12); }

// Nearest step of a field of `bits` bits spanning [low, high]; values outside
// the span saturate at its ends.
int encodeField(double value, double low, double high, int bits, const char* what) {
  if (std::isnan(value)) {
    throw std::invalid_argument(std::string("encodeFeedback: ") + what + " is not a number");
  }
  const double all_ones = static_cast<double>((1 << bits) - 1);
  const double clamped = std::min(std::max(value, low), high);
  return static_cast<int>(std::lround((clamped - low) / (high - low) * all_ones));
}

bool isSpecialType2(const CanFrame& frame, CommandKind* kind) {
  for (int i = 0; i < 7; ++i) {
    if (frame.data[i] != 0xFF) return false;
  }
  switch (frame.data[7]) {
    case 0xFC:
      *kind = CommandKind::kEnable;
      return true;
    case 0xFD:
      *kind = CommandKind::kDisable;
      return true;
    case 0xFE:
      *kind = CommandKind::kSetZero;
      return true;
    case 0xFB:
      *kind = CommandKind::kClearError;
      return true;
    default:
      return false;
  }
}

MotorCommand decodeType4(const uint8_t* d) {
  const ProtocolRanges& r = kType4Ranges;
  MotorCommand command;
  command.k_p = decodeGain(((d[0] & 0x1F) << 7) | (d[1] >> 1), r.k_p_max);
  command.k_d = decodeGain(((d[1] & 0x01) << 8) | d[2], r.k_d_max);
  command.position = decodeSymmetric((d[3] << 8) | d[4], r.position_max, 16);
  command.velocity = decodeSymmetric((d[5] << 4) | (d[6] >> 4), r.velocity_max, 12);
  command.torque = decodeSymmetric(((d[6] & 0x0F) << 8) | d[7], r.torque_max, 12);
  return command;
}

MotorCommand decodeType2(const uint8_t* d) {
  const ProtocolRanges& r = kType2Ranges;
  MotorCommand command;
  command.position = decodeSymmetric((d[0] << 8) | d[1], r.position_max, 16);
  command.velocity = decodeSymmetric((d[2] << 4) | (d[3] >> 4), r.velocity_max, 12);
  command.k_p = decodeGain(((d[3] & 0x0F) << 8) | d[4], r.k_p_max);
  command.k_d = decodeGain((d[5] << 4) | (d[6] >> 4), r.k_d_max);
  command.torque = decodeSymmetric(((d[6] & 0x0F) << 8) | d[7], r.torque_max, 12);
  return command;
}

MotorFeedback unpackFeedbackFields(const uint8_t* d, const ProtocolRanges& r) {
  MotorFeedback feedback;
  feedback.position = decodeSymmetric((d[1] << 8) | d[2], r.position_max, 16);
  feedback.velocity = decodeSymmetric((d[3] << 4) | (d[4] >> 4), r.velocity_max, 12);
  feedback.current = decodeSymmetric(((d[4] & 0x0F) << 8) | d[5], r.current_max, 12);
  return feedback;
}

}  // namespace

const ProtocolRanges& rangesOf(MotorProtocol protocol) {
  return protocol == MotorProtocol::kType4 ? kType4Ranges : kType2Ranges;
}

CanFrame packHybridCommand(MotorProtocol protocol, int motor_id, double k_p, double k_d, double position,
                           double velocity, double torque) {
  const ProtocolRanges& r = rangesOf(protocol);
  const uint16_t kp = encodeCommandField(k_p, 0.0, r.k_p_max, 12);
  const uint16_t kd = encodeCommandField(k_d, 0.0, r.k_d_max, 12);
  const uint16_t pos = encodeCommandField(position, -r.position_max, r.position_max, 16);
  const uint16_t vel = encodeCommandField(velocity, -r.velocity_max, r.velocity_max, 12);
  const uint16_t tor = encodeCommandField(torque, -r.torque_max, r.torque_max, 12);

  CanFrame frame{};
  frame.can_id = static_cast<uint32_t>(motor_id);
  frame.can_dlc = 8;
  uint8_t* d = frame.data;
  if (protocol == MotorProtocol::kType4) {
    const uint16_t kd9 = std::min<uint16_t>(kd, kType4KdCodeMax);
    d[0] = static_cast<uint8_t>((kp >> 7) & 0x1F);
    d[1] = static_cast<uint8_t>(((kp & 0x7F) << 1) | ((kd9 >> 8) & 0x01));
    d[2] = static_cast<uint8_t>(kd9 & 0xFF);
    d[3] = static_cast<uint8_t>(pos >> 8);
    d[4] = static_cast<uint8_t>(pos & 0xFF);
    d[5] = static_cast<uint8_t>(vel >> 4);
    d[6] = static_cast<uint8_t>(((vel & 0x0F) << 4) | ((tor >> 8) & 0x0F));
  } else {
    d[0] = static_cast<uint8_t>(pos >> 8);
    d[1] = static_cast<uint8_t>(pos & 0xFF);
    d[2] = static_cast<uint8_t>(vel >> 4);
    d[3] = static_cast<uint8_t>(((vel & 0x0F) << 4) | ((kp >> 8) & 0x0F));
    d[4] = static_cast<uint8_t>(kp & 0xFF);
    d[5] = static_cast<uint8_t>(kd >> 4);
    d[6] = static_cast<uint8_t>(((kd & 0x0F) << 4) | ((tor >> 8) & 0x0F));
  }
  d[7] = static_cast<uint8_t>(tor & 0xFF);
  return frame;
}

CanFrame packType2Special(int motor_id, CommandKind kind) {
  uint8_t last_byte = 0;
  switch (kind) {
    case CommandKind::kEnable:
      last_byte = 0xFC;
      break;
    case CommandKind::kDisable:
      last_byte = 0xFD;
      break;
    case CommandKind::kSetZero:
      last_byte = 0xFE;
      break;
    case CommandKind::kClearError:
      last_byte = 0xFB;
      break;
    case CommandKind::kHybrid:
      return CanFrame{};
  }
  CanFrame frame{};
  frame.can_id = static_cast<uint32_t>(motor_id);
  frame.can_dlc = 8;
  for (int i = 0; i < 7; ++i) frame.data[i] = 0xFF;
  frame.data[7] = last_byte;
  return frame;
}

std::optional<MotorFeedback> unpackFeedback(MotorProtocol protocol, int motor_id, const CanFrame& frame) {
  if (frame.can_dlc != 8) return std::nullopt;
  const uint8_t* d = frame.data;
  if (protocol == MotorProtocol::kType4) {
    if (frame.can_id != static_cast<uint32_t>(motor_id)) return std::nullopt;
    MotorFeedback feedback = unpackFeedbackFields(d, kType4Ranges);
    feedback.code = d[0] & 0x1F;
    feedback.temperature = (static_cast<int>(d[6]) - 50) / 2;
    return feedback;
  }
  if (frame.can_id != 0 || (d[0] & 0x0F) != motor_id) return std::nullopt;
  MotorFeedback feedback = unpackFeedbackFields(d, kType2Ranges);
  feedback.code = (d[0] >> 4) & 0x0F;
  return feedback;
}

std::optional<MotorCommand> decodeCommand(MotorProtocol protocol, const CanFrame& frame) {
  if (frame.can_dlc != 8) return std::nullopt;
  if (protocol == MotorProtocol::kType4) return decodeType4(frame.data);
  MotorCommand special;
  if (isSpecialType2(frame, &special.kind)) return special;
  return decodeType2(frame.data);
}

CanFrame encodeFeedback(MotorProtocol protocol, int motor_id, const MotorFeedback& feedback) {
  const bool type4 = protocol == MotorProtocol::kType4;
  const int max_id = type4 ? 0x7FF : 0x0F;
  const int min_id = type4 ? 1 : 0;
  const int max_code = type4 ? 0x1F : 0x0F;
  if (motor_id < min_id || motor_id > max_id) {
    throw std::invalid_argument("encodeFeedback: motor identifier " + std::to_string(motor_id) +
                                " is out of range " + std::to_string(min_id) + "-" + std::to_string(max_id));
  }
  if (feedback.code < 0 || feedback.code > max_code) {
    throw std::invalid_argument("encodeFeedback: code " + std::to_string(feedback.code) + " does not fit 0-" +
                                std::to_string(max_code));
  }
  const ProtocolRanges& r = rangesOf(protocol);
  const int pos = encodeField(feedback.position, -r.position_max, r.position_max, 16, "position");
  const int vel = encodeField(feedback.velocity, -r.velocity_max, r.velocity_max, 12, "velocity");
  const int cur = encodeField(feedback.current, -r.current_max, r.current_max, 12, "current");

  CanFrame frame{};
  frame.can_dlc = 8;
  if (type4) {
    frame.can_id = static_cast<uint32_t>(motor_id);
    frame.data[0] = static_cast<uint8_t>(feedback.code);
    frame.data[6] = static_cast<uint8_t>(std::min(std::max(2 * feedback.temperature + 50, 0), 255));
  } else {
    frame.can_id = 0;
    frame.data[0] = static_cast<uint8_t>((feedback.code << 4) | motor_id);
  }
  frame.data[1] = static_cast<uint8_t>(pos >> 8);
  frame.data[2] = static_cast<uint8_t>(pos & 0xFF);
  frame.data[3] = static_cast<uint8_t>(vel >> 4);
  frame.data[4] = static_cast<uint8_t>(((vel & 0x0F) << 4) | (cur >> 8));
  frame.data[5] = static_cast<uint8_t>(cur & 0xFF);
  return frame;
}

double singleTurnReading(double position) {
  return position - kTurn * std::floor((position + kTurn / 2.0) / kTurn);
}

}  // namespace hw_interface
}  // namespace kav
