#pragma once
// Decoding of the arm's bus as a passive member sees it: every frame becomes
// a command to a motor, a motor's feedback, or a frame of no motor. The one
// place that knows the wire formats: commands are decoded with the motors'
// side of the protocols (sim/MotorWire.h), feedback with the library's own
// drivers.

#include <array>
#include <chrono>
#include <memory>
#include <optional>

#include <can_motor_dlc/MotorDlcBase.h>
#include <canbase/CanBaseDef.h>
#include <config/ArmConfig.h>
#include <sim/MotorWire.h>

namespace kav {
namespace tool {

using Clock = std::chrono::steady_clock;

/// What a motor reported in one feedback frame, as the controller reads it.
struct Feedback {
  double position = 0.0;  ///< radians; multi-turn for type 2 motors, as the driver counts
  double velocity = 0.0;
  double current = 0.0;
  int error = 0;  ///< type 4: error code (0 healthy); type 2: status (1 enabled, 0 disabled)
};

/// One decoded frame.
struct BusEvent {
  enum class Kind { kCommand, kFeedback, kOther };
  Kind kind = Kind::kOther;
  Clock::time_point time;
  int joint = -1;           ///< 0-5 arm joints, 6 the gripper; -1 for kOther
  sim::MotorCommand command;  ///< kCommand: kind and the five values as on the wire
  Feedback feedback;          ///< kFeedback
};

/// Decodes the frames of one bus in the order they were seen.
///
/// A type 4 motor answers on the identifier its commands use, so a frame
/// there is told apart by order: the first frame on that identifier within
/// kReplyWindow of a command is the motor's reply, any other is a command.
/// A reply later than that (a motor answering more slowly than half a control
/// cycle) is read as a command. Type 2 commands use the motor's identifier,
/// their feedback identifier 0 with the motor in byte 0.
class BusDecoder {
 public:
  /// Longest time from a type 4 command to its reply: half a control cycle.
  static constexpr Clock::duration kReplyWindow = config::kCyclePeriod / 2;

  BusDecoder();
  /// Decodes @p frame, seen at @p time.
  BusEvent decode(const hw_interface::CanFrame& frame, Clock::time_point time);

 private:
  Feedback feedbackOf(int joint, hw_interface::CanFrame frame);

  std::array<std::unique_ptr<hw_interface::MotorDlcBase>, config::kMotors> drivers_;
  std::array<std::optional<Clock::time_point>, config::kMotors> awaiting_reply_;
};

/// Name of a joint for people: "joint1" ... "joint6", "gripper".
const char* jointName(int joint);

}  // namespace tool
}  // namespace kav
