#include "motion/Motion.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kav {
namespace motion {

MotionLimits MotionLimits::defaults() {
  MotionLimits limits;
  limits.max_velocity.fill(config::kMaxVelocity);
  limits.max_acceleration.fill(config::kMaxAcceleration);
  return limits;
}

JointArray Motion::finalPosition() const {
  JointSample end;
  sample(duration(), end);
  return end.position;
}

long restCycle(const Motion& motion) {
  // A duration that is a whole number of periods up to rounding ends on that sample.
  return static_cast<long>(std::ceil(motion.duration() / kSamplePeriod - 1e-9));
}

void Hold::sample(double /*t*/, JointSample& out) const {
  out.position = position_;
  out.velocity.fill(0.0);
  out.acceleration.fill(0.0);
}

Sequence::Sequence(std::unique_ptr<Motion> first, std::unique_ptr<Motion> second)
    : first_(std::move(first)), second_(std::move(second)) {
  offset_ = static_cast<double>(restCycle(*first_)) * kSamplePeriod;
}

double Sequence::duration() const { return offset_ + second_->duration(); }

void Sequence::sample(double t, JointSample& out) const {
  if (t < offset_) {
    first_->sample(t, out);
  } else {
    second_->sample(t - offset_, out);
  }
}

SampledPath::SampledPath(std::vector<JointArray> positions, std::vector<JointArray> velocities)
    : positions_(std::move(positions)), velocities_(std::move(velocities)) {
  if (positions_.empty() || positions_.size() != velocities_.size()) {
    throw std::invalid_argument("SampledPath: needs as many velocities as positions, at least one");
  }
}

double SampledPath::duration() const { return static_cast<double>(positions_.size() - 1) * kSamplePeriod; }

void SampledPath::sample(double t, JointSample& out) const {
  const double step = std::floor(std::max(t, 0.0) / kSamplePeriod + 1e-6);
  const std::size_t last = positions_.size() - 1;
  const std::size_t k = step >= static_cast<double>(last) ? last : static_cast<std::size_t>(step);
  out.position = positions_[k];
  out.velocity = velocities_[k];
  for (int j = 0; j < kJoints; ++j) {
    out.acceleration[j] = k < last ? (velocities_[k + 1][j] - velocities_[k][j]) / kSamplePeriod : 0.0;
  }
}

}  // namespace motion
}  // namespace kav
