#pragma once
/// @file Exercise.h
/// Arm mathematics in namespace kav::solve: pose conversions, the DH model and
/// its matrix helpers, analytic forward and inverse kinematics, joint-limit
/// and workspace checks.

#include <Eigen/Geometry>

namespace kav {
namespace solve {

// ===================================================================== poses
// (pose conversions between isometries and x, y, z, roll, pitch, yaw)

// =================================================================== end poses


// ================================================================= DH model
// (DH tables, matrix helpers, forward kinematics, Jacobian, LM inverse
//  kinematics, joint-limit and workspace checks)

// ============================================================== end DH model

}  // namespace solve
}  // namespace kav
