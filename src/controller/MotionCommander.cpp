#include "controller/MotionCommander.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "config/ArmConfig.h"
#include "motion/CartesianLine.h"
#include "motion/PointToPoint.h"
#include "motion/Trajectory.h"

namespace kav {
namespace t8 {

namespace {

using motion::JointArray;
using motion::JointSample;
using Outcome = MotionExecutor::Outcome;

constexpr int kHandOverAttempts = 8;
constexpr auto kPoll = std::chrono::microseconds(500);

JointArray armLimits(const std::array<double, config::kMotors>& limits) {
  JointArray joints;
  std::copy(limits.begin(), limits.begin() + motion::kJoints, joints.begin());
  return joints;
}
const JointArray kLower = armLimits(config::kJointLower);
const JointArray kUpper = armLimits(config::kJointUpper);

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string refusal(const char* what, const std::string& message) {
  return std::string(what) + ": " + message;
}

[[noreturn]] void notStarted(const char* what, Outcome outcome) {
  if (outcome == Outcome::kOffline) {
    throw std::runtime_error(refusal(what, "an arm motor is offline; the arm stays in damping"));
  }
  if (outcome == Outcome::kReflex) {
    throw std::runtime_error(
        refusal(what, "a collision reflex holds the arm compliant; call recover() first"));
  }
  if (outcome == Outcome::kLate) {
    throw std::runtime_error(
        refusal(what, "planning took too long to hand the motion over; nothing was started"));
  }
  throw std::runtime_error(refusal(what, "another command came while the motion was being started"));
}

}  // namespace

MotionCommander::MotionCommander(MotionExecutor& executor, const std::string& urdf_path, rt::Clock& clock,
                                 Hooks hooks)
    : executor_(executor),
      clock_(clock),
      hooks_(std::move(hooks)),
      urdf_path_(urdf_path),
      limits_(motion::MotionLimits::defaults()) {}

MotionCommander::~MotionCommander() = default;

void MotionCommander::followJointTrajectory(const std::vector<motion::TrajectoryPoint>& points) {
  constexpr const char* kWhat = "followJointTrajectory";
  motion::checkTrajectoryPoints(points, kLower, kUpper, kWhat);
  run(kWhat, [&](const JointSample& start) -> std::unique_ptr<motion::Motion> {
    auto trajectory = motion::interpolateTrajectory(start, points);
    const motion::PolynomialTrajectory& shape = *trajectory;
    auto describe = [&](double t) {
      const std::size_t segment = shape.segmentAt(t);
      std::string where = "at t = " + number(t) + " s, ";
      if (t >= shape.duration()) return where + "holding points[" + std::to_string(points.size() - 1) + "]";
      where += segment == 0 ? "between the start and points[0]"
                            : "between points[" + std::to_string(segment - 1) + "] and points[" +
                                  std::to_string(segment) + "]";
      return where;
    };
    motion::checkSampledMotion(shape, limits_, kLower, kUpper, kWhat, describe);
    return trajectory;
  });
}

void MotionCommander::moveJoints(const std::vector<double>& target, double speed_scale) {
  constexpr const char* kWhat = "moveJoints";
  if (target.size() != static_cast<std::size_t>(motion::kJoints)) {
    throw std::invalid_argument(
        refusal(kWhat, "expected 6 joint positions, got " + std::to_string(target.size())));
  }
  JointArray goal;
  for (int j = 0; j < motion::kJoints; ++j) {
    const std::string joint = "joint " + std::to_string(j + 1);
    if (!std::isfinite(target[j])) {
      throw std::invalid_argument(refusal(kWhat, "the target of " + joint + " is not a finite number"));
    }
    if (target[j] < kLower[j] || target[j] > kUpper[j]) {
      throw std::invalid_argument(refusal(kWhat, "the target " + number(target[j]) + " rad of " + joint +
                                                     " is outside its limits [" + number(kLower[j]) + ", " +
                                                     number(kUpper[j]) + "]"));
    }
    goal[j] = target[j];
  }
  if (!std::isfinite(speed_scale) || !(speed_scale >= motion::kMinSpeedScale) || speed_scale > 1.0) {
    throw std::invalid_argument(refusal(kWhat, "speed_scale must lie in [" + number(motion::kMinSpeedScale) +
                                                   ", 1], got " + number(speed_scale)));
  }
  run(kWhat, [&](const JointSample& start) {
    return fromRest(start, [&](const JointArray& rest) {
      return std::make_unique<motion::SynchronizedMove>(rest, goal, limits_, speed_scale);
    });
  });
}

void MotionCommander::moveLinear(const Eigen::Isometry3d& pose, double speed) {
  run("moveLinear", [&](const JointSample& start) {
    return fromRest(start, [&](const JointArray& rest) {
      if (!line_solver_)
        line_solver_ = std::make_unique<KinematicDynamicSolver>(urdf_path_, "base_link", "link6");
      return motion::planLine(*line_solver_, rest, pose, speed, limits_);
    });
  });
}

std::unique_ptr<motion::Motion> MotionCommander::fromRest(
    const JointSample& start,
    const std::function<std::unique_ptr<motion::Motion>(const JointArray& rest)>& plan) const {
  if (motion::atRest(start)) return plan(start.position);
  auto stop = std::make_unique<motion::StopProfile>(start, limits_);
  auto after = plan(stop->finalPosition());
  return std::make_unique<motion::Sequence>(std::move(stop), std::move(after));
}

bool MotionCommander::motionDone() { return !executor_.snapshot().running || !hooks_.loop_running(); }

bool MotionCommander::waitMotion(double timeout_s) {
  if (std::isnan(timeout_s) || timeout_s < 0.0) {
    throw std::invalid_argument("waitMotion: the timeout must be a number of seconds, at least 0, got " +
                                number(timeout_s));
  }
  const auto start = clock_.now();
  const std::chrono::duration<double> timeout(std::min(timeout_s, 1e9));
  while (!motionDone()) {
    if (clock_.now() - start >= timeout) return false;
    clock_.sleepFor(std::chrono::milliseconds(1));
  }
  return true;
}

void MotionCommander::stopMotion() {
  std::lock_guard<std::mutex> lock(mutex_);
  const MotionExecutor::Snapshot snapshot = executor_.snapshot();
  release(snapshot);
  if (!snapshot.running || !hooks_.loop_running()) return;
  // A stop from the state at the hand-over cycle; no capture is needed.
  const std::uint64_t epoch = executor_.epoch();
  MotionExecutor::Snapshot from = snapshot;
  long margin = 1;
  for (int attempt = 0; attempt < kHandOverAttempts && from.active; ++attempt) {
    const std::uint64_t cycle = from.cycle + static_cast<std::uint64_t>(margin);
    JointSample state;
    from.active->sample(static_cast<double>(cycle - from.active_start) * motion::kSamplePeriod, state);
    motions_.push_back(std::make_unique<motion::StopProfile>(state, limits_));
    const motion::Motion* stop = motions_.back().get();
    const Outcome outcome = handOver("stopMotion", {next_id_++, stop, from.active, cycle, epoch});
    if (outcome == Outcome::kStarted) {
      hooks_.set_targets(stop->finalPosition());
      return;
    }
    if (outcome != Outcome::kLate) return;  // ended by another command meanwhile: nothing left to stop
    const MotionExecutor::Snapshot now = executor_.snapshot();
    margin = 1 + 2 * static_cast<long>(now.cycle - from.cycle);
    from = now;
  }
}

void MotionCommander::setMotionLimits(const std::vector<double>& max_velocity,
                                      const std::vector<double>& max_acceleration) {
  constexpr const char* kWhat = "setMotionLimits";
  motion::MotionLimits limits;
  auto take = [&](const std::vector<double>& values, const char* name, double ceiling, JointArray& out) {
    if (values.size() != static_cast<std::size_t>(motion::kJoints)) {
      throw std::invalid_argument(
          refusal(kWhat, std::string(name) + ": expected 6 values, got " + std::to_string(values.size())));
    }
    for (int j = 0; j < motion::kJoints; ++j) {
      if (!std::isfinite(values[j]) || !(values[j] > 0.0) || values[j] > ceiling) {
        throw std::invalid_argument(refusal(kWhat, std::string(name) + " of joint " + std::to_string(j + 1) +
                                                       " must lie in (0, " + number(ceiling) + "], got " +
                                                       number(values[j])));
      }
      out[j] = values[j];
    }
  };
  take(max_velocity, "max_velocity", config::kMaxVelocity, limits.max_velocity);
  take(max_acceleration, "max_acceleration", config::kMaxAcceleration, limits.max_acceleration);
  std::lock_guard<std::mutex> lock(mutex_);
  limits_ = limits;
}

void MotionCommander::run(const char* what, const Planner& plan) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!hooks_.loop_running()) throw std::runtime_error(refusal(what, "the control loop is not running"));
  const std::uint64_t epoch = executor_.epoch();
  MotionExecutor::Snapshot from = executor_.snapshot();
  release(from);
  if (!from.active) {
    // Checked from the present set-point before anything changes; then the
    // control thread takes the set-point over and holds it.
    JointSample present;
    present.position = from.set_point;
    plan(present);
    const Outcome captured = handOver(what, {next_id_++, nullptr, nullptr, 0, epoch});
    if (captured != Outcome::kStarted) notStarted(what, captured);
    from = executor_.snapshot();
    hooks_.set_targets(from.set_point);
  }
  long margin = 2;
  Outcome outcome = Outcome::kInterrupted;
  for (int attempt = 0; attempt < kHandOverAttempts; ++attempt) {
    if (!from.active) break;
    const std::uint64_t cycle = from.cycle + static_cast<std::uint64_t>(margin);
    JointSample start;
    from.active->sample(static_cast<double>(cycle - from.active_start) * motion::kSamplePeriod, start);
    motions_.push_back(plan(start));
    const motion::Motion* next = motions_.back().get();
    outcome = handOver(what, {next_id_++, next, from.active, cycle, epoch});
    if (outcome == Outcome::kStarted) {
      hooks_.set_targets(next->finalPosition());
      return;
    }
    if (outcome != Outcome::kLate) break;
    // Planning took longer than the margin: plan again further ahead.
    const MotionExecutor::Snapshot now = executor_.snapshot();
    margin = 2 + 2 * static_cast<long>(now.cycle - from.cycle);
    from = now;
  }
  notStarted(what, outcome);
}

Outcome MotionCommander::handOver(const char* what, const MotionExecutor::Request& request) {
  executor_.post(request);
  const MotionExecutor::Snapshot posted = executor_.snapshot();
  const auto wait = std::chrono::duration<double>(
      static_cast<double>(request.start_cycle > posted.cycle ? request.start_cycle - posted.cycle : 0) *
          motion::kSamplePeriod +
      1.0);
  const auto deadline = clock_.now() + std::chrono::duration_cast<rt::Clock::duration>(wait);
  while (true) {
    const MotionExecutor::Snapshot now = executor_.snapshot();
    if (now.answered == request.id) return now.outcome;
    if (!hooks_.loop_running() || clock_.now() > deadline) {
      if (executor_.withdraw(request.id)) {
        throw std::runtime_error(refusal(what, "the control loop did not take the motion over"));
      }
      continue;  // answered meanwhile
    }
    clock_.sleepFor(kPoll);
  }
}

void MotionCommander::release(const MotionExecutor::Snapshot& snapshot) {
  motions_.erase(
      std::remove_if(motions_.begin(), motions_.end(),
                     [&](const std::unique_ptr<motion::Motion>& m) { return m.get() != snapshot.active; }),
      motions_.end());
}

}  // namespace t8
}  // namespace kav
