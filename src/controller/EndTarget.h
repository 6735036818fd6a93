#pragma once
// END_CONTROL's joint target: the host's pose solved for the six joints each
// cycle, and, while it has no solution, the reachable edge toward it from the
// search worker.

#include <Eigen/Geometry>
#include <array>
#include <kdl/jntarray.hpp>
#include <memory>
#include <string>

#include "config/ArmConfig.h"
#include "controller/ControlLaws.h"
#include "controller/EdgeSearch.h"
#include "solver/FixedSizeLma.h"
#include "solver/kinematic_dynamic_solver.h"

namespace kav {
namespace t8 {

/// The joint positions END_CONTROL drives toward. A target with a solution
/// is solved once per cycle, from the measured joints. Once it has none, the
/// cycle would not fit in 5 ms with the edge search (up to ten more failing
/// solves of about 2 ms each), so the search runs on the worker from that
/// cycle's state and each cycle takes the newest finished result. The
/// worker also solves the target first in every search; when that
/// succeeds, the target is solved here again from the next cycle on.
///
/// The solve in the cycle allocates nothing: it is the chain solver's
/// Levenberg-Marquardt iteration on fixed-size matrices, which finds the
/// chain solver's solutions (within 1e-10 rad on random poses from seeds
/// within 0.2 rad, bench_ik) at a quarter of its cost.
class EndTarget {
 public:
  /// @param solver the controller's solver (control thread only)
  /// @param urdf_path description for the worker's own solver
  /// @param worker_thread false: the search runs in runPending()
  EndTarget(KinematicDynamicSolver& solver, const std::string& urdf_path, bool worker_thread);

  /// This cycle's target for the pose @p command (clamped to the workspace
  /// box), from the measured joints in @p feedback and the measured pose
  /// @p measured. @p entering says END_CONTROL did not run the cycle
  /// before, which forgets a search in progress.
  /// @return false when no pose was ever solved (hold the set-points then)
  bool update(bool entering, const laws::Feedback& feedback, const Eigen::Isometry3d& measured,
              const Eigen::Isometry3d& command, std::array<double, config::kArmJoints>& target);

  /// Solves the pose @p pose (x, y, z, roll, pitch, yaw) from the joint
  /// positions @p seed; the solution becomes the target.
  /// @return false, with the target unchanged, when there is no solution
  bool solve(const double* seed, const double* pose);

  /// Without a worker thread: runs the search asked for by the last cycle.
  void runPending() { search_->runPending(); }

 private:
  KinematicDynamicSolver& solver_;
  FixedSizeLma lma_;
  KDL::JntArray solution_;  // the last successful solution; size 0 until one
  KDL::JntArray seed_;      // a solve's start
  KDL::JntArray scratch_;   // a solve's result, before it is known to succeed
  bool searching_edge_ = false;
  std::unique_ptr<EdgeSearch> search_;
};

}  // namespace t8
}  // namespace kav
