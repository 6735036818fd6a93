#pragma once
// The safety limits as one pure function between the laws and the motor
// bus: from the cycle's measurement and the law's commands to the commands
// that may be sent, and which limits they broke. No I/O, no allocation.

#include <Eigen/Core>
#include <array>

#include "config/ArmConfig.h"
#include "controller/ControlLaws.h"
#include "controller/ErrorCode.h"
#include "controller/MotorBus.h"
#include "controller/UserControl.h"

namespace kav {
namespace t8 {
namespace limits {

/// What the limits judge a cycle's commands by.
struct Measurement {
  const laws::Feedback& feedback;  ///< positions, velocities, gravity (command units)
  /// The end effector's position (pose convention) and the Jacobian there.
  const Eigen::Vector3d& end_position;
  const Eigen::Matrix<double, 6, 6>& jacobian;
  /// Torque command per N·m at each arm joint (the model's drive constants).
  const std::array<double, config::kArmJoints>& command_per_newton_metre;
  /// Whether the commands are a host's law: only then are the joint
  /// velocity measured above its limit and the whole torque the gains ask
  /// at the measured state limited. The library's laws are stiff position
  /// laws bounded by construction (set-points within the interpolation and
  /// motion limits and the joint limits, velocity targets clamped here):
  /// right after a change of their gains the measured velocity rings above
  /// the limit and the gains' torque above the drives' range for a few
  /// cycles without the law driving the joint on; their feed-forward torque
  /// is limited.
  bool host_law;
};

/// Which kinds of limit the commands broke (bit ErrorCode::LimitKind).
struct Verdict {
  unsigned broken = 0;
  bool refused() const { return (broken & bit(ErrorCode::LimitKind::kNotFinite)) != 0; }
  static constexpr unsigned bit(ErrorCode::LimitKind kind) { return 1u << static_cast<unsigned>(kind); }
};

/// The hold the end effector's limits put the arm in: where it began, kept
/// while the hold lasts (the caller's, from one cycle to the next).
struct Hold {
  bool active = false;
  std::array<double, config::kArmJoints> position{};
};

/// Applies @p limits to the seven @p commands (motor command units) in
/// place. A command that is not finite is refused (left as it was; the
/// caller must not send it). Otherwise, per arm joint at the measured
/// state: the position target is clamped into the joint's range less its
/// margin (or between it and a joint beyond it) and the velocity target to
/// the velocity limit; a joint beyond its range and not on its way back
/// (or, for a host's law, faster than its velocity limit) gets no torque
/// driving it on beyond gravity's; the torque asked for (a host's law: at
/// the measured state; the library's: its feed-forward) is clamped to the
/// torque limit.
/// Then, with the end effector's position 50 ms ahead at its measured
/// velocity outside the box and the commands' wrench pushing it (or its
/// velocity carrying it) out, or its speed above the speed limit, the arm
/// joints' commands become @p held: the positions measured when the hold
/// began, with POSITION_CONTROL's gains and gravity.
/// The gripper's command is checked for finite values only.
Verdict apply(const SafetyLimits& limits, const Measurement& measurement, MotorCommands& commands,
              Hold& held);

/// Whether @p limits can be used; otherwise std::invalid_argument naming
/// the field (and the joint or axis).
void validate(const SafetyLimits& limits);

}  // namespace limits
}  // namespace t8
}  // namespace kav
