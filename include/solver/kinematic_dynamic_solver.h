#pragma once
/// @file kinematic_dynamic_solver.h
/// Forward kinematics, inverse kinematics and gravity torques of a serial arm
/// chain read from a URDF robot description.

#include <kdl/chain.hpp>
#include <kdl/frames.hpp>
#include <kdl/jntarray.hpp>
#include <kdl/tree.hpp>
#include <memory>
#include <string>

namespace KDL {
class ChainFkSolverPos_recursive;
class ChainIkSolverPos_LMA;
class ChainDynParam;
}  // namespace KDL

namespace kav {

/// Parses the robot description @p urdf_xml into @p tree. Unlike the tree
/// builder alone, it refuses (returns false, with a line on standard error
/// saying why): text whose elements nest more than 64 levels deep or number
/// more than 10000 (the XML parser recurses once per level; the text is
/// scanned for this first, without recursion); links that form a loop or a
/// chain of more than 256 links (the builder recurses once per link); and a
/// revolute or prismatic joint whose axis is not of unit length within 1e-3
/// (a zero axis would give NaN poses).
bool parseDescriptionTree(const std::string& urdf_xml, KDL::Tree& tree);

/// Refuses what cannot be a robot description file before reading a byte of
/// it: throws std::runtime_error for a path that is not a regular file (a
/// device or a FIFO) or a file larger than 1 MiB. A missing path passes, for
/// the reader to report.
void requireDescriptionFile(const std::string& path);

/// The same as parseDescriptionTree for the description in the file at
/// @p path, checked with requireDescriptionFile first; false also when the
/// file cannot be read or is empty.
bool parseDescriptionFile(const std::string& path, KDL::Tree& tree);

/// Chain solver on a URDF description of a six-joint arm.
///
/// Every position it reports or accepts is relative to the end-effector
/// position at the all-zero joint configuration; rotations are expressed in
/// the base frame. Joint arrays hold one value per chain joint, joint 1 first.
///
/// Each failure writes one line to standard error and throws
/// `std::runtime_error` with a fixed text. One object must not be used by two
/// threads at once: the computations share the solvers' work space.
class KinematicDynamicSolver {
 public:
  /// Inverse kinematics converges when the pose error, translation in metres
  /// and rotation in radians weighted by 0.01, has a norm below this.
  static constexpr double kIkTolerance = 1e-6;
  /// Inverse kinematics gives up when a joint step or the gradient becomes
  /// smaller than this.
  static constexpr double kIkStepTolerance = 1e-15;
  /// Inverse kinematics gives up after this many iterations.
  static constexpr int kIkMaxIterations = 500;

  /// Builds the solver on the chain from @p base_link to
  /// @p end_effector_link of the description file @p urdf_path.
  /// @param urdf_path path of a URDF file
  /// @param base_link name of the chain's base link
  /// @param end_effector_link name of the chain's last link
  /// @throw std::runtime_error "URDF parsing failed" when the file is missing
  ///        or not URDF; naming the path, before reading it, when it is not
  ///        a regular file (a FIFO, a device) or is larger than 1 MiB;
  ///        "Chain extraction failed" when the description has
  ///        no chain between the two links; "Forward kinematics computation
  ///        failed" when the chain does not have exactly six joints.
  KinematicDynamicSolver(const std::string& urdf_path, const std::string& base_link,
                         const std::string& end_effector_link);

  /// Builds the solver on the chain from "base_link" to "link6" of the URDF
  /// text @p urdf_xml.
  /// @param urdf_xml the description itself (not a path)
  /// @throw std::runtime_error as the file constructor.
  explicit KinematicDynamicSolver(const std::string& urdf_xml);

  ~KinematicDynamicSolver();

  KinematicDynamicSolver(const KinematicDynamicSolver&) = delete;
  KinematicDynamicSolver& operator=(const KinematicDynamicSolver&) = delete;

  /// End-effector frame for @p joint_angles; the position is relative to the
  /// zero-configuration position, so all zeros give position (0, 0, 0).
  /// @param joint_angles six joint angles in radians
  /// @throw std::runtime_error "Forward kinematics computation failed" when
  ///        the array has the wrong size or a value that is not finite.
  KDL::Frame computeForwardKinematics(const KDL::JntArray& joint_angles);

  /// Joint angles that reach @p target_pose, found by Levenberg–Marquardt
  /// iteration from @p initial_guess. No joint limits are applied.
  /// @param target_pose target in the coordinates that forward kinematics
  ///        reports; on return (also on failure) it holds the absolute target,
  ///        that is, it has been shifted by the zero-configuration position.
  /// @param initial_guess six joint angles to start from
  /// @throw std::runtime_error "Inverse kinematics computation failed" when
  ///        the iteration does not converge (for example an unreachable
  ///        pose), or on a wrong size or a value that is not finite.
  KDL::JntArray computeInverseKinematics(KDL::Frame& target_pose, const KDL::JntArray& initial_guess);

  /// The motors' torque commands that hold the arm still against gravity at
  /// @p joint_angles: the description's gravity torques in N·m, scaled by 0.8
  /// for joints 1–3 and by 1.32 for joints 4–6 (torqueCommand(), ArmDynamics.h).
  /// @param joint_angles six joint angles in radians
  /// @throw std::runtime_error "Dynamics computation failed" when the array
  ///        has the wrong size or a value that is not finite.
  KDL::JntArray computeGravityCompensationTorque(const KDL::JntArray& joint_angles);
  /// The same torques written to @p torques (sized like @p joint_angles),
  /// without allocating: for the control cycle.
  /// @throw std::runtime_error as the other form, also when @p torques has
  ///        the wrong size
  void computeGravityCompensationTorque(const KDL::JntArray& joint_angles, KDL::JntArray& torques);

  /// Whether no joint configuration at all (joint limits ignored, as in
  /// computeInverseKinematics) puts the end effector at @p position, in the
  /// coordinates that forward kinematics reports. A cheap outer bound of the
  /// chain's reach, to be asked before an inverse-kinematics solve that
  /// would otherwise iterate to its limit: when it returns true, every pose
  /// at @p position fails computeInverseKinematics. Near the edge of the
  /// reach it returns false for some positions that have no solution.
  /// Always false for a chain with a prismatic joint. Not finite: false.
  bool isOutOfReach(const KDL::Vector& position) const;

  /// The serial chain the solver works on, for solvers built beside it. It
  /// lives as long as this object.
  const KDL::Chain& chain() const { return chain_; }

  /// The end-effector frame at all-zero joint angles in base coordinates:
  /// adding its position to a position in the coordinates of this class
  /// gives the absolute position.
  const KDL::Frame& zeroFrame() const { return init_frame_; }

 private:
  void buildSolvers();
  void buildReachBound();

  KDL::Frame init_frame_;
  KDL::Tree tree_;
  KDL::Chain chain_;
  std::unique_ptr<KDL::ChainFkSolverPos_recursive> fk_solver_;
  std::unique_ptr<KDL::ChainIkSolverPos_LMA> ik_solver_;
  std::unique_ptr<KDL::ChainDynParam> dyn_param_solver_;
  KDL::Vector gravity_;

  // Reach bound (buildReachBound): the origin of joint 2 moves on a circle
  // about joint 1's axis, and the end effector stays within reach_length_
  // of it. Absolute base coordinates.
  bool reach_bounded_ = false;
  KDL::Vector reach_center_;
  KDL::Vector reach_axis_;
  double reach_radius_ = 0.0;
  double reach_length_ = 0.0;
};

}  // namespace kav
