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

// ========================================================= end gravity model

}  // namespace solve
}  // namespace kav
