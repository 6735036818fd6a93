#pragma once
/// @file Motion.h
/// Motions of the six arm joints as pure functions of time: the types they
/// share, the abstract Motion, and the simple motions (a hold, one motion
/// after another, a path sampled once per control cycle).
///
/// Every Motion is immutable once built: sample() allocates nothing, takes no
/// lock and may be called from the control thread and from host threads at
/// the same time.

#include <array>
#include <chrono>
#include <memory>
#include <vector>

#include "config/ArmConfig.h"

namespace kav {
namespace motion {

/// Number of arm joints a motion drives.
constexpr int kJoints = config::kArmJoints;
/// Time between two samples of a motion: one control cycle, in seconds.
constexpr double kSamplePeriod = std::chrono::duration<double>(config::kCyclePeriod).count();

/// Shortest segment of a joint trajectory, in seconds: a point closer in
/// time to the one before it (or to the start) is refused.
constexpr double kMinSegmentDuration = 1e-3;
/// Longest joint trajectory, in seconds: every sample period of a trajectory
/// is checked before it runs, and this bounds how long that takes.
constexpr double kMaxTrajectoryDuration = 3600.0;
/// Smallest speed_scale of a synchronised move: slower moves are refused.
constexpr double kMinSpeedScale = 1e-3;

/// One value per arm joint, joint 1 first.
using JointArray = std::array<double, kJoints>;

/// The set-point of the six joints at one instant.
struct JointSample {
  JointArray position{};      ///< rad
  JointArray velocity{};      ///< rad/s
  JointArray acceleration{};  ///< rad/s²
};

/// Per-joint limits a motion must keep.
struct MotionLimits {
  JointArray max_velocity;      ///< rad/s, each in (0, config::kMaxVelocity]
  JointArray max_acceleration;  ///< rad/s², each in (0, config::kMaxAcceleration]
  /// The ceilings: config::kMaxVelocity and config::kMaxAcceleration on every joint.
  static MotionLimits defaults();
};

/// One point of a joint trajectory.
struct TrajectoryPoint {
  std::vector<double> positions;      ///< six joint positions, rad
  std::vector<double> velocities;     ///< empty, or six joint velocities, rad/s
  std::vector<double> accelerations;  ///< empty, or six joint accelerations, rad/s² (with velocities only)
  double time_from_start = 0.0;       ///< seconds after the trajectory starts
};

/// A set-point of the six joints as a function of time since the motion began.
class Motion {
 public:
  virtual ~Motion() = default;
  /// Seconds until the motion comes to rest at its final point.
  virtual double duration() const = 0;
  /// The set-point @p t seconds after the start into @p out; from duration()
  /// on, the final point at rest. Control-thread safe: no allocation.
  /// @param t seconds since the start, at least 0
  /// @param out receives position, velocity and acceleration
  virtual void sample(double t, JointSample& out) const = 0;
  /// The point the motion ends and rests at.
  JointArray finalPosition() const;
};

/// Cycles after its start at which @p motion is at rest: duration() rounded
/// up to whole sample periods.
long restCycle(const Motion& motion);

/// Stays at one position.
class Hold : public Motion {
 public:
  /// Holds @p position.
  explicit Hold(const JointArray& position = JointArray{}) : position_(position) {}
  double duration() const override { return 0.0; }
  void sample(double t, JointSample& out) const override;
  /// Moves the held position; only while no other thread samples this hold.
  void reset(const JointArray& position) { position_ = position; }

 private:
  JointArray position_;
};

/// One motion, then another from the first one's final point. The second
/// starts at a whole number of sample periods, so that a sampled second
/// motion keeps its own sample times.
class Sequence : public Motion {
 public:
  /// @param first runs from time 0 and rests at its end until the second starts
  /// @param second starts restCycle(*first) sample periods after the start
  Sequence(std::unique_ptr<Motion> first, std::unique_ptr<Motion> second);
  double duration() const override;
  void sample(double t, JointSample& out) const override;

 private:
  std::unique_ptr<Motion> first_;
  std::unique_ptr<Motion> second_;
  double offset_;
};

/// A path given as one position and one velocity per sample period, from
/// time 0 to the last sample; the acceleration reported at a sample is the
/// change of velocity to the next sample per period. Sampled between two
/// sample times it gives the earlier sample.
class SampledPath : public Motion {
 public:
  /// @param positions one entry per sample period, at least one
  /// @param velocities the same number of entries; the last must be zero
  SampledPath(std::vector<JointArray> positions, std::vector<JointArray> velocities);
  double duration() const override;
  void sample(double t, JointSample& out) const override;
  /// The positions, one per sample period.
  const std::vector<JointArray>& positions() const { return positions_; }
  /// The velocities, one per sample period.
  const std::vector<JointArray>& velocities() const { return velocities_; }

 private:
  std::vector<JointArray> positions_;
  std::vector<JointArray> velocities_;
};

}  // namespace motion

namespace t8 {
/// One point of a joint trajectory for InterfacesThread::followJointTrajectory:
/// six positions (rad), velocities (rad/s) and accelerations (rad/s²) empty
/// or six values each, and its time in seconds after the trajectory starts.
using TrajectoryPoint = motion::TrajectoryPoint;
}  // namespace t8

}  // namespace kav
