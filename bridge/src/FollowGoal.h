#pragma once
// The FollowJointTrajectory goal: its checks before anything moves, and the
// tracking of a running goal against the measured joints (desired, actual and
// error for the feedback; path and goal tolerances; the goal time tolerance).

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "control_msgs.h"
#include "motion/Motion.h"
#include "motion/Trajectory.h"

namespace kav {
namespace bridge {

/// control_msgs/action/FollowJointTrajectory result codes.
enum FollowErrorCode : std::int32_t {
  kSuccessful = 0,
  kInvalidGoal = -1,
  kInvalidJoints = -2,
  kOldHeaderTimestamp = -3,
  kPathToleranceViolated = -4,
  kGoalToleranceViolated = -5,
};

/// A goal that cannot run: its result code and why.
class GoalRefused : public std::invalid_argument {
 public:
  GoalRefused(std::int32_t code, const std::string& what) : std::invalid_argument(what), code(code) {}
  std::int32_t code;
};

/// A point given at time 0 must lie this close to the measured joints [rad].
constexpr double kStartTolerance = 0.05;
/// Goal position tolerance of a joint the goal gives none for [rad].
constexpr double kDefaultGoalTolerance = 0.02;
/// How long after the trajectory's end the joints may take to come within
/// the goal tolerance when the goal gives no goal time tolerance [s].
constexpr double kDefaultGoalTime = 1.0;

/// A last point's velocity this small counts as rest [rad/s].
constexpr double kRestVelocity = 1e-6;

/// A checked goal, in joint order (joint1..joint6).
struct FollowPlan {
  std::vector<motion::TrajectoryPoint> points;  ///< every point after time 0
  motion::JointArray path_position{};           ///< 0: not checked
  motion::JointArray path_velocity{};           ///< 0: not checked
  motion::JointArray goal_position{};           ///< always above 0
  motion::JointArray goal_velocity{};           ///< 0: not checked
  double goal_time = kDefaultGoalTime;          ///< seconds after the end
  double duration = 0.0;                        ///< time of the last point
};

/// Checks @p goal as a whole against the measured joints @p measured and the
/// time @p now_s (real-time clock, seconds): joint names a permutation of
/// joint1..joint6 (INVALID_JOINTS), no multi-DOF part or component
/// tolerances, tolerance names known, points with six finite positions and
/// no or six velocities and accelerations, a point at time 0 within
/// kStartTolerance of @p measured, at least one point after time 0 (all
/// INVALID_GOAL); a header stamp such that the trajectory ended before
/// @p now_s gives OLD_HEADER_TIMESTAMP. Limits and times are the library's
/// checks when the trajectory starts. The last point's velocities up to
/// kRestVelocity become 0; when its accelerations are not all 0 the
/// accelerations of every point are left out (positions and velocities:
/// cubic Hermite segments), as planners end their profiles that way.
/// @throw GoalRefused with the code and the reason
FollowPlan checkFollowGoal(const control_msgs_action_dds__FollowJointTrajectory_Goal_& goal,
                           const motion::JointArray& measured, double now_s);

/// A running goal.
class FollowTracker {
 public:
  enum class State { kRunning, kSucceeded, kPathViolated, kGoalViolated };

  /// @param start the measured joints (position, velocity) when the goal began
  FollowTracker(FollowPlan plan, const motion::JointSample& start);

  /// The desired set-point @p elapsed seconds after the start.
  motion::JointSample desired(double elapsed) const;
  /// Judges the measured @p position and @p velocity @p elapsed seconds
  /// after the start; @p why is set when the goal ends on a violation.
  State update(double elapsed, const motion::JointArray& position, const motion::JointArray& velocity,
               std::string& why) const;

 private:
  FollowPlan plan_;
  std::unique_ptr<motion::PolynomialTrajectory> trajectory_;
};

}  // namespace bridge
}  // namespace kav
