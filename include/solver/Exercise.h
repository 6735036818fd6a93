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
/// The same six values written to @p out (six doubles), without allocating.
void Isometry2Xyzrpy(const Eigen::Isometry3d& pose, double* out);

// =================================================================== end poses

// ================================================================= DH model
// (DH tables, matrix helpers, forward kinematics, Jacobian, LM inverse
//  kinematics, joint-limit and workspace checks)
//
// Everything below works on plain single-precision arrays owned by the
// caller: transforms are float[4][4] row-major (rotation in the upper-left
// 3x3 block, translation in column 3), rotations float[3][3], positions
// float[3]. No routine allocates on the heap.
//
// Two joint conventions meet here. The model convention is the one of the
// DH rows below (fk, ik_LM, my_get_jacobe). The arm convention, used by the
// q7_* front ends and the checks, turns joints 2 and 5 the other way: an arm
// vector becomes a model vector by negating its elements 1 and 4.

/// DH link lengths a (m), one per joint, joint 1 first.
extern float a[6];
/// DH link twists alpha (rad), one per joint.
extern float alpha[6];
/// DH link offsets d (m), one per joint.
extern float d[6];
/// Reference joint configuration of the inverse-kinematics front ends and
/// of the joint-limit check (model convention, all zero at load time). Target
/// positions are measured from the end point of fk(q0_test1).
extern float q0_test1[6];

/// Link transform of one standard DH row:
/// Rot_z(q) * Trans_z(d) * Trans_x(a) * Rot_x(alpha), written to @p R.
void get_dh_T(float a, float alpha, float d, float q, float (*R)[4]);

/// @p result = @p matrixA * @p matrixB for 4x4 matrices. @p result must not
/// overlap either input.
void T_dot_T(float (*matrixA)[4], float (*matrixB)[4], float (*result)[4]);

/// @p result = @p matrixA * @p matrixB for 3x3 matrices. @p result must not
/// overlap either input.
void R_dot_R(float (*matrixA)[3], float (*matrixB)[3], float (*result)[3]);

/// Copies the rotation block of @p T into @p R.
void T_2_R(float (*T)[4], float (*R)[3]);

/// Copies the translation column of @p T into @p P.
void T_2_P(float (*T)[4], float* P);

/// @p Rt = transpose of @p R; @p Rt must not overlap @p R.
void R_trans(float (*R)[3], float (*Rt)[3]);

/// @p relt = @p R * @p P; @p relt must not overlap @p P.
void R_dot_P(float (*R)[3], float* P, float* relt);

/// Inverse of the rigid transform @p T (no orthonormality check). @p Tinv may
/// be the same array as @p T.
void my_invT(float (*T)[4], float (*Tinv)[4]);

/// The three elementary rotations about x (@p roll), y (@p M_PItch) and z
/// (@p yaw), each into its own output; they are not multiplied.
void R_rot_xyz(float roll, float M_PItch, float yaw, float (*Rx)[3], float (*Ry)[3], float (*Rz)[3]);

/// Roll, pitch, yaw of @p R = Rz(yaw) * Ry(pitch) * Rx(roll), into @p rpy.
/// At pitch = +-pi/2 (as a float) roll is reported as 0 and the whole
/// rotation about the vertical goes into yaw.
void my_GetRPY(float (*R)[3], float* rpy);

/// Forward kinematics of the DH model: @p q holds six model-convention
/// joint angles (not modified); @p T receives the end-frame transform.
void fk(float* q, float (*T)[4]);

/// End-effector pose of six arm-convention joint positions @p q (rad):
/// @p send_end receives x, y, z (m, relative to the end point of the zero
/// configuration) and roll, pitch, yaw (rad) of the tool frame, whose x axis
/// is the approach direction.
void q7_fk(double* q, double* send_end);

/// As q7_fk, with the pose written into rows 0-2 of @p T_desir; row 3 is
/// left as the caller had it.
void q7_fk_matrix(double* q, double (*T_desir)[4]);

/// Differential motion from pose @p A to pose @p B expressed in frame @p A:
/// translation then rotation, six values into @p dlt.
void my_tr2dlta(float (*A)[4], float (*B)[4], float* dlt);

/// End-frame Jacobian (rows: translation, rotation; columns: joints) of the
/// DH model at the model-convention joints @p q_.
void my_get_jacobe(float* q_, float (*jc)[6]);

/// @p Jt = transpose of the 6x6 @p J; @p Jt must not overlap @p J.
void jcb_trans(float (*J)[6], float (*Jt)[6]);

