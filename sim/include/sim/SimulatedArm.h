#pragma once
/// @file SimulatedArm.h
/// A stand-in for the real arm: seven simulated motors on a bus, speaking the
/// two motor wire protocols, driving a rigid-body model of the arm, with
/// switchable faults and a record of what each motor received.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/ArmPhysics.h"
#include "sim/MotorWire.h"

namespace kav {
namespace sim {

/// How an arm is set up when it is attached.
struct SimulatedArmOptions {
  /// Joint positions at start, radians, joints 1-6 then the gripper; the arm
  /// starts at rest. Every position must lie within the joint's end stops.
  std::array<double, kSimJoints> start_pose{};
  /// Arm variant. 2 puts the gripper's end stop at +1.0 rad (reached with
  /// positive velocity); every other variant at -1.0 rad.
  int variant = 0;
  /// Time from receiving a frame to sending its feedback, 0 to 1 s.
  std::chrono::microseconds reply_latency{0};
  /// Seed of the measurement noise; without a seed the readings carry no noise.
  /// With one, every reading gets Gaussian noise: position 0.0002 rad,
  /// velocity 0.005 rad/s, current 0.005 (standard deviations).
  std::optional<std::uint64_t> noise_seed;
  /// Standard deviation of further Gaussian noise on every reported current
  /// (N·m at the joint; reported in the motor's command units), beside the
  /// measurement noise; 0: none. Drawn
  /// with the measurement noise's generator (seeded by noise_seed, or by 1).
  double current_noise = 0.0;
  /// Seed of the draws that decide which frames are dropped (setDropShare).
  std::uint64_t drop_seed = 1;
  /// URDF text of the arm; empty: the description embedded in the library.
  std::string description;
  /// Mechanical constants; the gripper's end stop is set from the variant.
  PhysicsParameters physics;
  /// Received commands kept per motor; older ones are discarded.
  std::size_t log_capacity = 100000;
};

/// One frame a motor received, decoded.
struct ReceivedCommand {
  std::chrono::steady_clock::time_point time;  ///< when it arrived
  MotorCommand command;                        ///< kind and the five values, as on the wire
};

/// Whether an injected error code survives the motor's clear-error command.
enum class ErrorPersistence {
  kUntilSwitchedOff,  ///< reported until setMotorError(joint, 0)
  kUntilClearError,   ///< type 2 only: also reset by a clear-error frame (a latched fault)
};

class ArmModel;
class Lockstep;

/// Seven simulated motors attached to one bus, and the arm they drive.
///
/// Joints are numbered by index: 0-5 the arm joints from the base outwards, 6
/// the gripper. Their motors have the identifiers 1, 2, 4 (type 4) and 5, 6,
/// 7, 8 (type 2). Every frame addressed to a motor (its identifier, length 8)
/// is answered with one feedback frame in its protocol; other frames,
/// including the empty frame with identifier 0, are ignored.
///
/// What the motors do:
/// - Hybrid command: the motor's torque command k_p (p_ref - p) + k_d (v_ref -
///   v) + t_ff (in its own coordinates), limited to 30 (type 4) or 10 (type 2),
///   holds until the next command; an arm joint's motor delivers it divided by
///   0.8 (joints 1-3) or 1.32 (joints 4-6) as N·m at its joint, the gripper's
///   one to one (the arm's dynamics model, ArmDynamics, docs/simulator.md).
///   Type 4 motors act on every command; type 2
///   motors only while enabled, and ignore hybrid commands while disabled.
/// - Enable / disable (type 2): the motor starts from limp and acts on the
///   following commands / goes limp. Status 1 while enabled, 0 while disabled.
///   Type 2 motors start disabled.
/// - Set zero (type 2): the motor's present position becomes its zero; its
///   readings and position commands are relative to it from then on.
/// - Clear error (type 2): resets an error injected as kUntilClearError.
///
/// What the motors report: the position as a single-turn reading wrapped into
/// [-12.5, 12.5) rad, the velocity, a current equal to the torque command it
/// applies (in command units, so the current field's range equals the torque
/// command's range), error code 0 (type 4) or the status (type 2), and for type 4 a
/// temperature of 30 °C. Values are rounded to the nearest step of their field.
///
/// The joints move under gravity with the description's masses, each motor's
/// reflected rotor inertia, viscous friction (0.05 N·m·s/rad on joints 1-3
/// and the gripper, 0.02 on joints 4-6) and Coulomb friction (0.1 N·m on
/// joints 1-3, 0.05 on joints 4-6), within end stops 0.1 rad beyond the
/// controller's joint limits; the gripper's single stop is at -1.0 rad, or at
/// +1.0 rad for variant 2 (see PhysicsParameters, docs/simulator.md).
///
/// The physics runs on its own thread at 1 kHz (see ArmPhysics); a second
/// thread receives frames and sends the feedback. In a lockstep simulation
/// (Lockstep) the same motors and physics run without threads, stepped on
/// the simulation's clock. All public functions may be called from any
/// thread.
class SimulatedArm {
 public:
  /// Attaches to a bus and starts the simulation.
  /// @param endpoint "unix:/path" or "unix:@name" to join a local-socket bus
  ///        (a BusHub), or a SocketCAN interface name such as "can0"
  /// @param options start pose, variant, latency, noise and description
  /// @throw std::invalid_argument when an option is unusable (the message
  ///        names it); std::runtime_error when the bus cannot be joined
  explicit SimulatedArm(const std::string& endpoint, SimulatedArmOptions options = SimulatedArmOptions());
  /// Stops both threads and leaves the bus.
  ~SimulatedArm();
  SimulatedArm(const SimulatedArm&) = delete;
  SimulatedArm& operator=(const SimulatedArm&) = delete;

