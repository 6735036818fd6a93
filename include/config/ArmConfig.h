#pragma once
/// @file ArmConfig.h
/// The arm's constants in one place: motors and their protocols, joint
/// limits, the gains of every state, interpolation ceilings, the end-effector
/// box, the current limit, silence limits and the timing of the control
/// cycle. The controller, the inverse-kinematics worker, the simulated arm,
/// the programs and the tests read them from here.
///
/// Joint indices: 0-5 the arm joints from the base outwards, 6 the gripper.
/// Keep the literals as written: several are not derived from pi on purpose
/// (3.14, 2.618), and frames on the wire depend on their exact values.

#include <array>
#include <chrono>
#include <cstdint>

namespace kav {
namespace config {

/// Arm joints in the kinematic chain.
constexpr int kArmJoints = 6;
/// Motors on the bus: the six arm joints and the gripper.
constexpr int kMotors = 7;
/// Index of the gripper.
constexpr int kGripper = 6;

/// The two motor families on the arm's bus.
enum class MotorProtocol {
  kType4,  ///< joints 1-3: feedback on the motor's own identifier, 5-bit error code
  kType2,  ///< joints 4-6 and the gripper: feedback on identifier 0, 4-bit status
};

/// CAN identifier of each joint's motor.
constexpr std::array<int, kMotors> kMotorIds{1, 2, 4, 5, 6, 7, 8};
/// Protocol of each joint's motor.
constexpr std::array<MotorProtocol, kMotors> kMotorProtocols{
    MotorProtocol::kType4, MotorProtocol::kType4, MotorProtocol::kType4, MotorProtocol::kType2,
    MotorProtocol::kType2, MotorProtocol::kType2, MotorProtocol::kType2};

///@{
/// 85 and 100 degrees in radians.
constexpr double kDeg85 = 1.4835298641951802;
constexpr double kDeg100 = 1.7453292519943295;
///@}

///@{
/// Joint limits in radians; targets are clamped to them. The gripper's range
/// is relative to its zero.
constexpr std::array<double, kMotors> kJointLower{-3.14, -0.1, -0.1, -1.29, -kDeg85, -kDeg100, 0.0};
constexpr std::array<double, kMotors> kJointUpper{2.618, 3.6, 3.0, 1.29, kDeg85, kDeg100, 5.0};
///@}

/// Stiffness and damping of the six arm motors in one state.
struct JointGains {
  std::array<double, kArmJoints> k_p;  ///< stiffness of joints 1-6
  std::array<double, kArmJoints> k_d;  ///< damping of joints 1-6
};
/// GO_HOME and the homing of the start-up.
constexpr JointGains kGoHomeGains{{150, 150, 150, 50, 25, 10}, {1.0, 1.0, 1.0, 0.8, 0.8, 1.0}};
/// POSITION_CONTROL.
constexpr JointGains kPositionGains{{150, 150, 150, 50, 25, 10}, {1.0, 1.0, 1.0, 0.8, 0.8, 1.0}};
/// END_CONTROL: joint 4 is stiffer than in POSITION_CONTROL.
constexpr JointGains kEndControlGains{{150, 150, 150, 70, 25, 10}, {1.0, 1.0, 1.0, 0.8, 0.8, 1.0}};
/// PROTECT and every damping hold: k_p 0, this k_d.
constexpr std::array<double, kArmJoints> kDampingKd{1.0, 4.0, 4.0, 1.0, 1.0, 1.0};
///@{
/// Joints 1-3 get a correction torque in the position laws:
/// kCorrectionKp (target - measured position) - kCorrectionKd measured velocity.
constexpr int kCorrectedJoints = 3;
constexpr double kCorrectionKp = 1.5;
constexpr double kCorrectionKd = 0.6;
///@}
/// Joints 1 and 2 get no gravity feed-forward while going home.
constexpr int kHomingJointsWithoutGravity = 2;

///@{
/// Interpolation of POSITION_CONTROL and END_CONTROL: ceilings and defaults
/// of the acceleration (rad/s²) and speed (rad/s) limits.
constexpr double kMaxAcceleration = 0.5;
constexpr double kMaxVelocity = 2.0;
///@}
///@{
/// Straight lines of the end effector (moveLinear): the peak acceleration
/// along the line (m/s²), and the turning rate (rad/s) and its peak
/// acceleration (rad/s²) of the orientation.
constexpr double kLineAcceleration = 0.05;
constexpr double kLineAngularSpeed = 0.5;
constexpr double kLineAngularAcceleration = 0.25;
///@}
///@{
/// Interpolation limits of GO_HOME and the start-up homing.
constexpr double kHomingAcceleration = 0.08;
constexpr double kHomingVelocity = 0.2;
///@}

///@{
/// A joint is home within this distance of its home position (rad) and
/// below this speed (rad/s).
constexpr double kHomePositionTolerance = 0.08;
constexpr double kHomeVelocityTolerance = 0.1;
///@}
///@{
/// Homing lasts at least this long, and fails after this long.
constexpr std::chrono::milliseconds kHomingMinimum{3550};
constexpr std::chrono::seconds kHomingLimit{30};
///@}

/// The arm's bus: classic CAN at this bit rate (bit/s).
constexpr std::uint32_t kCanBitrate = 1000000;

///@{
/// The control cycle: 200 Hz, frames of one cycle at least 200 us apart.
constexpr double kControlFrequency = 200.0;
constexpr std::chrono::microseconds kCyclePeriod{5000};
constexpr std::chrono::microseconds kFrameSpacing{200};
///@}
///@{
/// Start-up rounds: clear errors, enable, then damping cycles.
constexpr int kClearErrorRounds = 3;
constexpr int kEnableRounds = 3;
constexpr int kStartupDampingCycles = 100;
///@}
/// The start-up listens this long for another host's commands before sending.
constexpr std::chrono::milliseconds kListenBeforeSending{100};
/// Damping rounds, one per period, when the arm is shut down (also after a
/// homing that failed).
constexpr int kShutdownDampingRounds = 100;
/// After a fault that ends control the arm is sent damping and left this
/// long before control ends.
constexpr std::chrono::milliseconds kFaultPause{100};

///@{
/// Gripper: the end-stop search of the start-up (k_d and velocity; variant 2
/// searches the other way), the k_d of the frame that ends it, and the laws.
constexpr double kGripperSearchKd = 0.2;
constexpr double kGripperSearchVelocity = -5.0;
constexpr double kGripperSearchVelocityVariant2 = 2.0;
constexpr double kGripperSettleKd = 2.0;
///@}
///@{
/// Torque-driven gripper (every variant but 2): torque =
/// kGripperPositionGain (zero + target - kGripperOffset - measured), or the
/// host's torque, limited to +-kGripperTorqueLimit, with k_d kGripperSearchKd.
constexpr double kGripperPositionGain = 8.0;
constexpr double kGripperOffset = 0.1;
constexpr double kGripperTorqueLimit = 2.0;
///@}
///@{
/// Variant 2 drives the gripper by position: these gains, targets clamped.
constexpr double kGripperVariant2Kp = 2.0;
constexpr double kGripperVariant2Kd = 0.1;
constexpr double kGripperVariant2Lower = -3.4;
constexpr double kGripperVariant2Upper = 0.1;
///@}

/// The range the gripper's position target (setCatch) is clamped to, lower
/// bound first: [kGripperVariant2Lower, kGripperVariant2Upper] for variant
/// 2, the gripper's joint limits (relative to its zero) for the
/// torque-driven variants.
/// @param variant the arm variant (the controller's type)
constexpr std::array<double, 2> gripperTargetRange(int variant) {
  return variant == 2 ? std::array<double, 2>{kGripperVariant2Lower, kGripperVariant2Upper}
                      : std::array<double, 2>{kJointLower[kGripper], kJointUpper[kGripper]};
}

///@{
/// End-effector targets are clamped to this box: x, y, z (m), roll, pitch,
/// yaw (rad), relative to the zero configuration's end-effector position.
constexpr std::array<double, 6> kEndEffectorLower{0.0, -0.53, -0.53, -kDeg100, -kDeg85, -kDeg85};
constexpr std::array<double, 6> kEndEffectorUpper{0.53, 0.53, 0.53, kDeg100, kDeg85, kDeg85};
///@}

///@{
/// Over-current: an arm joint whose current stays above kCurrentLimit (the
/// motors' units) for kCurrentTripChecks consecutive cycles ends control.
constexpr double kCurrentLimit = 13.0;
constexpr int kCurrentTripChecks = 200;
///@}

///@{
/// The arm's drives, as the one dynamics model (solver/ArmDynamics.h,
/// docs/simulator.md) has them. A motor given a torque command c (its
/// feed-forward plus the torque of its gains, in the command's units)
/// delivers c / kTorqueCommandPerNewtonMetre N·m at its joint, and reports
/// its current in the same command units. So the gravity feed-forward is the
/// model's gravity torque times these factors (0.8 on joints 1-3, 1.32 on
/// joints 4-6), and a current becomes a joint torque divided by them.
constexpr std::array<double, kArmJoints> kTorqueCommandPerNewtonMetre{0.8, 0.8, 0.8, 1.32, 1.32, 1.32};
/// Joint torque per unit of the current each arm motor reports, N·m: the
/// inverse of kTorqueCommandPerNewtonMetre (the observer's conversion).
constexpr std::array<double, kArmJoints> kMotorTorqueConstant{
    1.0 / kTorqueCommandPerNewtonMetre[0], 1.0 / kTorqueCommandPerNewtonMetre[1],
    1.0 / kTorqueCommandPerNewtonMetre[2], 1.0 / kTorqueCommandPerNewtonMetre[3],
    1.0 / kTorqueCommandPerNewtonMetre[4], 1.0 / kTorqueCommandPerNewtonMetre[5]};
///@}
///@{
/// Each arm joint's drive, at the joint: reflected rotor inertia (kg·m²),
/// added to the robot description's rigid-body model; viscous friction
/// (N·m·s/rad); Coulomb friction (N·m), smoothed as
/// kCoulombFriction tanh(velocity / kCoulombVelocity) so that it has no jump
/// at rest (kCoulombVelocity rad/s).
constexpr std::array<double, kArmJoints> kRotorInertia{0.01, 0.01, 0.01, 0.002, 0.002, 0.002};
constexpr std::array<double, kArmJoints> kViscousFriction{0.05, 0.05, 0.05, 0.02, 0.02, 0.02};
constexpr std::array<double, kArmJoints> kCoulombFriction{0.1, 0.1, 0.1, 0.05, 0.05, 0.05};
constexpr double kCoulombVelocity = 0.005;
///@}
/// Observer gain K_O per joint (1/s): the residual follows a step of
/// external torque as a first-order lag with time constant 1/K_O (per 5 ms
/// cycle it closes 1 - exp(-K_O x 5 ms) of the gap, 50 % at 140/s).
constexpr std::array<double, kArmJoints> kObserverGain{140.0, 140.0, 140.0, 140.0, 140.0, 140.0};
/// The observer integrates over the measured time between two cycles'
/// feedback; a longer gap than this (s) restarts it.
constexpr double kObserverLongestStep = 0.05;
/// A step whose length differs from the cycle period by more than this
/// share of it (a late cycle and the early one after it, a stalled host)
/// carries no evidence: the motors' replies need not have been sampled at
/// the cycle's times, so the change of momentum over it is not taken and
/// the residual is held.
constexpr double kObserverStepTolerance = 0.5;
/// A motor samples its reading when a command reaches it, so the time from
/// sending a command to receiving its reply bounds when the reading was
/// sampled. A steady time (about 0.3 ms on an idle 1 Mbit/s bus, more
/// through an adapter) shifts every sample alike; one that changed by more
/// than this since the last cycle (a reply held up on the way) leaves the
/// step's length unknown, and the step carries no evidence either.
constexpr std::chrono::microseconds kObserverSampleJitter{500};
///@{
/// Collision thresholds per joint, N·m, changeable at run time: above the
/// lower one the contact flag is set, above the upper one for one cycle the
/// reflex fires (docs/safety.md says how they were chosen).
constexpr std::array<double, kArmJoints> kContactThreshold{3.5, 3.5, 3.5, 1.2, 1.2, 0.75};
constexpr std::array<double, kArmJoints> kCollisionThreshold{7.0, 7.0, 7.0, 2.4, 2.4, 1.5};
///@}
///@{
/// A state change (a new law: set-points pulled toward new targets with new
/// gains) shakes the arm for a few cycles more than the observer's sampled
/// motor torques follow: for this many cycles after one, and after the start
/// of the cycles, the reflex needs this multiple of the upper thresholds.
constexpr int kReflexSettleCycles = 20;
constexpr double kReflexSettleScale = 2.0;
/// A joint farther than this (rad) beyond its limits rests on its end stop:
/// neither contact nor a reflex is taken from its external torque.
constexpr double kEndStopMargin = 0.02;
///@}
///@{
/// A payload is refused above this mass (kg) or with its centre of mass
/// farther than this from the flange (m).
constexpr double kMaxPayloadMass = 5.0;
constexpr double kMaxPayloadDistance = 1.0;
///@}
/// recover(): rounds of the compliant hold (one per period) in which every
/// arm motor must answer (in at least half of them) without a fault before
/// control resumes.
constexpr int kRecoveryCheckRounds = 30;

///@{
/// A motor silent for longer than its limit is offline for good: type 4
/// 100 ms; type 2 800 ms, or 200 ms for identifiers up to 4.
constexpr std::chrono::milliseconds kType4SilenceLimit{100};
constexpr std::chrono::milliseconds kType2SilenceLimit{800};
constexpr std::chrono::milliseconds kType2ShortSilenceLimit{200};
constexpr int kType2ShortSilenceLargestId = 4;
///@}

///@{
/// Thread priorities. Real-time ones are SCHED_FIFO, asked for best effort
/// (without the privilege a thread runs at normal priority): the control
/// thread first, the bus receive thread just below it, then the simulated
/// arm's threads and the bus hub, so that a simulation on the same machine
/// keeps answering without holding the controller off.
constexpr int kControlThreadPriority = 80;
constexpr int kReceiveThreadPriority = 79;
///@}
///@{
/// The simulated motors' bus thread, the bus hub's forwarding thread (its
/// default) and the tests' stall witness.
constexpr int kSimulatorBusPriority = 78;
constexpr int kSimulatorPhysicsPriority = 77;
///@}
/// The inverse-kinematics worker runs at normal priority with this
/// niceness: every other thread matters more than how soon a search ends.
constexpr int kIkWorkerNice = 19;

/// Driver codes above this are reported to hosts as this (15 means offline).
constexpr int kLargestReportedFault = 14;

}  // namespace config
}  // namespace kav
