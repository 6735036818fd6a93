#include "motion/Trajectory.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace kav {
namespace motion {

namespace {

// Relative room for rounding in the limit checks.
constexpr double kMargin = 1e-9;

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string pointName(std::size_t index) { return "points[" + std::to_string(index) + "]"; }

[[noreturn]] void refuse(const std::string& what, const std::string& message) {
  throw std::invalid_argument(what + ": " + message);
}

void checkValues(const std::vector<double>& values, bool may_be_empty, std::size_t point, const char* field,
                 const std::string& what) {
  if (values.empty() && may_be_empty) return;
  if (values.size() != static_cast<std::size_t>(kJoints)) {
    refuse(what, pointName(point) + "." + field + " holds " + std::to_string(values.size()) +
                     " values, expected 6" + (may_be_empty ? " or none" : ""));
  }
  for (int j = 0; j < kJoints; ++j) {
    if (!std::isfinite(values[j])) {
      refuse(what, pointName(point) + "." + field + ": the value of joint " + std::to_string(j + 1) +
                       " is not a finite number");
    }
  }
}

// Hermite cubic from (p0, v0) to (p1, v1) over h.
PolynomialTrajectory::Coefficients cubic(double p0, double v0, double p1, double v1, double h) {
  const double slope = (p1 - p0) / h;
  return {p0, v0, (3 * slope - 2 * v0 - v1) / h, (-2 * slope + v0 + v1) / (h * h), 0.0, 0.0};
}

// Quintic from (p0, v0, a0) to (p1, v1, a1) over h.
PolynomialTrajectory::Coefficients quintic(double p0, double v0, double a0, double p1, double v1, double a1,
                                           double h) {
  const double d = p1 - p0;
  const double h2 = h * h, h3 = h2 * h;
  return {p0,
          v0,
          a0 / 2,
          (20 * d - (8 * v1 + 12 * v0) * h - (3 * a0 - a1) * h2) / (2 * h3),
          (-30 * d + (14 * v1 + 16 * v0) * h + (3 * a0 - 2 * a1) * h2) / (2 * h3 * h),
          (12 * d - 6 * (v1 + v0) * h + (a1 - a0) * h2) / (2 * h3 * h2)};
}

// Velocities at the knots of the cubic spline through @p q at @p t with the
// end velocities @p v_first and @p v_last (continuous acceleration at every
// inner knot): a tridiagonal system, solved by elimination.
std::vector<double> splineVelocities(const std::vector<double>& t, const std::vector<double>& q,
                                     double v_first, double v_last) {
  const std::size_t n = q.size();
  std::vector<double> v(n, 0.0);
  if (n < 2) return v;
  v[0] = v_first;
  v[n - 1] = v_last;
  if (n < 3) return v;
  // Row i (1..n-2): h_i v_{i-1} + 2 (h_{i-1} + h_i) v_i + h_{i-1} v_{i+1}
  //                 = 3 (h_i s_{i-1} + h_{i-1} s_i), with slopes s.
  const std::size_t m = n - 2;
  std::vector<double> diag(m), upper(m), rhs(m), lower(m);
  for (std::size_t r = 0; r < m; ++r) {
    const std::size_t i = r + 1;
    const double h0 = t[i] - t[i - 1], h1 = t[i + 1] - t[i];
    const double s0 = (q[i] - q[i - 1]) / h0, s1 = (q[i + 1] - q[i]) / h1;
    lower[r] = h1;
    diag[r] = 2 * (h0 + h1);
    upper[r] = h0;
    rhs[r] = 3 * (h1 * s0 + h0 * s1);
  }
  rhs.front() -= lower.front() * v_first;
  rhs.back() -= upper.back() * v_last;
  // Diagonally dominant: elimination without pivoting is stable.
  for (std::size_t r = 1; r < m; ++r) {
    const double factor = lower[r] / diag[r - 1];
    diag[r] -= factor * upper[r - 1];
    rhs[r] -= factor * rhs[r - 1];
  }
  v[m] = rhs[m - 1] / diag[m - 1];
  for (std::size_t r = m - 1; r-- > 0;) v[r + 1] = (rhs[r] - upper[r] * v[r + 2]) / diag[r];
  return v;
}

}  // namespace

PolynomialTrajectory::PolynomialTrajectory(std::vector<double> knot_times, std::vector<Segment> segments,
                                           JointArray end)
    : knot_times_(std::move(knot_times)), segments_(std::move(segments)), end_(end) {
  if (segments_.empty() || knot_times_.size() != segments_.size() + 1) {
    throw std::invalid_argument("PolynomialTrajectory: needs one knot time more than segments");
  }
}

double PolynomialTrajectory::duration() const { return knot_times_.back(); }

std::size_t PolynomialTrajectory::segmentAt(double t) const {
  const auto after = std::upper_bound(knot_times_.begin(), knot_times_.end(), t);
  const auto index = static_cast<std::size_t>(std::max<std::ptrdiff_t>(after - knot_times_.begin() - 1, 0));
  return std::min(index, segments_.size() - 1);
}

void PolynomialTrajectory::sample(double t, JointSample& out) const {
  if (t >= knot_times_.back()) {
    out.position = end_;
    out.velocity.fill(0.0);
    out.acceleration.fill(0.0);
    return;
  }
  const std::size_t i = segmentAt(t);
  const double tau = std::max(t, 0.0) - knot_times_[i];
  for (int j = 0; j < kJoints; ++j) {
    const Coefficients& c = segments_[i][j];
    out.position[j] = c[0] + tau * (c[1] + tau * (c[2] + tau * (c[3] + tau * (c[4] + tau * c[5]))));
    out.velocity[j] = c[1] + tau * (2 * c[2] + tau * (3 * c[3] + tau * (4 * c[4] + tau * 5 * c[5])));
    out.acceleration[j] = 2 * c[2] + tau * (6 * c[3] + tau * (12 * c[4] + tau * 20 * c[5]));
  }
}

void checkTrajectoryPoints(const std::vector<TrajectoryPoint>& points, const JointArray& lower,
                           const JointArray& upper, const std::string& what) {
  if (points.empty()) refuse(what, "the trajectory has no points");
  const bool with_velocities = !points.front().velocities.empty();
  const bool with_accelerations = !points.front().accelerations.empty();
  double previous_time = 0.0;
  for (std::size_t p = 0; p < points.size(); ++p) {
    const TrajectoryPoint& point = points[p];
    checkValues(point.positions, false, p, "positions", what);
    checkValues(point.velocities, true, p, "velocities", what);
    checkValues(point.accelerations, true, p, "accelerations", what);
    if (point.velocities.empty() == with_velocities) {
      refuse(what, pointName(p) + (with_velocities ? " has no velocities while points[0] has them"
                                                   : " has velocities while points[0] has none"));
    }
    if (point.accelerations.empty() == with_accelerations) {
      refuse(what, pointName(p) + (with_accelerations ? " has no accelerations while points[0] has them"
                                                      : " has accelerations while points[0] has none"));
    }
    if (with_accelerations && !with_velocities) {
      refuse(what, pointName(p) + " has accelerations without velocities");
    }
    for (int j = 0; j < kJoints; ++j) {
      const double q = point.positions[j];
      if (q < lower[j] || q > upper[j]) {
        refuse(what, pointName(p) + ": the position " + number(q) + " rad of joint " + std::to_string(j + 1) +
                         " is outside its limits [" + number(lower[j]) + ", " + number(upper[j]) + "]");
      }
    }
    const double t = point.time_from_start;
    if (!std::isfinite(t)) refuse(what, pointName(p) + ".time_from_start is not a finite number");
    if (p == 0 && !(t > 0.0)) {
      refuse(what, "points[0].time_from_start is " + number(t) + " s; it must be above 0");
    }
    if (p > 0 && !(t > previous_time)) {
      refuse(what, pointName(p) + ".time_from_start " + number(t) + " s does not come after " +
                       pointName(p - 1) + "'s " + number(previous_time) + " s");
    }
    // Written as a sum so that rounding of the difference cannot let a
    // shorter segment through.
    if (t < previous_time + kMinSegmentDuration) {
      const std::string before =
          p == 0 ? "the start" : pointName(p - 1) + " (" + number(previous_time) + " s)";
      refuse(what, pointName(p) + ".time_from_start " + number(t) + " s comes only " +
                       number(t - previous_time) + " s after " + before + "; a segment must last at least " +
                       number(kMinSegmentDuration) + " s");
    }
    if (t > kMaxTrajectoryDuration) {
      refuse(what, pointName(p) + ".time_from_start " + number(t) + " s is later than " +
                       number(kMaxTrajectoryDuration) + " s, the longest a trajectory may last");
    }
    previous_time = t;
  }
  const TrajectoryPoint& last = points.back();
  for (int j = 0; j < kJoints; ++j) {
    const bool moving = (with_velocities && last.velocities[j] != 0.0) ||
                        (with_accelerations && last.accelerations[j] != 0.0);
    if (moving) {
      refuse(what, pointName(points.size() - 1) + ": joint " + std::to_string(j + 1) +
                       " must end at rest (velocity and acceleration 0): the arm holds the last point");
    }
  }
}

std::unique_ptr<PolynomialTrajectory> interpolateTrajectory(const JointSample& start,
                                                            const std::vector<TrajectoryPoint>& points) {
  const std::size_t n = points.size();
  std::vector<double> times(n + 1, 0.0);
  for (std::size_t p = 0; p < n; ++p) times[p + 1] = points[p].time_from_start;
  std::vector<PolynomialTrajectory::Segment> segments(n);
  const bool with_velocities = !points.front().velocities.empty();
  const bool with_accelerations = !points.front().accelerations.empty();
  for (int j = 0; j < kJoints; ++j) {
    std::vector<double> q(n + 1), v(n + 1, 0.0), a(n + 1, 0.0);
    q[0] = start.position[j];
    v[0] = start.velocity[j];
    a[0] = start.acceleration[j];
    for (std::size_t p = 0; p < n; ++p) {
      q[p + 1] = points[p].positions[j];
      if (with_velocities) v[p + 1] = points[p].velocities[j];
      if (with_accelerations) a[p + 1] = points[p].accelerations[j];
    }
    if (!with_velocities) v = splineVelocities(times, q, start.velocity[j], 0.0);
    for (std::size_t s = 0; s < n; ++s) {
      const double h = times[s + 1] - times[s];
      segments[s][j] = with_accelerations ? quintic(q[s], v[s], a[s], q[s + 1], v[s + 1], a[s + 1], h)
                                          : cubic(q[s], v[s], q[s + 1], v[s + 1], h);
    }
  }
  JointArray end{};
  for (int j = 0; j < kJoints; ++j) end[j] = points.back().positions[j];
  return std::make_unique<PolynomialTrajectory>(std::move(times), std::move(segments), end);
}

void checkSampledMotion(const Motion& motion, const MotionLimits& limits, const JointArray& lower,
                        const JointArray& upper, const std::string& what,
                        const std::function<std::string(double)>& describe_time) {
  JointSample sample, previous;
  motion.sample(0.0, previous);
  JointArray low = lower, high = upper;
  for (int j = 0; j < kJoints; ++j) {
    low[j] = std::min(low[j], previous.position[j]);
    high[j] = std::max(high[j], previous.position[j]);
  }
  auto when = [&](double t) { return describe_time ? describe_time(t) : "at t = " + number(t) + " s"; };
  // One sample past the rest covers the step into the hold.
  const long last = restCycle(motion) + 1;
  for (long k = 0; k <= last; ++k) {
    const double t = static_cast<double>(k) * kSamplePeriod;
    motion.sample(t, sample);
    for (int j = 0; j < kJoints; ++j) {
      const std::string joint = "joint " + std::to_string(j + 1);
      const double v_max = limits.max_velocity[j] * (1 + kMargin);
      const double a_max = limits.max_acceleration[j] * (1 + kMargin);
      // What the motors see is the sampled set-point: from one sample to the
      // next it may move no farther than the velocity limit allows, whatever
      // the velocities reported at the samples (a segment shorter than a
      // sample period lies between two samples).
      const double step = std::fabs(sample.position[j] - previous.position[j]);
      if (k > 0 && step > v_max * kSamplePeriod) {
        refuse(what, joint + "'s position would change by " + number(step) + " rad in one sample period " +
                         when(t) + ", " + number(step / kSamplePeriod) + " rad/s, above its velocity limit " +
                         number(limits.max_velocity[j]) + " rad/s");
      }
      if (sample.position[j] < low[j] || sample.position[j] > high[j]) {
        refuse(what, joint + " would reach " + number(sample.position[j]) + " rad " + when(t) +
                         ", outside its limits [" + number(lower[j]) + ", " + number(upper[j]) + "]");
      }
      if (std::fabs(sample.velocity[j]) > v_max) {
        refuse(what, joint + " would move at " + number(sample.velocity[j]) + " rad/s " + when(t) +
                         ", above its velocity limit " + number(limits.max_velocity[j]) + " rad/s");
      }
      if (std::fabs(sample.acceleration[j]) > a_max) {
        refuse(what, joint + " would accelerate at " + number(sample.acceleration[j]) + " rad/s² " + when(t) +
                         ", above its acceleration limit " + number(limits.max_acceleration[j]) + " rad/s²");
      }
      const double change = std::fabs(sample.velocity[j] - previous.velocity[j]) / kSamplePeriod;
      if (k > 0 && change > a_max) {
        refuse(what, joint + "'s velocity would change by " + number(change) + " rad/s per second " +
                         when(t) + ", above its acceleration limit " + number(limits.max_acceleration[j]) +
                         " rad/s²");
      }
    }
    previous = sample;
  }
}

}  // namespace motion
}  // namespace kav
