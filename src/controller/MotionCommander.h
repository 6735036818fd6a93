#pragma once
// The host threads' side of motions: checks and plans each motion, hands it
// to the control thread's MotionExecutor and owns it until it is no longer
// used.

#include <Eigen/Geometry>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "controller/MotionExecutor.h"
#include "motion/Motion.h"
#include "rt/Clock.h"
#include "solver/kinematic_dynamic_solver.h"

namespace kav {
namespace t8 {

/// Plans motions on the calling host thread and starts them in the control
/// loop. One motion request runs at a time (a mutex of the host side); the
/// control thread never takes that mutex.
class MotionCommander {
 public:
  /// Host-side hooks into the controller.
  struct Hooks {
    /// Sets POSITION_CONTROL's joint targets to a motion's final point.
    std::function<void(const motion::JointArray&)> set_targets;
    /// Whether the control loop still runs.
    std::function<bool()> loop_running;
  };

  /// @param urdf_path description for the straight lines' own chain solver,
  ///        built at the first line (parsing it here would delay the start
  ///        of the control loop, and motors silent for 100 ms go offline)
  /// @param clock times the hosts' waits for the control loop's answers
  MotionCommander(MotionExecutor& executor, const std::string& urdf_path, rt::Clock& clock, Hooks hooks);
  ~MotionCommander();

  void followJointTrajectory(const std::vector<motion::TrajectoryPoint>& points);
  void moveJoints(const std::vector<double>& target, double speed_scale);
  void moveLinear(const Eigen::Isometry3d& pose, double speed);
  bool motionDone();
  bool waitMotion(double timeout_s);
  void stopMotion();
  void setMotionLimits(const std::vector<double>& max_velocity, const std::vector<double>& max_acceleration);

 private:
  using Planner = std::function<std::unique_ptr<motion::Motion>(const motion::JointSample& start)>;

  /// Plans with @p plan and starts the result (see MotionExecutor): checks
  /// it from the present set-point first, captures the set-point when no
  /// motion runs, then plans from the running motion's state at the cycle
  /// of the hand-over.
  void run(const char* what, const Planner& plan);
  /// Hands @p request over and waits for the control thread's answer.
  MotionExecutor::Outcome handOver(const char* what, const MotionExecutor::Request& request);
  /// Frees the motions the control thread no longer uses.
  void release(const MotionExecutor::Snapshot& snapshot);
  /// @p plan preceded by a stop when @p start moves.
  std::unique_ptr<motion::Motion> fromRest(
      const motion::JointSample& start,
      const std::function<std::unique_ptr<motion::Motion>(const motion::JointArray& rest)>& plan) const;

  MotionExecutor& executor_;
  rt::Clock& clock_;
  Hooks hooks_;
  const std::string urdf_path_;
  std::mutex mutex_;  // one request at a time; guards everything below
  std::unique_ptr<KinematicDynamicSolver> line_solver_;
  motion::MotionLimits limits_;
  std::vector<std::unique_ptr<motion::Motion>> motions_;
  std::uint64_t next_id_ = 1;
};

}  // namespace t8
}  // namespace kav
