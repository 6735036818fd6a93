#include "motion/PointToPoint.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace kav {
namespace motion {

double timeOptimalDuration(double distance, double max_velocity, double max_acceleration) {
  if (distance <= 0.0) return 0.0;
  if (distance >= max_velocity * max_velocity / max_acceleration) {
    return distance / max_velocity + max_velocity / max_acceleration;
  }
  return 2.0 * std::sqrt(distance / max_acceleration);
}

SynchronizedMove::SynchronizedMove(const JointArray& start, const JointArray& target,
                                   const MotionLimits& limits, double speed_scale)
    : start_(start), target_(target) {
  if (!(speed_scale >= kMinSpeedScale && speed_scale <= 1.0)) {
    char text[96];
    std::snprintf(text, sizeof text, "SynchronizedMove: speed_scale must lie in [%g, 1], got %g",
                  kMinSpeedScale, speed_scale);
    throw std::invalid_argument(text);
  }
  JointArray own{};
  for (int j = 0; j < kJoints; ++j) {
    const double v = limits.max_velocity[j] * speed_scale;
    const double a = limits.max_acceleration[j] * speed_scale * speed_scale;
    own[j] = timeOptimalDuration(std::fabs(target[j] - start[j]), v, a);
    duration_ = std::max(duration_, own[j]);
  }
  for (int j = 0; j < kJoints; ++j) {
    const double distance = std::fabs(target[j] - start[j]);
    if (distance == 0.0) continue;
    const double v = limits.max_velocity[j] * speed_scale;
    const double a = limits.max_acceleration[j] * speed_scale * speed_scale;
    // The joint's own profile, then stretched by duration_ / own[j].
    const double ramp = std::min(v / a, own[j] / 2);
    const double stretch = duration_ / own[j];
    Profile& profile = profiles_[j];
    profile.sign = target[j] > start[j] ? 1.0 : -1.0;
    profile.ramp = ramp * stretch;
    profile.cruise = a * ramp / stretch;
    profile.accel = a / (stretch * stretch);
  }
}

void SynchronizedMove::sample(double t, JointSample& out) const {
  for (int j = 0; j < kJoints; ++j) {
    const Profile& p = profiles_[j];
    if (p.sign == 0.0 || t >= duration_) {
      out.position[j] = target_[j];
      out.velocity[j] = 0.0;
      out.acceleration[j] = 0.0;
      continue;
    }
    const double distance = std::fabs(target_[j] - start_[j]);
    double s, v, a;
    if (t < p.ramp) {
      s = 0.5 * p.accel * t * t;
      v = p.accel * t;
      a = p.accel;
    } else if (t <= duration_ - p.ramp) {
      s = 0.5 * p.accel * p.ramp * p.ramp + p.cruise * (t - p.ramp);
      v = p.cruise;
      a = 0.0;
    } else {
      const double left = duration_ - t;
      s = distance - 0.5 * p.accel * left * left;
      v = p.accel * left;
      a = -p.accel;
    }
    out.position[j] = start_[j] + p.sign * s;
    out.velocity[j] = p.sign * v;
    out.acceleration[j] = p.sign * a;
  }
}

StopProfile::StopProfile(const JointSample& start, const MotionLimits& limits) : start_(start) {
  for (int j = 0; j < kJoints; ++j) {
    duration_ = std::max(duration_, std::fabs(start.velocity[j]) / limits.max_acceleration[j]);
  }
  for (int j = 0; j < kJoints; ++j) {
    deceleration_[j] = duration_ > 0.0 ? start.velocity[j] / duration_ : 0.0;
  }
}

void StopProfile::sample(double t, JointSample& out) const {
  const double tau = std::min(std::max(t, 0.0), duration_);
  const bool stopping = t < duration_;
  for (int j = 0; j < kJoints; ++j) {
    out.position[j] = start_.position[j] + start_.velocity[j] * tau - 0.5 * deceleration_[j] * tau * tau;
    out.velocity[j] = stopping ? start_.velocity[j] - deceleration_[j] * tau : 0.0;
    out.acceleration[j] = stopping ? -deceleration_[j] : 0.0;
  }
}

bool atRest(const JointSample& sample) {
  return std::all_of(sample.velocity.begin(), sample.velocity.end(), [](double v) { return v == 0.0; });
}

}  // namespace motion
}  // namespace kav
