#include "FollowGoal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Commands.h"

namespace kav {
namespace bridge {

namespace {

constexpr int kJoints = motion::kJoints;

std::string str(const char* value) { return value != nullptr ? value : ""; }

std::string radians(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.4f", value);
  return buffer;
}

int jointIndex(const std::string& name) {
  const auto known = std::find(kJointNames.begin(), kJointNames.begin() + kJoints, name);
  return known == kJointNames.begin() + kJoints ? -1 : static_cast<int>(known - kJointNames.begin());
}

// Tolerances: a positive value is used, 0 keeps the default, a negative one
// (-1 in the message's convention) turns the check off.
void tolerances(const dds_sequence_control_msgs_msg_dds__JointTolerance_& given, motion::JointArray& position,
                motion::JointArray& velocity, const std::string& what) {
  for (std::uint32_t i = 0; i < given._length; ++i) {
    const auto& tolerance = given._buffer[i];
    const std::string name = str(tolerance.name);
    const int joint = jointIndex(name);
    if (joint < 0) throw GoalRefused(kInvalidJoints, what + " names unknown joint '" + name + "'");
    if (!std::isfinite(tolerance.position) || !std::isfinite(tolerance.velocity)) {
      throw GoalRefused(kInvalidGoal, what + " of " + name + " is not finite");
    }
    if (tolerance.position > 0) position[joint] = tolerance.position;
    if (tolerance.position < 0) position[joint] = 0.0;
    if (tolerance.velocity > 0) velocity[joint] = tolerance.velocity;
    if (tolerance.velocity < 0) velocity[joint] = 0.0;
  }
}

FollowPlan checkedGoal(const control_msgs_action_dds__FollowJointTrajectory_Goal_& goal,
                       const motion::JointArray& measured, double now_s) {
  const auto& trajectory = goal.trajectory;
  const auto order = jointOrder(trajectory.joint_names, "");
  if (goal.multi_dof_trajectory.joint_names._length > 0 || goal.multi_dof_trajectory.points._length > 0) {
    throw GoalRefused(kInvalidJoints, "the arm has no multi-DOF joints");
  }
  if (goal.component_path_tolerance._length > 0 || goal.component_goal_tolerance._length > 0) {
    throw GoalRefused(kInvalidGoal, "component tolerances are not supported");
  }
  if (trajectory.points._length == 0) throw GoalRefused(kInvalidGoal, "the trajectory has no points");

  FollowPlan plan;
  plan.goal_position.fill(kDefaultGoalTolerance);
  tolerances(goal.path_tolerance, plan.path_position, plan.path_velocity, "path_tolerance");
  tolerances(goal.goal_tolerance, plan.goal_position, plan.goal_velocity, "goal_tolerance");
  // A goal tolerance turned off still needs an arrival: the default.
  for (double& tolerance : plan.goal_position) {
    if (tolerance <= 0) tolerance = kDefaultGoalTolerance;
  }
  const double goal_time = durationSeconds(goal.goal_time_tolerance, "goal_time_tolerance");
  if (goal_time > 0) plan.goal_time = goal_time;

  for (std::uint32_t p = 0; p < trajectory.points._length; ++p) {
    const auto& point = trajectory.points._buffer[p];
    const std::string which = "point " + std::to_string(p);
    motion::TrajectoryPoint sample;
    sample.positions = jointValues(point.positions, order, true, which + " positions");
    sample.velocities = jointValues(point.velocities, order, false, which + " velocities");
    sample.accelerations = jointValues(point.accelerations, order, false, which + " accelerations");
    sample.time_from_start = durationSeconds(point.time_from_start, which + " time_from_start");
    if (sample.time_from_start == 0.0) {
      // The start state: it must be where the arm is.
      for (int joint = 0; joint < kJoints; ++joint) {
        const double offset = std::fabs(sample.positions[joint] - measured[joint]);
        if (offset > kStartTolerance) {
          throw GoalRefused(kInvalidGoal, which + " at time 0 is " + radians(offset) + " rad from " +
                                              kJointNames[joint] + "'s measured position (at most " +
                                              radians(kStartTolerance) + " rad)");
        }
      }
      continue;
    }
    plan.points.push_back(std::move(sample));
  }
  if (plan.points.empty()) throw GoalRefused(kInvalidGoal, "the trajectory has no point after time 0");
  // The arm holds the last point. Planners end there with velocities of a
  // rounding's size, and often with the acceleration of the last stretch of
  // their profile: such a trajectory runs on positions and velocities alone.
  motion::TrajectoryPoint& last = plan.points.back();
  for (double& velocity : last.velocities) {
    if (std::fabs(velocity) <= kRestVelocity) velocity = 0.0;
  }
  const bool stops_accelerating =
      std::all_of(last.accelerations.begin(), last.accelerations.end(), [](double a) { return a == 0.0; });
  if (!stops_accelerating) {
    for (auto& point : plan.points) point.accelerations.clear();
  }
  plan.duration = plan.points.back().time_from_start;

  const auto& stamp = trajectory.header.stamp;
  if (stamp.sec != 0 || stamp.nanosec != 0) {
    const double start = stamp.sec + stamp.nanosec * 1e-9;
    if (start + plan.duration < now_s) {
      throw GoalRefused(kOldHeaderTimestamp,
                        "the trajectory's header stamp lies so far back that it has ended");
    }
  }
  return plan;
}

}  // namespace

FollowPlan checkFollowGoal(const control_msgs_action_dds__FollowJointTrajectory_Goal_& goal,
                           const motion::JointArray& measured, double now_s) {
  try {
    return checkedGoal(goal, measured, now_s);
  } catch (const GoalRefused&) {
    throw;
  } catch (const JointNamesError& error) {
    throw GoalRefused(kInvalidJoints, error.what());
  } catch (const std::invalid_argument& error) {
    throw GoalRefused(kInvalidGoal, error.what());
  }
}

FollowTracker::FollowTracker(FollowPlan plan, const motion::JointSample& start)
    : plan_(std::move(plan)), trajectory_(motion::interpolateTrajectory(start, plan_.points)) {}

motion::JointSample FollowTracker::desired(double elapsed) const {
  motion::JointSample sample;
  trajectory_->sample(std::max(elapsed, 0.0), sample);
  return sample;
}

FollowTracker::State FollowTracker::update(double elapsed, const motion::JointArray& position,
                                           const motion::JointArray& velocity, std::string& why) const {
  const motion::JointSample want = desired(elapsed);
  if (elapsed < plan_.duration) {
    for (int joint = 0; joint < kJoints; ++joint) {
      const double off = std::fabs(position[joint] - want.position[joint]);
      const double fast = std::fabs(velocity[joint] - want.velocity[joint]);
      if (plan_.path_position[joint] > 0 && off > plan_.path_position[joint]) {
        why = kJointNames[joint] + " is " + radians(off) + " rad off its path (tolerance " +
              radians(plan_.path_position[joint]) + ")";
        return State::kPathViolated;
      }
      if (plan_.path_velocity[joint] > 0 && fast > plan_.path_velocity[joint]) {
        why = kJointNames[joint] + " is " + radians(fast) + " rad/s off its path's velocity (tolerance " +
              radians(plan_.path_velocity[joint]) + ")";
        return State::kPathViolated;
      }
    }
    return State::kRunning;
  }
  std::string outside;
  for (int joint = 0; joint < kJoints && outside.empty(); ++joint) {
    const double off = std::fabs(position[joint] - want.position[joint]);
    if (off > plan_.goal_position[joint]) {
      outside = kJointNames[joint] + " is " + radians(off) + " rad from its goal (tolerance " +
                radians(plan_.goal_position[joint]) + ")";
    } else if (plan_.goal_velocity[joint] > 0 && std::fabs(velocity[joint]) > plan_.goal_velocity[joint]) {
      outside = kJointNames[joint] + " still moves at " + radians(velocity[joint]) + " rad/s (tolerance " +
                radians(plan_.goal_velocity[joint]) + ")";
    }
  }
  if (outside.empty()) return State::kSucceeded;
  if (elapsed > plan_.duration + plan_.goal_time) {
    why = outside + " " + radians(plan_.goal_time) + " s after the trajectory's end";
    return State::kGoalViolated;
  }
  return State::kRunning;
}

}  // namespace bridge
}  // namespace kav
