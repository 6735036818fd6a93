#include "controller/EndTarget.h"

#include <algorithm>

#include "solver/Exercise.h"

namespace kav {
namespace t8 {

namespace {

using namespace config;

double limit(double v, double lb, double ub) {
  if (v < lb) return lb;
  if (v > ub) return ub;
  return v;
}

}  // namespace

EndTarget::EndTarget(KinematicDynamicSolver& solver, const std::string& urdf_path, bool worker_thread)
    : solver_(solver),
      scratch_(kArmJoints),
      search_(std::make_unique<EdgeSearch>(urdf_path, worker_thread)) {}

bool EndTarget::solve(const double* seed, const double* pose) {
  if (!solvePose(solver_, seed, pose, scratch_)) return false;
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
    end_command[i] = limit(commanded[i], kEndEffectorLower[i], kEndEffectorUpper[i]);

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
    solution_(i) = limit(solution_(i), kJointLower[i], kJointUpper[i]);
    target[i] = solution_(i);
  }
  return true;
}

}  // namespace t8
}  // namespace kav
