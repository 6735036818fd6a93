#include "Stream.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "config/ArmConfig.h"

namespace kav {
namespace bridge {

namespace {

using motion::JointArray;
using motion::TrajectoryPoint;
constexpr int kJoints = motion::kJoints;

// A message later than this after the previous one starts a stream afresh.
constexpr double kStreamGap = 0.25;
// A point sooner than this cannot be reached: the arm takes a new plan over
// two cycles after it is handed in.
constexpr double kLead = 2 * motion::kSamplePeriod;
// The stop decelerates at this share of the ceiling, the predicted course
// is held below this share of the speed ceiling.
constexpr double kStopShare = 0.9;
constexpr double kSpeedShare = 0.95;
// How fast the period estimate follows the messages' spacing.
constexpr double kPeriodSmoothing = 0.2;

JointArray values(const std::vector<double>& list) {
  JointArray array{};
  if (list.size() == static_cast<std::size_t>(kJoints)) std::copy(list.begin(), list.end(), array.begin());
  return array;
}

std::vector<double> list(const JointArray& array) { return {array.begin(), array.end()}; }

bool still(const JointArray& array) {
  return std::all_of(array.begin(), array.end(), [](double v) { return v == 0.0; });
}

}  // namespace

std::vector<TrajectoryPoint> JointStream::plan(std::vector<TrajectoryPoint> points,
                                               const JointArray& velocity, const JointArray& acceleration,
                                               double horizon) {
  TrajectoryPoint& last = points.back();
  if (still(velocity) && still(acceleration)) {
    last.time_from_start += horizon;  // later, to rest there
    return points;
  }
  // The last point itself is not aimed at: a period ahead leaves no room to
  // correct a hand-over a cycle off; the course a horizon past it does.
  const bool quintic = !last.accelerations.empty();
  const JointArray p = values(last.positions);
  const double at = last.time_from_start;
  points.pop_back();
  JointArray ahead{}, speed{};
  double stop = kLead;
  for (int j = 0; j < kJoints; ++j) {
    const double ceiling = kSpeedShare * config::kMaxVelocity;
    speed[j] = std::clamp(velocity[j] + acceleration[j] * horizon, -ceiling, ceiling);
    ahead[j] = p[j] + velocity[j] * horizon + 0.5 * acceleration[j] * horizon * horizon;
    if (ahead[j] < config::kJointLower[j] || ahead[j] > config::kJointUpper[j]) {
      ahead[j] = std::clamp(ahead[j], config::kJointLower[j], config::kJointUpper[j]);
      speed[j] = 0.0;  // it rests at the limit
    }
    stop = std::max(stop, std::fabs(speed[j]) / (kStopShare * config::kMaxAcceleration));
  }
  TrajectoryPoint course;
  course.positions = list(ahead);
  course.velocities = list(speed);
  course.time_from_start = at + horizon;
  TrajectoryPoint rest;
  rest.velocities.assign(kJoints, 0.0);
  rest.time_from_start = course.time_from_start + stop;
  for (int j = 0; j < kJoints; ++j) {
    // Uniform deceleration from the course's speed: half of it times the time.
    rest.positions.push_back(
        std::clamp(ahead[j] + 0.5 * speed[j] * stop, config::kJointLower[j], config::kJointUpper[j]));
  }
  if (quintic) {
    course.accelerations.assign(kJoints, 0.0);
    rest.accelerations.assign(kJoints, 0.0);
  }
  points.push_back(std::move(course));
  points.push_back(std::move(rest));
  return points;
}

void JointStream::follow(std::vector<TrajectoryPoint> points, double stamp_s, double now_s,
                         const std::function<void(const std::vector<TrajectoryPoint>&)>& start) {
  if (points.empty()) throw std::invalid_argument("joint_command: no points");
  if (stamp_s > 0.0) {
    // A rolling window: its times count from the stamp; what has passed is gone.
    for (TrajectoryPoint& point : points) point.time_from_start += stamp_s - now_s;
    points.erase(std::remove_if(points.begin(), points.end(),
                                [](const TrajectoryPoint& point) { return point.time_from_start < kLead; }),
                 points.end());
    if (points.empty()) {
      throw std::invalid_argument("joint_command: every point's time has passed (stamped " +
                                  std::to_string(now_s - stamp_s) + " s ago)");
    }
  }
  if (history_.empty() || now_s - last_arrival_ > kStreamGap || now_s <= last_arrival_) {
    history_.clear();
    period_ = 0.0;
  } else {
    const double spacing = now_s - last_arrival_;
    period_ = period_ == 0.0 ? spacing : period_ + kPeriodSmoothing * (spacing - period_);
  }
  last_arrival_ = now_s;

  const TrajectoryPoint& last = points.back();
  JointArray velocity = values(last.velocities), acceleration = values(last.accelerations);
  if (points.size() == 1) {
    history_.push_back(values(last.positions));
    if (history_.size() > 3) history_.erase(history_.begin());
    if (last.velocities.empty() && history_.size() >= 2 && period_ > 0.0) {
      // Differences of the last points at the stream's period: second
      // order (exact on a parabola) once three are there.
      const std::size_t k = history_.size() - 1;
      for (int j = 0; j < kJoints; ++j) {
        const double d1 = (history_[k][j] - history_[k - 1][j]) / period_;
        if (k >= 2) {
          const double d2 = (history_[k - 1][j] - history_[k - 2][j]) / period_;
          velocity[j] = 1.5 * d1 - 0.5 * d2;
          acceleration[j] = (d1 - d2) / period_;
        } else {
          velocity[j] = d1;
        }
      }
    }
  } else {
    history_.clear();  // a window is a course of its own
  }

  // A course at rest is tried first as it came (a trajectory to rest at its
  // times), then, as a moving one, at longer horizons.
  const bool at_rest = still(velocity) && still(acceleration);
  for (double horizon = at_rest ? 0.0 : kHorizon;; horizon = horizon == 0.0 ? kHorizon : 2 * horizon) {
    try {
      start(plan(points, velocity, acceleration, horizon));
      return;
    } catch (const std::invalid_argument&) {
      if (horizon * 2 > kLongestHorizon) throw;
    }
  }
}

}  // namespace bridge
}  // namespace kav
