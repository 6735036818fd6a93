#pragma once
// Decoding of the arm's bus as a passive member sees it: every frame becomes
// a command to a motor, a motor's feedback, or a frame of no motor. The one
// place that knows the wire formats: commands are decoded with the motors'
// side of the protocols (sim/MotorWire.h), feedback with the library's own
// drivers.

#include <array>
#include <chrono>
#include <functional>
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
/// cycle) is read as a command. The first frame seen on such an identifier
/// may be the reply to a command sent before the decoder began; it is held
/// back until the next frame there tells: followed within the window, it was
/// a command; otherwise it is dropped as unknown. Type 2 commands use the
/// motor's identifier, their feedback identifier 0 with the motor in byte 0.
class BusDecoder {
 public:
  /// Longest time from a type 4 command to its reply: half a control cycle.
  static constexpr Clock::duration kReplyWindow = config::kCyclePeriod / 2;
  using Sink = std::function<void(const BusEvent&)>;

  BusDecoder();
  /// Decodes @p frame, seen at @p time, and hands the result to @p sink: one
  /// event, or two when a held-back frame is resolved, or none while a frame
  /// is held back.
  void decode(const hw_interface::CanFrame& frame, Clock::time_point time, const Sink& sink);

 private:
  struct Seen {
    hw_interface::CanFrame frame;
    Clock::time_point time;
  };
  BusEvent command(int joint, const Seen& seen) const;
  BusEvent feedback(int joint, const Seen& seen);
  void decodeType4(int joint, const Seen& seen, const Sink& sink);

  std::array<std::unique_ptr<hw_interface::MotorDlcBase>, config::kMotors> drivers_;
  std::array<bool, config::kMotors> in_step_{};                // the order is known
  std::array<std::optional<Seen>, config::kMotors> held_back_;  // the first frame, while not in step
  std::array<std::optional<Clock::time_point>, config::kMotors> awaiting_reply_;
};

/// Name of a joint for people: "joint1" ... "joint6", "gripper".
const char* jointName(int joint);

}  // namespace tool
}  // namespace kav
