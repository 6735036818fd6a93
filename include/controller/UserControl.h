#pragma once
/// @file UserControl.h
/// A host's own control law inside the 200 Hz cycle, the ready-made
/// impedance laws, and the safety limits every command passes.
///
/// A ControlLaw runs on the control thread once per cycle (see
/// InterfacesThread::control): it receives the cycle's CycleState and
/// returns the six arm joints' JointCommand. Everything the law does adds to
/// the cycle's time, so a law must not block, allocate in steady state or
/// print; an exception it throws ends control safely.
///
/// Units of a JointCommand are those at the joint: k_p N·m/rad, k_d
/// N·m·s/rad, torque N·m (the library converts them to each motor's
/// command units with the dynamics model's drive constants). Each motor
/// applies k_p (position - q) + k_d (velocity - dq) + torque at its own
/// rate between two cycles.

#include <Eigen/Geometry>
#include <array>
#include <cstdint>
#include <functional>

#include "typedef/HybridJointTypeDef.h"

namespace kav {
namespace t8 {

using hw_interface::HybridJointCmd;

/// What a control law sees at the start of a cycle.
struct CycleState {
  double time;                            ///< s since control() began (0 at the first cycle)
  std::uint64_t cycle;                    ///< cycles since control() began (0 at the first)
  std::array<double, 7> q;                ///< rad, joints 1-6 and the gripper (relative to its zero)
  std::array<double, 7> dq;               ///< rad/s, joints 1-6 and the gripper
  std::array<double, 7> current;          ///< the motors' reported currents, their own units
  std::array<double, 6> external_torque;  ///< N·m, the collision observer's estimate per arm joint
  std::array<double, 6> gravity;          ///< N·m, the model's gravity torques (payload included)
  /// The end effector, in the library's pose convention (getEndPose():
  /// position relative to the zero configuration's, orientation in the base frame).
  Eigen::Isometry3d pose;
  /// The geometric Jacobian of that pose: rows vx, vy, vz, wx, wy, wz in the
  /// base frame, reference point at the end effector.
  Eigen::Matrix<double, 6, 6> jacobian;
};

/// What a control law commands for one cycle.
struct JointCommand {
  /// Per arm joint: position (rad), velocity (rad/s), torque (N·m), k_p
  /// (N·m/rad), k_d (N·m·s/rad). All zero is a limp joint.
  std::array<HybridJointCmd, 6> joints{};
  /// True ends control() after this cycle (this command is still sent).
  bool finished = false;
};

/// A control law: called once per cycle on the control thread.
using ControlLaw = std::function<JointCommand(const CycleState&)>;

namespace laws {

/// Joint impedance around @p target: each joint's motor applies
/// stiffness (target - q) - damping dq + the model's gravity torque.
/// @param stiffness N·m/rad per arm joint, at least 0
/// @param damping N·m·s/rad per arm joint, at least 0
/// @param target rad per arm joint
/// @throw std::invalid_argument naming the argument and joint for a value
///        that is not finite or a negative gain
ControlLaw jointImpedance(const std::array<double, 6>& stiffness, const std::array<double, 6>& damping,
                          const std::array<double, 6>& target);

/// Cartesian impedance around @p target: the wrench
/// F = stiffness e - damping (J dq), with e the position error and the
/// rotation error (axis times angle) in the base frame, reaches the joints
/// through the Jacobian's transpose, plus the model's gravity torques.
/// @param stiffness x, y, z in N/m, then rx, ry, rz in N·m/rad, at least 0
/// @param damping x, y, z in N·s/m, then rx, ry, rz in N·m·s/rad, at least 0
/// @param target the end-effector pose, in the library's pose convention
/// @throw std::invalid_argument naming the argument for a value that is not
///        finite, a negative gain, or a target whose linear part is not a rotation
ControlLaw cartesianImpedance(const std::array<double, 6>& stiffness, const std::array<double, 6>& damping,
                              const Eigen::Isometry3d& target);

/// The torques of a Cartesian impedance law for @p state, without gravity:
/// J^T (stiffness e - damping J dq). For laws that compose their own.
std::array<double, 6> cartesianImpedanceTorques(const CycleState& state,
                                                const std::array<double, 6>& stiffness,
                                                const std::array<double, 6>& damping,
                                                const Eigen::Isometry3d& target);

}  // namespace laws

/// Limits every command passes in the cycle before it reaches the bus, the
/// library's laws and a host's alike (docs/control.md).
///
/// A command that is not finite is always refused: control ends, the arm in
/// damping. Beyond a limit the command is clamped (response kClamp) or
/// control ends (kEnd). Each kind of violation has its error code
/// (ErrorCode::kLimitBase + kind), recorded once each time the kind begins
/// to be violated.
///
/// The defaults are the arm's own bounds, never reached by the library's
/// laws in normal use: the joint limits, the motion limits, the drives'
/// torque ranges, a box and a speed beyond the arm's reach. Tighten them for
/// work near people (docs/control.md suggests values).
struct SafetyLimits {
  /// What a command beyond a limit comes to.
  enum class Response {
    kClamp,  ///< clamped to the limit (the arm stops at a box edge, slows at a speed limit)
    kEnd,    ///< control ends with the violation's code (the arm goes to damping)
  };
  /// rad inside each arm joint's limits (config::kJointLower/Upper), at
  /// least 0: position targets are clamped into the narrowed range, and a
  /// joint beyond it gets no torque that drives it farther than gravity's.
  std::array<double, 6> position_margin{};
  /// rad/s per arm joint (> 0): velocity targets are clamped to it, and a
  /// joint faster than it gets no torque that speeds it up beyond gravity's.
  /// Default: the motion limits (setMotionLimits), following them until set.
  std::array<double, 6> max_velocity{2.0, 2.0, 2.0, 2.0, 2.0, 2.0};
  /// N·m per arm joint (> 0): the torque a command asks for at the measured
  /// state. Default: the drives' command ranges at the joint.
  std::array<double, 6> max_torque{37.5, 37.5, 37.5, 7.5, 7.5, 7.5};
  /// The end effector's box, m, in the library's pose convention: a command
  /// that drives the end effector out of it is replaced by a hold where it
  /// is (so the arm stops at the edge).
  std::array<double, 3> box_lower{-1.5, -1.5, -1.5};
  /// The box's upper corner, m (its lower one is box_lower).
  std::array<double, 3> box_upper{1.5, 1.5, 1.5};
  /// m/s (> 0): above it the arm is held where it is for that cycle.
  double max_end_speed = 5.0;
  /// What a command beyond a limit comes to (a command that is not finite
  /// always ends control).
  Response response = Response::kClamp;
};

}  // namespace t8
}  // namespace kav
