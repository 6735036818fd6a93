#pragma once
// The simulated arm without threads or sockets: seven motors answering
// frames, and the physics they drive. SimulatedArm runs it on its own
// threads on a bus; the lockstep rig steps it on a simulated clock.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>

#include "canbase/CanBaseDef.h"
#include "sim/ArmPhysics.h"
#include "sim/SimulatedArm.h"

namespace kav {
namespace sim {

/// The motors and the physics of one simulated arm. Every function may be
/// called from any thread; the model holds one lock for its state.
class ArmModel {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  /// Interval of one physics step.
  static constexpr std::chrono::milliseconds kStep{1};

  /// @throw std::invalid_argument when an option is unusable
  explicit ArmModel(SimulatedArmOptions options);

  const SimulatedArmOptions& options() const { return options_; }

  /// Hands a received frame to its motor, logged at @p now.
  /// @return the joint whose motor answers it, or -1 when no motor takes it
  int accept(const hw_interface::CanFrame& frame, time_point now);
  /// The feedback frame the motor of @p joint sends now; none while it (or
  /// the bus) is silent, or when the frame is dropped.
  /// Its readings are those of @p now: the last physics step's state carried
  /// on along its acceleration for the time since that step (at most a
  /// step), as a motor that samples its encoder when it answers reports.
  std::optional<hw_interface::CanFrame> feedbackFrame(int joint, time_point now);
  /// Advances the physics by one step under the motors' present commands;
  /// the new state is the one of time @p at.
  void stepPhysics(time_point at);
  /// Steps the physics until its state is less than a step older than
  /// @p now. On real threads both the physics timer and the bus thread call
  /// it before they act, so the arm keeps pace with the clock however late
  /// the timer's thread gets the processor: a real arm does not pause while
  /// the host is busy, and readings of a paused one would tell the observer
  /// of torques that are not there. A lag of more than kLongestLag (a
  /// stopped process) is passed over with the arm as it was.
  void catchUp(time_point now);
  static constexpr std::chrono::milliseconds kLongestLag{50};

  // What SimulatedArm offers (see there).
  std::array<JointState, kSimJoints> jointStates() const;
  std::array<double, kSimArmJoints> gravityTorques() const;
  bool motorEnabled(int joint) const;
  double motorZero(int joint) const;
  double gripperStop() const;
  std::vector<ReceivedCommand> receivedCommands(int joint) const;
  void clearReceivedCommands();
  void setExternalTorque(int joint, double torque);
  void setObstacle(int joint, double position, double stiffness, int side);
  double obstacleTorque(int joint) const;
  void setMotorSilent(int joint, bool silent);
  void setMotorError(int joint, int code, ErrorPersistence persistence);
  void setMotorCurrent(int joint, std::optional<double> current);
  void setBusSilent(bool silent);
  void setDropShare(double share);
  void clearFaults();

  std::uint64_t framesReceived() const { return frames_received_.load(); }
  /// Feedback frames sent, and refused by a full transmit queue.
  std::uint64_t framesSent() const { return frames_sent_.load(); }
  std::uint64_t framesRefused() const { return frames_refused_.load(); }
  void countSent() { frames_sent_.fetch_add(1); }
  void countRefused() { frames_refused_.fetch_add(1); }

 private:
  struct Motor {
    MotorProtocol protocol = MotorProtocol::kType4;
    bool enabled = false;
    double zero = 0.0;
    MotorCommand command;  // the one acted on, in the motor's coordinates
    bool silent = false;
    int error = 0;
    ErrorPersistence persistence = ErrorPersistence::kUntilSwitchedOff;
    std::optional<double> current;
    double external = 0.0;  // torque from outside the motor, N·m
    // A spring obstacle: stiffness N·m/rad beyond position on side (+1, -1).
    double obstacle_position = 0.0;
    double obstacle_stiffness = 0.0;
    int obstacle_side = 1;
    double obstacle_torque = 0.0;  // at the last physics step
    std::deque<ReceivedCommand> log;
  };

  static JointDrive driveOf(Motor& motor, const JointState& state);
  bool dropped();
  double noise(double sigma);
  double currentNoise(int joint);

  const SimulatedArmOptions options_;
  ArmPhysics physics_;     // stepped by stepPhysics() only; see gravity_mutex_
  std::mutex step_mutex_;  // one thread steps at a time (catchUp())

  mutable std::mutex mutex_;  // everything below
  std::array<Motor, kSimJoints> motors_;
  std::array<JointState, kSimJoints> state_;
  std::array<double, kSimJoints> acceleration_{};  // over the last physics step, rad/s²
  time_point state_time_{};                        // the time state_ is of
  bool bus_silent_ = false;
  double drop_share_ = 0.0;
  std::mt19937_64 drop_rng_;
  std::mt19937_64 noise_rng_;

  // ArmPhysics::gravityTorques may run beside step() but not beside itself.
  mutable std::mutex gravity_mutex_;
  std::atomic<std::uint64_t> frames_received_{0};
  std::atomic<std::uint64_t> frames_sent_{0};
  std::atomic<std::uint64_t> frames_refused_{0};
};

}  // namespace sim
}  // namespace kav
