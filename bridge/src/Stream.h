#pragma once
// Joint trajectories as servo nodes stream them (one point a message, at the
// publish period, or a short rolling window), turned into trajectories the
// arm follows without stopping between messages.

#include <array>
#include <functional>
#include <vector>

#include "motion/Motion.h"

namespace kav {
namespace bridge {

/// Follows a stream of joint trajectories. A trajectory the arm follows must
/// end at rest, and a point one publish period ahead cannot be reached on
/// time within the interpolation's acceleration ceiling once the hand-over
/// lands a cycle early or late. So each message becomes: from wherever the
/// arm is, onto the stream's own course predicted a horizon ahead (its
/// velocity and acceleration estimated from the last points where the
/// message gives none), then a stop at 90 % of the acceleration ceiling.
/// The next message replaces that plan before the stop begins, so while
/// messages keep coming the arm moves on the stream's course; when they
/// stop, it runs on for the horizon and comes to rest.
class JointStream {
 public:
  /// Seconds ahead of a message's last point at which the plan joins the
  /// predicted course: long enough that a hand-over a cycle early or late
  /// needs little acceleration to correct, short enough to overrun little.
  static constexpr double kHorizon = 0.2;

  /// Longest horizon tried: a plan the ceilings refuse at one horizon is
  /// tried again at twice it (an arm at rest joining a moving stream needs
  /// time to catch up), up to this.
  static constexpr double kLongestHorizon = 1.6;

  /// Starts what the arm is to follow for one message through @p start
  /// (the arm's followJointTrajectory), at the shortest horizon whose plan
  /// @p start accepts.
  /// @param points the message's points in joint order (six finite positions,
  ///        velocities and accelerations empty or six each), times from its stamp
  /// @param stamp_s the message's header stamp in seconds on the wall clock, 0 for "now"
  /// @param now_s the wall clock now, in seconds
  /// @param start starts points with times from now, ending at rest; throws
  ///        std::invalid_argument for a plan beyond the limits
  /// @throw std::invalid_argument when every point of a stamped message lies
  ///        in the past, or what @p start threw at the longest horizon
  void follow(std::vector<motion::TrajectoryPoint> points, double stamp_s, double now_s,
              const std::function<void(const std::vector<motion::TrajectoryPoint>&)>& start);

  /// The points for one horizon: @p points (times from now) up to the last,
  /// then, instead of the last, the predicted course @p horizon past it and
  /// a stop; a course at rest ends at the last point, @p horizon later than
  /// it asked.
  /// @param velocity, acceleration the course at the last point
  static std::vector<motion::TrajectoryPoint> plan(std::vector<motion::TrajectoryPoint> points,
                                                   const motion::JointArray& velocity,
                                                   const motion::JointArray& acceleration, double horizon);

  /// Forgets the stream (the next message starts from rest): after another
  /// kind of command took the arm over.
  void reset() { history_.clear(); }

 private:
  std::vector<motion::JointArray> history_;  // the stream's last single points, oldest first (at most 3)
  double last_arrival_ = 0.0;
  double period_ = 0.0;  // the stream's publish period, smoothed
};

}  // namespace bridge
}  // namespace kav
