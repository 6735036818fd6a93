#pragma once
/// @file Interpolation.h
/// Joint set-point interpolation and the point-mass gravity torque model, in
/// namespace kav::solve.

namespace kav {
namespace solve {

// ============================================================= interpolation
// (Interpolation, Linearinterpolation, TrapezoidalInterpolation)
//
// The routines keep no state: what persists between calls is the running
// setpoint *temp_pos, owned by the caller. Bad input (a null pointer, a value
// that is not finite) throws std::invalid_argument and changes nothing.

/// Advances the running setpoint *temp_pos one step towards *get_pos.
///
/// Computed in single precision step by step (each square root in double of
/// a single-precision argument, rounded back), so *temp_pos comes back as a
/// single-precision value. With D = max_vel^2 / (2 max_acc) and d the
/// remaining distance, the speed magnitude is sqrt(2 max_acc d) for d < D,
/// sqrt(max_vel^2 - 2 max_acc (d - D)) for D <= d <= 2D and max_vel beyond,
/// signed towards the target; the setpoint moves by speed * 0.03 whatever the
/// call rate. A rounding-negative radicand counts as zero. A limit that is
/// zero or negative holds the setpoint still with speed 0. When that step
/// would reach or pass the target at a speed within one acceleration step
/// of zero (|speed| <= max_acc * 0.03), the setpoint lands on the target with
/// speed 0 and stays there.
/// @param get_pos target (read)
/// @param temp_pos running setpoint (read and written)
/// @param send_vel speed of this step (written)
/// @param max_acc acceleration limit
/// @param max_vel speed limit
/// @param frequency not used: the step interval is the constant 0.03
/// @throw std::invalid_argument on a null pointer, or a target, setpoint or
///        limit that is not finite or out of single-precision range
void Interpolation(double* get_pos, double* temp_pos, double* send_vel, double max_acc, double max_vel,
                   double frequency);

/// Moves the running setpoint *temp_pos by |ramp_k| / frequency towards
/// @p target, or onto it when that step would reach or pass it. Double
/// precision.
/// @param temp_pos running setpoint (read and written)
/// @param target target
/// @param ramp_k rate in setpoint units per second (its sign is ignored)
/// @param frequency calls per second, positive
/// @throw std::invalid_argument on a null pointer, a value that is not
///        finite, or a frequency that is not positive
void Linearinterpolation(double* temp_pos, double target, double ramp_k, double frequency);

/// Position at time @p now of a trapezoidal velocity profile from @p start to
/// @p target: accelerate at @p max_acc up to @p max_vec, cruise, decelerate at
/// @p max_acc to rest at @p target. Where the distance is too short to reach
/// @p max_vec the profile is triangular. Returns @p start for now <= 0,
/// @p target once the motion has ended, and @p target at once when either
/// limit is zero or negative.
/// @param now seconds since the motion began (may be +infinity)
/// @param start position at rest when the motion begins
/// @param target position at rest when the motion ends
/// @param max_acc acceleration and deceleration limit
/// @param max_vec speed limit
/// @param frequency not used: the profile is a function of time alone
/// @throw std::invalid_argument when @p now is NaN or another value is not
///        finite
double TrapezoidalInterpolation(double now, double start, double target, double max_acc, double max_vec,
                                double frequency);

// ========================================================= end interpolation

// ============================================================= gravity model
// (q7_get_Tau)
// std::vector is needed here only; its header goes outside the namespace.
}  // namespace solve
}  // namespace kav

#include <vector>

namespace kav {
namespace solve {

/// Joint torques (N m) that hold the arm still against gravity, from a
/// point-mass model of its own (not the robot description), computed in
/// single precision and scaled by the model-to-real factor 1.24.
/// @param q_ six joint positions in the arm convention (rad).
/// @param type arm variant: 1 selects the 0.75 kg end mass, any other value
///        the 0.6 kg one.
/// @return six torques, joints 1-6. Joint 1 turns about the vertical, so its
///         torque is 0 up to rounding.
std::vector<double> q7_get_Tau(double* q_, int type);

// ========================================================= end gravity model

}  // namespace solve
}  // namespace kav