/// @p result = @p matrixA * @p matrixB for 6x6 matrices; @p result must not
/// overlap either input.
void J_dot_J(float (*matrixA)[6], float (*matrixB)[6], float (*result)[6]);

/// @p relt = @p R * @p P for a 6x6 matrix and a 6-vector.
void J_dot_P(float (*R)[6], float* P, float* relt);

/// How an inverse-kinematics search ended.
enum class IkExit {
  kConverged,       ///< the pose error fell below the tolerance
  kIterationLimit,  ///< 500 iterations without convergence
  kRejectionLimit,  ///< 101 rejected steps in a row
};

/// Outcome of an inverse-kinematics search, for callers that need to know
/// whether the returned joints actually reach the target.
struct IkStatus {
  IkExit exit = IkExit::kConverged;  ///< why the search ended
  int iterations = 0;                ///< Jacobians evaluated
  int singular_steps = 0;            ///< steps rejected for a singular normal matrix
  float error_norm = 0.0f;           ///< pose error norm of the returned joints
};

/// Damped least-squares (Levenberg-Marquardt) inverse kinematics of the DH
/// model. @p T_desir is the target end-frame transform, @p q0 six
/// model-convention seed angles (not modified); @p q_ik receives the last
/// accepted iterate (the seed if no step was accepted). Prints
/// "out of ilimit! ..." when the iteration limit ends the search and
/// "J is signatur ! ..." for a singular damped normal matrix (that step is
/// rejected). It never reports failure otherwise; use the overload with
/// IkStatus to find out.
void ik_LM(float (*T_desir)[4], float* q0, float* q_ik);
/// As above; @p status (may be null) receives how the search ended.
void ik_LM(float (*T_desir)[4], float* q0, float* q_ik, IkStatus* status);

/// Inverse kinematics for a target in the pose convention of q7_fk.
/// @param q0 seed, six arm-convention joints; joint 3 above 2.7 and joint 4
///        above 1.1 start from those values.
/// @param endstate_ target x, y, z, roll, pitch, yaw. A negative x is solved
///        as 0, and 0 is written back into @p endstate_[0].
/// @param jointstate receives six arm-convention joints.
void q7_ik_lm(double* q0, double* endstate_, double* jointstate);
/// As above; @p status (may be null) receives how the search ended.
void q7_ik_lm(double* q0, double* endstate_, double* jointstate, IkStatus* status);

/// As q7_ik_lm with the target as a 4x4 pose in the frame of q7_fk_matrix
/// (rows 0-2 are read). A negative x is kept.
void q7_ik_lm_matrix(double* q0, double (*Tdesir)[4], double* jointstate);
/// As above; @p status (may be null) receives how the search ended.
void q7_ik_lm_matrix(double* q0, double (*Tdesir)[4], double* jointstate, IkStatus* status);

/// Solves the target pose @p endstate_ (as for q7_ik_lm, without clamping x)
/// from the arm-convention seed @p q0 and checks the solution against the
/// joint ranges, printing a message per joint out of range. When all joints
/// are in range, joints 1-5 of @p jointstate get the solution (arm
/// convention); otherwise they are kept, except that joint 3 is set to the
/// range end it passed. Joint 6 always gets the solution.
/// @return true when some joint would leave its range.
/// @throw std::invalid_argument if a value of @p q0 or @p endstate_ is not
///        finite; nothing is printed or written then.
bool is_joint_lmt(float* q0, float* endstate_, float* jointstate);

/// Prints a message for each bound of the workspace box that the target
/// @p in_frame (x, y, z, roll, pitch, yaw) reaches, copies it to
/// @p out_frame, and decides whether the joint-4 point of the target lies
/// farther than @p r (m) from the shoulder point. Only @p init_frame[0][3]
/// (an x shift of the shoulder) is read from @p init_frame.
/// @return true (with a message) when the joint-4 point is outside the sphere.
/// @throw std::invalid_argument if a value of @p in_frame, @p r or
///        @p init_frame[0][3] is not finite; nothing is printed or written then.
bool is_out_spherical_wan(float (*init_frame)[4], float* in_frame, float r, float* out_frame);

/// Joint-4 point of the target pose @p end_state (x, y, z, roll, pitch, yaw;
/// the rotation taken as Rx(roll)*Ry(pitch)*Rz(yaw)), with the wrist
/// @p end2wan behind the end point along the tool x axis. When the tool x
/// axis is along the base y axis the joint-4 direction is undefined and the
/// wrist point itself is returned.
void q7_get_jonit4_pos(float end2wan, float* end_state, float* joint4_pos);

// ============================================================== end DH model

}  // namespace solve
}  // namespace kav
