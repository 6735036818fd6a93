#pragma once
/// @file Interpolation.h
/// Joint set-point interpolation and the point-mass gravity torque model, in
/// namespace kav::solve.

namespace kav {
namespace solve {

// ============================================================= interpolation
// (Interpolation, Linearinterpolation, TrapezoidalInterpolation)

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
