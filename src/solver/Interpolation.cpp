#include <solver/Interpolation.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace kav {
namespace solve {

namespace {

void requirePointer(const double* p, const char* routine, const char* name) {
  if (p == nullptr) {
    throw std::invalid_argument(std::string(routine) + ": " + name + " is a null pointer");
  }
}

void requireFinite(double value, const char* routine, const char* name) {
  if (!std::isfinite(value)) {
    throw std::invalid_argument(std::string(routine) + ": " + name + " is not finite");
  }
}

// The value in single precision; a double beyond float's range is refused
// rather than turned into infinity.
float toSingle(double value, const char* name) {
  const float single = static_cast<float>(value);
  if (!std::isfinite(single)) {
    throw std::invalid_argument(std::string("Interpolation: ") + name + " is not finite in single precision");
  }
  return single;
}

// Relative allowance on the landing test's speed bound, for single-precision rounding.
constexpr float kLandingAllowance = 1.001f;

// Square root of a single-precision radicand, taken in double and rounded
// back; a radicand made negative by rounding counts as zero.
float singleSqrt(float radicand) {
  return radicand > 0.0f ? static_cast<float>(std::sqrt(static_cast<double>(radicand))) : 0.0f;
}

}  // namespace

void Interpolation(double* get_pos, double* temp_pos, double* send_vel, double max_acc, double max_vel,
                   double /*frequency*/) {
  requirePointer(get_pos, "Interpolation", "get_pos");
  requirePointer(temp_pos, "Interpolation", "temp_pos");
  requirePointer(send_vel, "Interpolation", "send_vel");
  const float target_pos = toSingle(*get_pos, "get_pos");
  float current_pos = toSingle(*temp_pos, "temp_pos");
  const float acc = toSingle(max_acc, "max_acc");
  const float dec = acc;
  const float max_speed = toSingle(max_vel, "max_vel");
  const float update_interval = 0.03f;

  float speed = 0.0f;
  if (acc > 0.0f && max_speed > 0.0f) {
    const float distance = target_pos - current_pos;
    const float acc_distance = max_speed * max_speed / (acc + acc);
    const float dec_distance = max_speed * max_speed / (dec + dec);
    if (distance > 0.0f) {
      if (distance < acc_distance) {
        speed = singleSqrt((acc + acc) * distance);
      } else if (distance > acc_distance + dec_distance) {
        speed = max_speed;
      } else {
        speed = singleSqrt(max_speed * max_speed - (distance - acc_distance) * (dec + dec));
      }
    } else {
      const float d = -distance;
      if (d < dec_distance) {
        speed = -singleSqrt((dec + dec) * d);
      } else if (d > acc_distance + dec_distance) {
        speed = -max_speed;
      } else {
        speed = -singleSqrt(max_speed * max_speed - (d - dec_distance) * (acc + acc));
      }
    }
  }
  const float next_pos = speed * update_interval + current_pos;
  if (!std::isfinite(speed) || !std::isfinite(next_pos)) {
    throw std::invalid_argument("Interpolation: positions and limits overflow single precision");
  }
  // Next to the target the step would reach or pass it. When that step's
  // speed is within one acceleration step of zero, land on the target at
  // rest: otherwise set-point and speed would go on chattering around the
  // target (the steps of speed * 0.03 settle into a cycle of +-acc * 0.03,
  // hence the small allowance for rounding).
  const float remaining = target_pos - current_pos;
  if (acc > 0.0f && max_speed > 0.0f && std::fabs(speed * update_interval) >= std::fabs(remaining) &&
      std::fabs(speed) <= acc * update_interval * kLandingAllowance) {
    *send_vel = 0.0;
    *temp_pos = static_cast<double>(target_pos);
    return;
  }
  current_pos = next_pos;
  *send_vel = static_cast<double>(speed);
  *temp_pos = static_cast<double>(current_pos);
}

void Linearinterpolation(double* temp_pos, double target, double ramp_k, double frequency) {
  requirePointer(temp_pos, "Linearinterpolation", "temp_pos");
  requireFinite(*temp_pos, "Linearinterpolation", "temp_pos");
  requireFinite(target, "Linearinterpolation", "target");
  requireFinite(ramp_k, "Linearinterpolation", "ramp_k");
  requireFinite(frequency, "Linearinterpolation", "frequency");
  if (frequency <= 0.0) {
    throw std::invalid_argument("Linearinterpolation: frequency must be positive");
  }
  const double delta = target - *temp_pos;
  // A negative rate would otherwise move the setpoint away from the target.
  const double step = std::fabs(ramp_k / frequency);
  if (step >= std::fabs(delta)) {
    *temp_pos = target;
  } else if (delta > 0.0) {
    *temp_pos += step;
  } else {
    *temp_pos -= step;
  }
}

double TrapezoidalInterpolation(double now, double start, double target, double max_acc, double max_vec,
                                double /*frequency*/) {
  if (std::isnan(now)) {
    throw std::invalid_argument("TrapezoidalInterpolation: now is not a number");
  }
  requireFinite(start, "TrapezoidalInterpolation", "start");
  requireFinite(target, "TrapezoidalInterpolation", "target");
  requireFinite(max_acc, "TrapezoidalInterpolation", "max_acc");
  requireFinite(max_vec, "TrapezoidalInterpolation", "max_vec");
  if (max_acc <= 0.0 || max_vec <= 0.0) return target;
  if (now <= 0.0) return start;

  const double distance = std::fabs(target - start);
  if (distance == 0.0) return target;
  const double direction = target >= start ? 1.0 : -1.0;
  // Time and distance to reach max_vec from rest; the same to stop again.
  double ramp_time = max_vec / max_acc;
  double ramp_distance = 0.5 * max_acc * ramp_time * ramp_time;
  double peak_speed = max_vec;
  if (2.0 * ramp_distance > distance) {  // triangular: max_vec is never reached
    ramp_time = std::sqrt(distance / max_acc);
    ramp_distance = 0.5 * distance;
    peak_speed = max_acc * ramp_time;
  }
  const double cruise_time = (distance - 2.0 * ramp_distance) / peak_speed;
  const double total_time = 2.0 * ramp_time + cruise_time;

  double travelled;
  if (now >= total_time) {
    travelled = distance;
  } else if (now < ramp_time) {
    travelled = 0.5 * max_acc * now * now;
  } else if (now < ramp_time + cruise_time) {
    travelled = ramp_distance + peak_speed * (now - ramp_time);
  } else {
    const double remaining = total_time - now;
    travelled = distance - 0.5 * max_acc * remaining * remaining;
  }
  return start + direction * travelled;
}

}  // namespace solve
}  // namespace kav
