#include "motion/CartesianLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

namespace kav {
namespace motion {

namespace {

constexpr double kMargin = 1e-9;
constexpr const char* kWhat = "moveLinear";

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", value);
  return text;
}

[[noreturn]] void refuseAt(double s, const std::string& why) {
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, "%.3f", s);
  throw std::invalid_argument(std::string(kWhat) + ": the line cannot be followed at " + fraction +
                              " of its length: " + why);
}

KDL::JntArray jointArray(const JointArray& q) {
  KDL::JntArray array(kJoints);
  for (int j = 0; j < kJoints; ++j) array(j) = q[j];
  return array;
}

Eigen::Isometry3d isometryOf(const KDL::Frame& frame) {
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pose.linear()(r, c) = frame.M(r, c);
    pose.translation()(r) = frame.p(r);
  }
  return pose;
}

KDL::Frame frameOf(const Eigen::Isometry3d& pose) {
  const Eigen::Matrix3d& m = pose.linear();
  return KDL::Frame(
      KDL::Rotation(m(0, 0), m(0, 1), m(0, 2), m(1, 0), m(1, 1), m(1, 2), m(2, 0), m(2, 1), m(2, 2)),
      KDL::Vector(pose.translation().x(), pose.translation().y(), pose.translation().z()));
}

Eigen::Matrix3d matrixOf(const KDL::Rotation& rotation) {
  Eigen::Matrix3d m;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m(r, c) = rotation(r, c);
  }
  return m;
}

// The twist (translation, then rotation vector, in the base frame) from
// @p from to @p to. Computed here rather than with KDL::diff, which returns
// no rotation at all below about a milliradian.
Eigen::Matrix<double, 6, 1> twistBetween(const KDL::Frame& from, const KDL::Frame& to) {
  const Eigen::AngleAxisd turn(matrixOf(to.M) * matrixOf(from.M).transpose());
  Eigen::Matrix<double, 6, 1> twist;
  for (int i = 0; i < 3; ++i) twist(i) = to.p(i) - from.p(i);
  twist.tail<3>() = turn.angle() * turn.axis();
  return twist;
}

// The solver stops once the pose error is below its tolerance (1e-6), so
// from a seed one cycle away it often returns the seed itself and later
// jumps; on a path sampled every 5 ms that shows as velocity noise. A few
// Newton steps with a numerical Jacobian bring the error down to rounding.
void polish(KinematicDynamicSolver& solver, const KDL::Frame& target, KDL::JntArray& q) {
  constexpr double kStep = 1e-7;
  for (int iteration = 0; iteration < 3; ++iteration) {
    const KDL::Frame at = solver.computeForwardKinematics(q);
    const Eigen::Matrix<double, 6, 1> error = twistBetween(at, target);
    if (error.norm() < 1e-14) return;
    Eigen::Matrix<double, 6, kJoints> jacobian;
    for (int j = 0; j < kJoints; ++j) {
      KDL::JntArray moved = q;
      moved(j) += kStep;
      jacobian.col(j) = twistBetween(at, solver.computeForwardKinematics(moved)) / kStep;
    }
    const Eigen::Matrix<double, kJoints, 1> step = jacobian.colPivHouseholderQr().solve(error);
    if (!step.allFinite()) return;
    for (int j = 0; j < kJoints; ++j) q(j) += step(j);
  }
}

void checkGoal(const Eigen::Isometry3d& goal, double speed) {
  if (!goal.matrix().allFinite()) {
    throw std::invalid_argument(std::string(kWhat) + ": the pose must hold finite numbers only");
  }
  const Eigen::Matrix3d r = goal.linear();
  if (!(r.transpose() * r).isApprox(Eigen::Matrix3d::Identity(), 1e-6) || r.determinant() < 0.0 ||
      !goal.matrix().row(3).isApprox(Eigen::RowVector4d(0, 0, 0, 1))) {
    throw std::invalid_argument(
        std::string(kWhat) +
        ": the pose is not a rigid transform (its rotation part must be a rotation matrix)");
  }
  if (!std::isfinite(speed) || !(speed >= kMinLineSpeed)) {
    throw std::invalid_argument(std::string(kWhat) + ": the speed must be a finite number of at least " +
                                number(kMinLineSpeed) + " m/s, got " + number(speed));
  }
}

}  // namespace

LineTiming::LineTiming(double length, double angle, double speed) {
  double rate = std::numeric_limits<double>::infinity();
  double acceleration = std::numeric_limits<double>::infinity();
  if (length > 0.0) {
    rate = std::min(rate, speed / length);
    acceleration = std::min(acceleration, config::kLineAcceleration / length);
  }
  if (angle > 0.0) {
    rate = std::min(rate, config::kLineAngularSpeed / angle);
    acceleration = std::min(acceleration, config::kLineAngularAcceleration / angle);
  }
  if (!std::isfinite(rate)) return;  // nothing to move
  // The ramp's rate follows 3x² - 2x³: peak acceleration 1.5 rate / ramp,
  // path covered rate × ramp / 2.
  double ramp = 1.5 * rate / acceleration;
  if (rate * ramp > 1.0) {
    rate = std::sqrt(acceleration / 1.5);
    ramp = 1.5 * rate / acceleration;
  }
  cruise_rate_ = rate;
  ramp_ = ramp;
  duration_ = 1.0 / rate + ramp;
}

