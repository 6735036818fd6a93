#include "controller/StatusEstimator.h"

#include "solver/Exercise.h"

namespace kav {
namespace t8 {

StatusEstimator::StatusEstimator(KinematicDynamicSolver& solver)
    : solver_(solver),
      measured_(config::kArmJoints),
      gravity_(config::kArmJoints),
      jacobian_solver_(solver.chain()),
      kdl_jacobian_(config::kArmJoints) {}

void StatusEstimator::update(laws::Feedback& feedback, Eigen::Isometry3d& pose) {
  for (int i = 0; i < config::kArmJoints; ++i) measured_(i) = feedback.joints[i].position;
  solver_.computeGravityCompensationTorque(measured_, gravity_);
  for (int i = 0; i < config::kArmJoints; ++i) feedback.gravity[i] = gravity_(i);

  const KDL::Frame end_effector = solver_.computeForwardKinematics(measured_);
  double end[6] = {end_effector.p.x(), end_effector.p.y(), end_effector.p.z(), 0, 0, 0};
  end_effector.M.GetRPY(end[3], end[4], end[5]);
  pose = solve::Xyzrpy2Isometry(end);
  // KDL's twist order is linear then angular, as the Jacobian's rows here.
  if (jacobian_solver_.JntToJac(measured_, kdl_jacobian_) >= 0) jacobian_ = kdl_jacobian_.data;
}

}  // namespace t8
}  // namespace kav
