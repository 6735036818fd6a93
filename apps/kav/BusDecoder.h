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

/// Decodes the frames of one bus in the order they were seen.
///
/// A type 4 motor answers on the identifier its commands use, so a frame
/// there is told apart by its content and order. A host sends the same gains
/// cycle after cycle, and a reply read as a command gives other gains (its
/// first byte is the error code, where a command has the top bits of k_p):
/// so a frame with the gains of the last command is a command; another frame
/// is a reply while commands are unanswered (counting at most
/// kUnansweredLimit of them), otherwise a command with new gains (the host
/// changed the arm's state). This holds for replies that come late and for
/// commands that come in bursts. A motor that does not answer shows commands
/// and no replies; when the host changes its gains meanwhile, the first
/// kUnansweredLimit commands with the new gains are taken for replies. The
/// first frame seen on such an
/// identifier is held back until the next one there tells what it was (a
/// reply to a command sent before the decoder began is dropped). Type 2
/// commands use the motor's identifier, their feedback identifier 0 with the motor in byte 0.
class BusDecoder {
 public:
  /// Longest time from a type 4 command to its reply that the decoder
  /// expects when it begins: half a control cycle.
  static constexpr Clock::duration kReplyWindow = config::kCyclePeriod / 2;
  /// Unanswered commands to one type 4 motor that replies are matched to.
  static constexpr int kUnansweredLimit = 4;
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
  std::array<bool, config::kMotors> in_step_{};                 // the order is known
  std::array<std::optional<Seen>, config::kMotors> held_back_;  // the first frame, while not in step
  std::array<int, config::kMotors> unanswered_{};  // commands since the last reply, at most kUnansweredLimit
  std::array<std::optional<hw_interface::MotorCommand>, config::kMotors> last_command_;
};

/// Name of a joint for people: "joint1" ... "joint6", "gripper".
const char* jointName(int joint);

}  // namespace tool
}  // namespace kav
