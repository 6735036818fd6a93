#include "controller/EndTarget.h"

#include <algorithm>
#include <cmath>

#include "solver/Exercise.h"

namespace kav {
namespace t8 {

using namespace config;

EndTarget::EndTarget(KinematicDynamicSolver& solver, const std::string& urdf_path, bool worker_thread)
    : solver_(solver),
      lma_(solver.chain(), KinematicDynamicSolver::kIkMaxIterations),
      seed_(kArmJoints),
      scratch_(kArmJoints),
      search_(std::make_unique<EdgeSearch>(urdf_path, worker_thread)) {}

bool EndTarget::solve(const double* seed, const double* pose) {
  KDL::Frame target(KDL::Rotation::RPY(pose[3], pose[4], pose[5]), KDL::Vector(pose[0], pose[1], pose[2]));
  // Beyond the reach bound every solve fails: no iteration is spent on it.
  if (solver_.isOutOfReach(target.p)) return false;
  target.p += solver_.zeroFrame().p;
  for (int i = 0; i < kArmJoints; ++i) {
    if (!std::isfinite(seed[i]) || !std::isfinite(pose[i])) return false;
    seed_(i) = seed[i];
  }
  if (!lma_.solve(seed_, target, scratch_)) return false;
  if (solution_.rows() != static_cast<unsigned>(kArmJoints)) solution_.resize(kArmJoints);
  solution_ = scratch_;
  return true;
}

bool EndTarget::update(bool entering, const laws::Feedback& feedback, const Eigen::Isometry3d& measured,
                       const Eigen::Isometry3d& command, std::array<double, kArmJoints>& target) {
  JointVector joints;
  for (int i = 0; i < kArmJoints; ++i) joints[i] = feedback.joints[i].position;
  double commanded[6];
  solve::Isometry2Xyzrpy(command, commanded);
  PoseVector end_command;
  for (int i = 0; i < 6; ++i)
    end_command[i] = std::clamp(commanded[i], kEndEffectorLower[i], kEndEffectorUpper[i]);

  if (entering && searching_edge_) {
    search_->discard();
    searching_edge_ = false;
  }
  bool target_failed_here = false;
  if (!searching_edge_ && !solve(joints.data(), end_command.data())) {
    searching_edge_ = true;
    target_failed_here = true;
  }
  if (searching_edge_) {
    PoseVector from;
    solve::Isometry2Xyzrpy(measured, from.data());
    search_->post(joints, from, end_command, target_failed_here);
    if (const std::optional<EdgeSearch::Result> result = search_->take()) {
      if (result->found) {
        solution_.resize(kArmJoints);
        for (int i = 0; i < kArmJoints; ++i) solution_(i) = result->solution[i];
      }
      if (result->target_solved) {
        search_->discard();
        searching_edge_ = false;
      }
    }
  }

  if (solution_.rows() != static_cast<unsigned>(kArmJoints)) return false;
  for (int i = 0; i < kArmJoints; ++i) {
    solution_(i) = std::clamp(solution_(i), kJointLower[i], kJointUpper[i]);
    target[i] = solution_(i);
  }
  return true;
}

}  // namespace t8
}  // namespace kav
