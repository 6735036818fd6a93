#pragma once
// What the arm's model says about the measured joints: the gravity torques
// and the end-effector pose.

#include <Eigen/Geometry>
#include <kdl/chainjnttojacsolver.hpp>
#include <kdl/jacobian.hpp>
#include <kdl/jntarray.hpp>

#include "controller/ControlLaws.h"
#include "solver/kinematic_dynamic_solver.h"

namespace kav {
namespace t8 {

/// Computes, from the measured arm joints, the gravity torques the laws
/// feed forward and the end-effector pose hosts read. Allocates nothing once
/// constructed. Control thread only (it uses the controller's solver).
class StatusEstimator {
 public:
  explicit StatusEstimator(KinematicDynamicSolver& solver);

  /// Fills @p feedback's gravity torques and @p pose from its joints.
  /// @throw std::runtime_error as the solver, for readings that are not finite
  void update(laws::Feedback& feedback, Eigen::Isometry3d& pose);
  /// The geometric Jacobian at the joints of the last update(): rows vx, vy,
  /// vz, wx, wy, wz in the base frame, reference point at the end effector.
  const Eigen::Matrix<double, 6, 6>& jacobian() const { return jacobian_; }

 private:
  KinematicDynamicSolver& solver_;
  KDL::JntArray measured_;
  KDL::JntArray gravity_;
  KDL::ChainJntToJacSolver jacobian_solver_;
  KDL::Jacobian kdl_jacobian_;
  Eigen::Matrix<double, 6, 6> jacobian_ = Eigen::Matrix<double, 6, 6>::Zero();
};

}  // namespace t8
}  // namespace kav
