#pragma once
/// @file PoseVector.h
/// The pose seven-vector of the scripting facade: x, y, z, qw, qx, qy, qz.

#include <Eigen/Geometry>
#include <vector>

namespace kav {
namespace t8 {

/// Pose seven-vector of @p pose: its translation x, y, z, then the
/// quaternion of its linear part taken as it stands, scalar part first
/// (qw, qx, qy, qz).
///
/// The quaternion comes from Eigen's matrix-to-quaternion conversion: for a
/// positive trace qw = sqrt(1 + trace) / 2; otherwise the component of the
/// largest diagonal element is computed first and taken positive, so a half
/// turn about X gives (0, 1, 0, 0), not (0, -1, 0, 0). It is not normalised
/// afterwards.
std::vector<double> poseVectorFromIsometry(const Eigen::Isometry3d& pose);

/// Isometry of the pose seven-vector @p pose (x, y, z, qw, qx, qy, qz;
/// values beyond the seventh are ignored): linear part the rotation matrix of
/// the quaternion scaled to unit length, translation (x, y, z).
/// @throw std::invalid_argument for fewer than seven values, a value that is
///        not finite, or a quaternion whose four values are all zero
Eigen::Isometry3d isometryFromPoseVector(const std::vector<double>& pose);

}  // namespace t8
}  // namespace kav