  /// The endpoint this arm was attached to.
  const std::string& endpoint() const;

  /// The CAN identifier of the motor of @p joint (1, 2, 4, 5, 6, 7, 8).
  /// @throw std::invalid_argument when @p joint is not 0-6
  static int motorId(int joint);
  /// The protocol of the motor of @p joint: type 4 for 0-2, type 2 for 3-6.
  /// @throw std::invalid_argument when @p joint is not 0-6
  static MotorProtocol protocolOf(int joint);

  // ---------------------------------------------------------- observation

  /// The true state of all seven joints (joint coordinates, no noise).
  std::array<JointState, kSimJoints> jointStates() const;
  /// The true state of one joint.
  /// @throw std::invalid_argument when @p joint is not 0-6
  JointState jointState(int joint) const;
  /// The joint torques (N·m at the joints) that hold the arm still at its
  /// present pose, from the simulated arm's masses and payload; the motors'
  /// torque commands for them are these times 0.8 (joints 1-3) and 1.32
  /// (joints 4-6).
  std::array<double, kSimArmJoints> gravityTorques() const;
  /// Whether the motor acts on hybrid commands (always true for type 4).
  /// @throw std::invalid_argument when @p joint is not 0-6
  bool motorEnabled(int joint) const;
  /// The joint position at which the motor reads 0 (changed by set zero).
  /// @throw std::invalid_argument when @p joint is not 0-6
  double motorZero(int joint) const;
  /// The end-stop position of the gripper.
  double gripperStop() const;
  /// The frames the motor of @p joint received and accepted, oldest first
  /// (at most log_capacity).
  /// @throw std::invalid_argument when @p joint is not 0-6
  std::vector<ReceivedCommand> receivedCommands(int joint) const;
  /// Forgets every motor's received commands.
  void clearReceivedCommands();
  /// Frames accepted by a motor since the start.
  std::uint64_t framesReceived() const;
  /// Feedback frames sent since the start.
  std::uint64_t framesSent() const;
  /// Feedback frames the arm's transmit queue refused because it was full
  /// (on a bit-timed bus; see BusHubOptions). The arm's socket holds the
  /// announced queue once per motor, as seven nodes would.
  std::uint64_t framesRefused() const;

  // ---------------------------------------------------------- outside forces

  /// A torque from outside the motor acts on @p joint from the next physics
  /// step on, as a hand pushing the link would: added to the motor's torque,
  /// not limited by it and not reported as its current; it acts whether the
  /// motor is enabled or not, until set to 0. For trying hand-guiding (the
  /// gravity-compensation state) without hardware.
  /// @param torque N·m in the joint's positive direction
  /// @throw std::invalid_argument when @p joint is not 0-6 or @p torque is not
  ///        finite
  void setExternalTorque(int joint, double torque);
  /// An obstacle in the way of @p joint: a spring of @p stiffness N·m/rad
  /// that pushes back once the joint passes @p position, on the side
  /// @p side gives (+1: it blocks motion in the positive direction, -1: in
  /// the negative one), as a table under a hand or a clamp would. Its
  /// torque acts like setExternalTorque()'s (added to it), computed at every
  /// physics step from the joint's position there. A stiffness of 0 removes it.
  /// @throw std::invalid_argument when @p joint is not 0-5, @p position or
  ///        @p stiffness is not finite, @p stiffness is negative, or @p side
  ///        is neither +1 nor -1
  void setObstacle(int joint, double position, double stiffness, int side);
  /// The torque (N·m) the obstacle of @p joint applied at the last physics
  /// step; 0 when it has none or is not touched.
  /// @throw std::invalid_argument when @p joint is not 0-5
  double obstacleTorque(int joint) const;

  // ---------------------------------------------------------- faults
  // Each fault takes effect with the next frame and lasts until switched off.

  /// The motor of @p joint goes on acting on commands but sends no feedback.
  /// @throw std::invalid_argument when @p joint is not 0-6
  void setMotorSilent(int joint, bool silent);
  /// The motor of @p joint reports @p code instead of its normal code; 0
  /// switches the fault off.
  /// @param code type 4 (joints 0-2): 1-31; type 2 (joints 3-6): 2-15
  /// @param persistence kUntilClearError is for type 2 motors only
  /// @throw std::invalid_argument when @p joint is not 0-6, the code does not
  ///        fit the motor's protocol, or a type 4 motor is asked for a latched
  ///        fault
  void setMotorError(int joint, int code, ErrorPersistence persistence = ErrorPersistence::kUntilSwitchedOff);
  /// The motor of @p joint reports @p current (in its current unit; clamped to
  /// the field's range on the wire) instead of its applied torque; no value
  /// switches the fault off.
  /// @throw std::invalid_argument when @p joint is not 0-6 or @p current is
  ///        not finite
  void setMotorCurrent(int joint, std::optional<double> current);
  /// The whole bus falls silent: no frame reaches the motors and none is sent.
  /// The motors keep their last commands meanwhile.
  void setBusSilent(bool silent);
  /// Each frame to or from the motors is lost with probability @p share.
  /// @throw std::invalid_argument when @p share is not within [0, 1]
  void setDropShare(double share);
  /// Switches every fault off.
  void clearFaults();

 private:
  friend class Lockstep;
  struct Stepped {};
  /// Without threads or a bus: the lockstep simulation steps model().
  SimulatedArm(SimulatedArmOptions options, Stepped);
  ArmModel& model();

  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace sim
}  // namespace kav
