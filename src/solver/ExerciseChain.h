#pragma once
// Pieces of the analytic kinematics that several of its source files share.
// Internal to the library; not installed.

namespace kav {
namespace solve {
namespace detail {

/// DH joint angles of the six model-convention joints @p q: joints 3, 4 and
/// 5 carry the constant offsets +0.24, -0.24 and +pi/2 (added in double).
void model_angles(const float* q, float* theta);

/// The six link transforms T01 ... T56 of the model joints @p q.
void link_transforms(const float* q, float (*links)[4][4]);

/// Arm-convention joints (double) to model-convention joints (float):
/// rounded to float, elements 1 and 4 negated.
void arm_to_model(const double* q, float* joint);

/// Solves (N) dq = g in double precision for the damped normal matrix N.
/// Returns false, leaving @p dq untouched, when N's determinant is exactly 0.
bool damped_step(float (*N)[6], const float* g, double* dq);

/// Model end-frame rotation of a tool rotation (frame of q7_fk):
/// @p R_desri = @p R_tool * Rx(1.5708) * Ry(1.5708).
void tool_to_model_rotation(float (*R_tool)[3], float (*R_desri)[3]);

/// As tool_to_model_rotation, with the tool rotation given as
/// Rz(yaw) * (Ry(pitch) * Rx(roll)).
void rpy_to_model_rotation(float roll, float pitch, float yaw, float (*R_desri)[3]);

/// Limits a model-convention seed: joint 3 to at most 2.7, joint 4 to at
/// most 1.1.
void limit_seed(float* q);

}  // namespace detail
}  // namespace solve
}  // namespace kav
