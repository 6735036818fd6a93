#pragma once
/// @file Exercise.h
/// Arm mathematics in namespace kav::solve: pose conversions, the DH model and
/// its matrix helpers, analytic forward and inverse kinematics, joint-limit
/// and workspace checks.

#include <Eigen/Geometry>

#include <vector>

namespace kav {
namespace solve {

// ===================================================================== poses
// (pose conversions between isometries and x, y, z, roll, pitch, yaw)
//
// A pose six-vector holds x, y, z (translation in the base frame, in the
// description's length unit, metres) followed by roll, pitch, yaw in radians.
// Its rotation is R = Rz(yaw) * Ry(pitch) * Rx(roll): roll about the fixed X
// axis first, then pitch about the fixed Y axis, then yaw about the fixed Z
// axis (the convention of KDL's Rotation::RPY and GetRPY). The isometry maps
// end-effector coordinates to base coordinates.

/// Isometry of a pose six-vector.
/// @param input six values: x, y, z, roll, pitch, yaw
/// @return transform with linear part Rz(yaw)*Ry(pitch)*Rx(roll) and
///         translation (x, y, z)
/// @throw std::invalid_argument when @p input is a null pointer
Eigen::Isometry3d Xyzrpy2Isometry(const double* input);

/// Pose six-vector of an isometry, read from its linear part as it stands
/// (no orthonormalisation): roll = atan2(R21, R22), pitch = asin(-R20),
/// yaw = atan2(R10, R00). Results lie in roll, yaw in (-pi, pi] and pitch in
/// [-pi/2, pi/2]. The argument of asin is clamped to [-1, 1], so rounding
/// error at pitch +-pi/2 gives +-pi/2 rather than NaN; roll and yaw there are
/// whatever atan2 gives for the rounding residues.
/// @param pose transform from end-effector to base coordinates
/// @return six values: x, y, z, roll, pitch, yaw
std::vector<double> Isometry2Xyzrpy(const Eigen::Isometry3d& pose);

// =================================================================== end poses


// ================================================================= DH model
// (DH tables, matrix helpers, forward kinematics, Jacobian, LM inverse
//  kinematics, joint-limit and workspace checks)

// ============================================================== end DH model

}  // namespace solve
}  // namespace kav
