#pragma once
// What the arm's model says about the measured joints: the gravity torques
// and the end-effector pose.

#include <Eigen/Geometry>
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

 private:
  KinematicDynamicSolver& solver_;
  KDL::JntArray measured_;
  KDL::JntArray gravity_;
};

}  // namespace t8
}  // namespace kav
