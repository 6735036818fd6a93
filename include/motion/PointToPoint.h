#pragma once
/// @file PointToPoint.h
/// Rest-to-rest moves of all six joints that start and arrive together, and
/// the stop of a moving set-point.
///
/// Each joint's own time-optimal profile is the trapezoidal velocity profile
/// with the joint's velocity and acceleration limits: accelerate at the
/// limit, cruise at the speed limit (when the distance allows reaching it),
/// decelerate at the limit. No profile whose velocity and acceleration stay
/// within those limits covers the distance sooner. The synchronised move
/// lasts as long as the slowest joint's profile; every other joint's profile
/// is stretched in time to that duration, which scales its velocity by the
/// ratio of the durations and its acceleration by the square of it, so every
/// joint stays within its limits, the velocity is continuous and the
/// acceleration bounded.

#include "motion/Motion.h"

namespace kav {
namespace motion {

/// Shortest time in which a joint moves @p distance from rest to rest with
/// speed at most @p max_velocity and acceleration at most
/// @p max_acceleration: d/v + v/a when the joint reaches v (d ≥ v²/a),
/// otherwise 2 √(d/a).
/// @param distance |target - start|, rad
double timeOptimalDuration(double distance, double max_velocity, double max_acceleration);

/// The synchronised move from @p start to @p target at rest.
class SynchronizedMove : public Motion {
 public:
  /// @param start positions at rest at time 0
  /// @param target positions at rest at the end
  /// @param limits each joint's velocity and acceleration limits
  /// @param speed_scale in [kMinSpeedScale, 1]: runs the time-optimal move
  ///        that many times as fast (velocities × s, accelerations × s²,
  ///        duration ÷ s)
  /// @throw std::invalid_argument for a speed_scale outside that range
  SynchronizedMove(const JointArray& start, const JointArray& target, const MotionLimits& limits,
                   double speed_scale);
  double duration() const override { return duration_; }
  void sample(double t, JointSample& out) const override;

 private:
  struct Profile {
    double sign = 0.0;    // direction of the move
    double accel = 0.0;   // acceleration of the stretched profile
    double cruise = 0.0;  // peak speed of the stretched profile
    double ramp = 0.0;    // duration of each of the two ramps
  };
  JointArray start_;
  JointArray target_;
  std::array<Profile, kJoints> profiles_;
  double duration_ = 0.0;
};

/// Brings a moving set-point to rest: every joint decelerates uniformly and
/// all arrive at rest together, after max |v_j| / a_j (a_j its acceleration
/// limit), so the set-point keeps its direction of travel in joint space.
class StopProfile : public Motion {
 public:
  /// @param start position and velocity to stop from (its acceleration is not used)
  StopProfile(const JointSample& start, const MotionLimits& limits);
  double duration() const override { return duration_; }
  void sample(double t, JointSample& out) const override;

 private:
  JointSample start_;
  JointArray deceleration_{};
  double duration_ = 0.0;
};

/// True when every joint of @p sample is at rest (velocity exactly 0).
bool atRest(const JointSample& sample);

}  // namespace motion
}  // namespace kav
