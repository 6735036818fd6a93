#include "can_motor_dlc/MotorDlcBase.h"

#include <cmath>

namespace kav {
namespace hw_interface {

uint16_t float_to_uint(float x, float x_min, float x_max, int bits) {
  if (std::isnan(x)) x = 0.0f;
  const float span = x_max - x_min;
  const float all_ones = static_cast<float>((1 << bits) - 1);
  const float scaled = (all_ones * (x - x_min)) / span;
  // Saturate so that no value outside the field reaches the conversion.
  if (!(scaled > 0.0f)) return 0;
  if (scaled >= all_ones) return static_cast<uint16_t>((1 << bits) - 1);
  return static_cast<uint16_t>(static_cast<int>(scaled));
}

float uint_to_float(int x_int, float x_min, float x_max, int bits) {
  const float span = x_max - x_min;
  return (static_cast<float>(x_int) * span) / static_cast<float>((1 << bits) - 1) + x_min;
}

CanFrame MotorDlcBase::packSetZero() { return CanFrame{}; }

CanFrame MotorDlcBase::packClearError() { return CanFrame{}; }

void MotorDlcBase::resetCircle() {}

void MotorDlcBase::CanAnalyzeAt(CanFrame* frame, rt::Clock::time_point received) {
  receiving_ = true;
  received_ = received;
  CanAnalyze(frame);
  receiving_ = false;
}

void MotorDlcBase::rearm() {
  online_ = true;
  implausible_fault_.store(false);
  implausible_in_a_row_ = 0;
  has_reading_ = false;
}

bool MotorDlcBase::acceptReading(double reading, int* turn) {
  constexpr double kHalfTurn = 12.5;
  *turn = 0;
  if (has_reading_) {
    double step = reading - last_reading_;
    if (step > kHalfTurn) {
      step -= 2 * kHalfTurn;
      *turn = -1;
    } else if (step < -kHalfTurn) {
      step += 2 * kHalfTurn;
      *turn = 1;
    }
    if (!(std::fabs(step) <= kLargestPlausibleStep)) {
      *turn = 0;
      countDropped();
      if (++implausible_in_a_row_ >= kImplausibleInARow) implausible_fault_.store(true);
      return false;
    }
  }
  has_reading_ = true;
  last_reading_ = reading;
  implausible_in_a_row_ = 0;
  accepted_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

double MotorDlcBase::restrictBound(double num, double max, double min) {
  if (num > max) return max;
  if (num < min) return min;
  return num;
}

}  // namespace hw_interface
}  // namespace kav
