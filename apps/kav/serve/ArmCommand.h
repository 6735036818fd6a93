#pragma once
// Commands that clients send on /arm/command, one JSON object per message:
// parsed and checked completely before any of them reaches the arm.

#include <interfaces/InterfacesThread.h>

#include <string>
#include <vector>

#include "LiveServer.h"

namespace kav {
namespace serve {

struct ArmCommand {
  enum class Op { kStop, kSetState, kJointPositions, kMoveJoints, kStopMotion, kGripper, kRecover };
  Op op = Op::kStop;
  int state = 0;
  std::vector<double> joints;  ///< positions or the move's target, six values
  double speed_scale = 1.0;
  double gripper = 0.0;
};

/// Parses one message of /arm/command.
/// @throw std::invalid_argument saying what is wrong (not JSON, no or an
///        unknown "op", a missing field, a wrong count, a value that is not a
///        finite number or out of range)
ArmCommand parseArmCommand(const std::string& text);

/// Checks a client message for the arm before anything reaches it: the
/// error for the sender (quoting what it sent only as a short excerpt), or
/// empty with @p command set. Only stop is allowed without @p allow_control
/// or from a page of another site.
std::string checkClientMessage(const Sender& sender, const std::string& topic, const std::string& encoding,
                               const std::string& payload, bool allow_control, ArmCommand* command);

/// What the arm's laws will make of the targets of @p command: one line per
/// target outside its range, naming the joint (or the gripper), the value
/// sent, the range and the value it is clamped to; empty when every target
/// lies within its range (and for commands without targets). move_joints is
/// not clamped but refused by the facade, so it gets none.
/// @param variant the arm variant, which sets the gripper's range
std::string clampedTargets(const ArmCommand& command, int variant);

/// Carries out @p command on @p arm. move_joints and joint_positions select
/// POSITION_CONTROL first when the arm is in another state; stop selects
/// PROTECT. recover blocks for about 0.2 s: kav serve runs it on the thread
/// of its Recovery, never on a network thread.
/// @throw what the facade throws (std::invalid_argument, std::runtime_error)
void execute(const ArmCommand& command, t8::InterfacesThread& arm);

}  // namespace serve
}  // namespace kav
