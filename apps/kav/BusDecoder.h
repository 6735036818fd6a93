#pragma once
// Decoding of the arm's bus as a passive member sees it: every frame becomes
// a command to a motor, a motor's feedback, or a frame of no motor. Commands
// are decoded with the motors' side of the wire protocols
// (can_motor_dlc/MotorWire.h), feedback with the library's own drivers, which
// count the turns of the type 2 motors as the controller does.

#include <can_motor_dlc/MotorDlcBase.h>
#include <can_motor_dlc/MotorWire.h>
#include <canbase/CanBaseDef.h>
#include <config/ArmConfig.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

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
  int joint = -1;                      ///< 0-5 arm joints, 6 the gripper; -1 for kOther
  hw_interface::MotorCommand command;  ///< kCommand: kind and the five values as on the wire
  Feedback feedback;                   ///< kFeedback
};

/// A frame as it was seen on the bus, before decoding.
struct SeenFrame {
  hw_interface::CanFrame frame;
  Clock::time_point time;
};

/// Decodes the frames of one bus in the order they were seen.
///
/// A type 4 motor answers on the identifier its commands use, so a frame
/// there is told apart by its content: a host sends the same gains cycle
/// after cycle, so a frame with the gains of the last command is a command;
/// any other frame is a reply when, read as feedback, its position continues
/// the motor's last reported position (within kContinuity), and otherwise a
/// command with new gains (the host changed the arm's state). A command read
/// as feedback gives a position made of its gain bits, which is far from the
/// joint's except by coincidence. Until the motor's first reply is known, a
/// frame after a command is taken for its reply. This holds for late replies,
/// commands in bursts, missed frames and motors that do not answer. The first frame seen on such an
/// identifier is held back until the next one there tells what it was (a
/// reply to a command sent before the decoder began is dropped). Type 2
/// commands use the motor's identifier, their feedback identifier 0 with the motor in byte 0.
class BusDecoder {
 public:
  /// Longest time from a type 4 command to its reply that the decoder
  /// expects when it begins: half a control cycle.
  static constexpr Clock::duration kReplyWindow = config::kCyclePeriod / 2;
  /// Largest change of a joint's position between two replies, radians.
  static constexpr double kContinuity = 0.3;
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
  BusEvent reply(int joint, const Seen& seen);  // a type 4 reply
  void decodeType4(int joint, const Seen& seen, const Sink& sink);

  std::array<std::unique_ptr<hw_interface::MotorDlcBase>, config::kMotors> drivers_;
  std::array<bool, config::kMotors> in_step_{};                 // the order is known
  std::array<std::optional<Seen>, config::kMotors> held_back_;  // the first frame, while not in step
  std::array<std::optional<hw_interface::MotorCommand>, config::kMotors> last_command_;
  std::array<std::optional<double>, config::kMotors> last_position_;  // of the last type 4 reply
  std::array<bool, config::kMotors> after_command_{};                 // the last frame was a command
};

/// Name of a joint for people: "joint1" ... "joint6", "gripper".
const char* jointName(int joint);

}  // namespace tool
}  // namespace kav