double LineTiming::at(double t) const {
  if (t <= 0.0) return 0.0;
  if (t >= duration_) return 1.0;
  auto ramp_part = [this](double tau) {
    const double x = tau / ramp_;
    return cruise_rate_ * ramp_ * (x * x * x - 0.5 * x * x * x * x);
  };
  if (t < ramp_) return ramp_part(t);
  if (t <= duration_ - ramp_) return cruise_rate_ * ramp_ / 2 + cruise_rate_ * (t - ramp_);
  return std::min(1.0, 1.0 - ramp_part(duration_ - t));
}

double LineTiming::rate(double t) const {
  if (t <= 0.0 || t >= duration_) return 0.0;
  const double tau = std::min(t, duration_ - t);
  if (tau >= ramp_) return cruise_rate_;
  const double x = tau / ramp_;
  return cruise_rate_ * (3 * x * x - 2 * x * x * x);
}

Eigen::Isometry3d poseOnLine(const Eigen::Isometry3d& from, const Eigen::Isometry3d& to, double s) {
  const Eigen::Quaterniond q0(from.linear()), q1(to.linear());
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.linear() = q0.slerp(s, q1).normalized().toRotationMatrix();
  pose.translation() = from.translation() + s * (to.translation() - from.translation());
  return pose;
}

std::unique_ptr<SampledPath> planLine(KinematicDynamicSolver& solver, const JointArray& start,
                                      const Eigen::Isometry3d& goal, double speed,
                                      const MotionLimits& limits) {
  checkGoal(goal, speed);
  const Eigen::Isometry3d from = isometryOf(solver.computeForwardKinematics(jointArray(start)));
  const double length = (goal.translation() - from.translation()).norm();
  const double angle = Eigen::AngleAxisd(from.linear().transpose() * goal.linear()).angle();
  const LineTiming timing(length, angle, speed);
  if (timing.duration() > kMaxLineDuration) {
    throw std::invalid_argument(std::string(kWhat) + ": the line of " + number(length) + " m would take " +
                                number(timing.duration()) + " s at " + number(speed) +
                                " m/s; a line may last at most " + number(kMaxLineDuration) + " s");
  }
  const long samples = static_cast<long>(std::ceil(timing.duration() / kSamplePeriod - 1e-9));

  std::vector<JointArray> positions{start};
  positions.reserve(static_cast<std::size_t>(samples) + 1);
  KDL::JntArray seed = jointArray(start);
  for (long k = 1; k <= samples; ++k) {
    const double s = k == samples ? 1.0 : timing.at(static_cast<double>(k) * kSamplePeriod);
    KDL::Frame target = frameOf(poseOnLine(from, goal, s));
    if (solver.isOutOfReach(target.p)) refuseAt(s, "the position is beyond the arm's reach");
    const KDL::Frame wanted = target;
    try {
      seed = solver.computeInverseKinematics(target, seed);
    } catch (const std::runtime_error&) {
      refuseAt(s, "no joint solution continues from the previous sample");
    }
    polish(solver, wanted, seed);
    JointArray q{};
    for (int j = 0; j < kJoints; ++j) {
      q[j] = seed(j);
      if (q[j] < config::kJointLower[j] || q[j] > config::kJointUpper[j]) {
        refuseAt(s, "joint " + std::to_string(j + 1) + " would reach " + number(q[j]) +
                        " rad, outside its limits [" + number(config::kJointLower[j]) + ", " +
                        number(config::kJointUpper[j]) + "]");
      }
    }
    positions.push_back(q);
  }

  // Central differences; at rest at both ends.
  std::vector<JointArray> velocities(positions.size(), JointArray{});
  for (std::size_t k = 1; k + 1 < positions.size(); ++k) {
    for (int j = 0; j < kJoints; ++j) {
      velocities[k][j] = (positions[k + 1][j] - positions[k - 1][j]) / (2 * kSamplePeriod);
    }
  }
  for (std::size_t k = 1; k < positions.size(); ++k) {
    const double s = timing.at(static_cast<double>(k) * kSamplePeriod);
    for (int j = 0; j < kJoints; ++j) {
      const std::string joint = "joint " + std::to_string(j + 1);
      if (std::fabs(velocities[k][j]) > limits.max_velocity[j] * (1 + kMargin)) {
        refuseAt(s, joint + " would move at " + number(velocities[k][j]) + " rad/s, above its limit " +
                        number(limits.max_velocity[j]) + " rad/s");
      }
      const double change = std::fabs(velocities[k][j] - velocities[k - 1][j]) / kSamplePeriod;
      if (change > limits.max_acceleration[j] * (1 + kMargin)) {
        refuseAt(s, joint + " would accelerate at " + number(change) + " rad/s², above its limit " +
                        number(limits.max_acceleration[j]) + " rad/s²");
      }
    }
  }
  return std::make_unique<SampledPath>(std::move(positions), std::move(velocities));
}

}  // namespace motion
}  // namespace kav
