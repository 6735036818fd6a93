#pragma once
/// @file CartesianLine.h
/// Straight lines of the end effector: the position moves along the segment
/// between two poses and the orientation turns by spherical linear
/// interpolation, both with one path parameter s from 0 to 1. The joint
/// set-points of every control cycle are solved by inverse kinematics from
/// the previous cycle's solution and checked before anything moves.

#include <Eigen/Geometry>

#include "motion/Motion.h"
#include "solver/kinematic_dynamic_solver.h"

namespace kav {
namespace motion {

/// Slowest speed of a straight line, m/s: slower lines are refused. A line
/// has no speed ceiling of its own (the joints' velocity limits bound it),
/// so the floor is absolute: a thousandth of 0.1 m/s.
constexpr double kMinLineSpeed = 1e-4;
/// Longest straight line, in seconds from rest to rest: every sample period
/// of a line is solved and stored before it moves (two joint arrays, 96
/// bytes, per sample), and this bounds that to 24 000 samples, 2.3 MB.
constexpr double kMaxLineDuration = 120.0;

/// The time scaling s(t) of a line: the path rate rises from 0 to its
/// cruise value over a ramp whose acceleration goes smoothly up and down
/// (rate ∝ 3x² − 2x³), cruises, and falls back the same way, so the end
/// effector starts and stops smoothly.
///
/// The cruise rate keeps the speed along the line at most @p speed and the
/// turning rate at most config::kLineAngularSpeed; the peak path
/// acceleration keeps config::kLineAcceleration and
/// config::kLineAngularAcceleration. A line too short to reach the cruise
/// rate ramps up and straight down again.
class LineTiming {
 public:
  /// @param length distance between the two positions, m
  /// @param angle rotation between the two orientations, rad
  /// @param speed Cartesian speed, m/s, above 0
  LineTiming(double length, double angle, double speed);
  /// Seconds from rest to rest; 0 for a line of no length and no angle.
  double duration() const { return duration_; }
  /// The path parameter at @p t seconds, 0 before the start, 1 from duration() on.
  double at(double t) const;
  /// The path rate ds/dt at @p t.
  double rate(double t) const;

 private:
  double cruise_rate_ = 0.0;  // 1/s
  double ramp_ = 0.0;         // s
  double duration_ = 0.0;
};

/// Pose on the line from @p from to @p to at path parameter @p s: position
/// interpolated linearly, orientation by slerp.
Eigen::Isometry3d poseOnLine(const Eigen::Isometry3d& from, const Eigen::Isometry3d& to, double s);

/// Plans the straight line from the pose of @p start (forward kinematics,
/// at rest) to @p goal at @p speed: every sample period's pose is solved
/// from the previous sample's joints, and the resulting joint path is
/// checked: the arm's reach, a solution at every sample, joint limits,
/// velocity limits and the change of velocity per sample period
/// (acceleration limits). The velocities commanded are the central
/// differences of the solved positions.
/// @param solver the chain solver to use (not shared with another thread)
/// @param goal pose in the coordinates of forward kinematics
/// @param speed Cartesian speed in m/s, finite and at least kMinLineSpeed
/// @throw std::invalid_argument for a goal that is not a finite rigid
///        transform or a bad speed, for a line that would last longer than
///        kMaxLineDuration (refused before anything is solved), and for a
///        line that cannot be followed, saying at which fraction of the line
///        and why
std::unique_ptr<SampledPath> planLine(KinematicDynamicSolver& solver, const JointArray& start,
                                      const Eigen::Isometry3d& goal, double speed,
                                      const MotionLimits& limits);

}  // namespace motion
}  // namespace kav
