#pragma once
/// @file Lockstep.h
/// The arm and its simulation stepping together on one simulated clock:
/// deterministic, without threads, much faster than real time. For testing
/// host programs and the controller itself.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "canbase/CanBaseDef.h"
#include "interfaces/InterfacesPy.h"
#include "interfaces/InterfacesThread.h"
#include "sim/ArmPhysics.h"
#include "sim/SimulatedArm.h"

namespace kav {
namespace sim {

/// How a lockstep rig is set up.
struct LockstepOptions {
  /// Seed of every random draw of the simulation (dropped frames, and the
  /// measurement noise when it is on).
  std::uint64_t seed = 1;
  /// Arm variant of the controller and the simulated arm (2: the gripper is
  /// driven by position and its stop is at +1.0 rad).
  int variant = 0;
  /// Joint positions at start, radians, joints 1-6 then the gripper, at rest.
  std::array<double, kSimJoints> start_pose{};
  /// Bit rate of a timed classic CAN bus, 1000 to 1000000 bit/s, with
  /// arbitration and transmit queues of 10 frames per node; 0 carries every
  /// frame at once.
  std::uint32_t bitrate = 0;
  /// Time from a motor receiving a frame to sending its feedback, 0 to 1 s.
  std::chrono::microseconds reply_latency{0};
  /// Gaussian measurement noise on every reading (as SimulatedArmOptions).
  bool noise = false;
  /// Mechanical constants of the simulated arm. A model error for the
  /// controller: physics.mass_scale (link masses off), physics.friction
  /// (more friction than the controller models), and current_noise.
  PhysicsParameters physics;
  /// Further Gaussian noise on the reported currents, N·m (SimulatedArmOptions).
  double current_noise = 0.0;
  /// Whether frames() keeps every frame (about 4 MB per simulated minute);
  /// off for runs of hours.
  bool record_frames = true;
  /// Runs before the arm is brought up, to set the simulated arm up for
  /// the start-up (a fault, an outside torque).
  std::function<void(SimulatedArm&)> before_bring_up;
  /// Whether the rig's arm is the scripting facade (scripting()) instead of
  /// the native one (arm()).
  bool scripting = false;
};

/// One frame on the rig's bus.
struct BusRecord {
  double
      time;  ///< simulated seconds since the rig was constructed; on a timed bus, when its last bit was sent
  std::uint32_t id;                  ///< CAN identifier
  std::uint8_t dlc;                  ///< payload length, 0-8
  std::array<std::uint8_t, 8> data;  ///< payload (bytes beyond dlc are 0)
  bool from_host;                    ///< the controller's frame; false for the motors' and sendFrame()'s
};

/// A controller and a simulated arm on an in-memory bus, advanced together
/// on one simulated clock by the thread that uses the rig.
///
/// The rig creates no thread. Time moves only inside advance() and the
/// facade's blocking calls: the controller's cycles (every 5 ms), the
/// frames of each cycle at their 200 us slots, the motors' answers, the
/// physics (1 kHz) and, with a bit rate, the bus all happen in simulated
/// time order. The controller is the library's own (the same control loop
/// as on its real-time thread); only its clock, its transport and who runs
/// its cycles differ. Two rigs with the same options given the same calls
/// log the same frames at the same times.
///
/// Blocking calls of the facade advance simulated time: the constructor's
/// bring-up, waitMotion(), and the hand-over of a motion. The destructor
/// shuts the arm down in simulated time (damping hold, bus closed).
///
/// Not thread-safe: one thread uses a rig and its arm.
class Lockstep {
 public:
  /// Builds the simulation and brings the arm up in simulated time.
  /// @param urdf_path the controller's robot description
  /// @throw std::invalid_argument for options out of their ranges;
  ///        std::runtime_error as InterfacesThread's constructor
  explicit Lockstep(const std::string& urdf_path, LockstepOptions options = LockstepOptions());
  ~Lockstep();
  Lockstep(const Lockstep&) = delete;
  Lockstep& operator=(const Lockstep&) = delete;

  /// The arm's facade, driven by the simulated clock.
  /// @throw std::logic_error after shutDown(), or when the rig holds the
  ///        scripting facade
  t8::InterfacesThread& arm();
  /// The arm's scripting facade, on a rig set up with options.scripting.
  /// @throw std::logic_error after shutDown(), or when the rig holds the
  ///        native facade
  t8::InterfacesPy& scripting();
  /// Runs the simulation for @p seconds of simulated time. A control cycle
  /// that starts within them runs to its end, so a cycle that ends control
  /// (it pauses 100 ms after damping) may take the clock beyond them.
  /// @throw std::invalid_argument when @p seconds is negative or not finite
  void advance(double seconds);
  /// Simulated seconds since construction.
  double now() const;
  /// Every frame on the bus so far, in order.
  const std::vector<BusRecord>& frames() const;
  /// The simulated arm: its true joint states, fault injection, outside
  /// torques, the commands its motors received.
  SimulatedArm& simulatedArm();
  /// A third member of the bus sends @p frame now (another host, a stray
  /// frame): the controller and the motors receive it.
  void sendFrame(const hw_interface::CanFrame& frame);
  /// Shuts the arm down now, in simulated time, as the destructor would (the
  /// control cycles end, the damping hold, the bus closed); frames() and
  /// simulatedArm() stay readable, arm() must not be used afterwards.
  void shutDown();
  /// Frames the controller's transport could not send because its
  /// transmit queue was full (timed bus only).
  std::uint64_t framesRefusedByBus() const;

 private:
  static ArmModel& modelOf(SimulatedArm& arm);
  static std::unique_ptr<SimulatedArm> steppedArm(const SimulatedArmOptions& options);

  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace sim
}  // namespace kav
