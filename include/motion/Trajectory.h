#pragma once
/// @file Trajectory.h
/// Joint trajectories through given points, interpolated per joint with
/// polynomial segments:
/// - positions only: a cubic spline through the points, with the start
///   velocity at the first knot and zero velocity at the last point
///   (continuous acceleration);
/// - positions and velocities: a cubic Hermite segment between two points;
/// - positions, velocities and accelerations: a quintic segment.
/// The first knot is the start state at time 0; the points follow at their
/// time_from_start.

#include <functional>
#include <string>
#include <vector>

#include "motion/Motion.h"

namespace kav {
namespace motion {

/// Polynomial segments per joint, each of degree five at most, in the time
/// since the segment's start.
class PolynomialTrajectory : public Motion {
 public:
  /// Coefficients c0..c5 of one joint in one segment: c0 + c1 τ + ... + c5 τ⁵.
  using Coefficients = std::array<double, 6>;
  /// The coefficients of every joint in one segment.
  using Segment = std::array<Coefficients, kJoints>;

  /// @param knot_times segment boundaries, strictly increasing from 0; one
  ///        more than @p segments
  /// @param segments the polynomials of every joint, segment by segment
  /// @param end the final point (held from the last knot time on)
  PolynomialTrajectory(std::vector<double> knot_times, std::vector<Segment> segments, JointArray end);
  double duration() const override;
  void sample(double t, JointSample& out) const override;
  /// Index of the segment that contains @p t (the last one from its start on).
  std::size_t segmentAt(double t) const;

 private:
  std::vector<double> knot_times_;
  std::vector<Segment> segments_;
  JointArray end_;
};

/// Checks the points of a trajectory, independent of where it starts:
/// six finite positions within [@p lower, @p upper]; velocities and
/// accelerations empty or six finite values, the same kind on every point,
/// accelerations only with velocities, and zero at the last point (the arm
/// rests there); finite times, the first above 0, strictly increasing.
/// @param what the operation named at the start of the message
/// @throw std::invalid_argument naming the point and the joint
void checkTrajectoryPoints(const std::vector<TrajectoryPoint>& points, const JointArray& lower,
                           const JointArray& upper, const std::string& what);

/// The trajectory from @p start through @p points (which
/// checkTrajectoryPoints accepts), interpolated by the rule of this file.
/// Positions-only and Hermite trajectories start with @p start's position
/// and velocity, quintic ones also with its acceleration.
/// @param start the set-point at time 0
/// @param points checked points, at least one
/// @return the trajectory; its limits are not checked here (checkSampledMotion)
std::unique_ptr<PolynomialTrajectory> interpolateTrajectory(const JointSample& start,
                                                            const std::vector<TrajectoryPoint>& points);

/// Samples @p motion at every sample period from 0 to its rest and checks
/// what the control loop would command: positions within [@p lower,
/// @p upper] (widened to the start position where that lies outside), and
/// velocities, accelerations and the velocity change from one sample to the
/// next (per sample period) within @p limits (with a relative margin of
/// 1e-9 for rounding).
/// @param what the operation named at the start of the message
/// @param describe_time names the instant t for the message (for example
///        the points around it); by default "at t = ... s"
/// @throw std::invalid_argument naming the joint, the instant and the limit
void checkSampledMotion(const Motion& motion, const MotionLimits& limits, const JointArray& lower,
                        const JointArray& upper, const std::string& what,
                        const std::function<std::string(double)>& describe_time = nullptr);

}  // namespace motion
}  // namespace kav
