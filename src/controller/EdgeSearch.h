#pragma once
// The search for the reachable edge of an end-effector target, on a worker
// thread of its own so that the control cycle never waits for the solver's
// failing iterations.

#include <semaphore.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <kdl/jntarray.hpp>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "solver/kinematic_dynamic_solver.h"

namespace kav {
namespace t8 {

/// Six joint positions, joint 1 first (radians).
using JointVector = std::array<double, 6>;
/// A pose six-vector: x, y, z (metres), roll, pitch, yaw (radians).
using PoseVector = std::array<double, 6>;

/// Solves @p pose (a pose six-vector) from the joint positions @p seed.
/// A position outside the chain's reach fails at once, without running the
/// solver; otherwise a failing solve costs the solver's full iteration.
/// @return true with @p solution set when the solver converged
/// @throw std::invalid_argument when a pointer is null
bool solvePose(KinematicDynamicSolver& solver, const double* seed, const double* pose,
               KDL::JntArray& solution);

/// The bisection toward the reachable edge: ten probes on the straight line,
/// in the six pose values, from @p from (the measured pose) to @p target,
/// at 1/2 of the way, then a quarter further on after a probe with a
/// solution or back after one without, down to 1/1024. Every probe is
/// solved from @p seed. Ends early, without a result, once @p stop is set.
/// @return true when a probe had a solution; @p solution then holds that of
///         the last such probe
bool searchReachableEdge(KinematicDynamicSolver& solver, const JointVector& seed, const PoseVector& from,
                         const PoseVector& target, KDL::JntArray& solution, const std::atomic<bool>& stop);

/// Runs the solve of an unreachable target and the edge search on the thread
/// "kav-ik", at a lower priority than the control thread, with a solver of
/// its own; or, without a worker thread (a simulation's single thread),
/// whenever its owner calls runPending().
///
/// The control thread post()s the state of each cycle and take()s the newest
/// finished result when there is one; it never waits. The worker always
/// works on the newest request. It skips one with the same target as its
/// previous search and joints within kSameJoints of those that search
/// started from: the answer would be the same, or as good (the readings of
/// an arm at rest flicker by a step or two). discard() forgets everything
/// requested so far: results of searches that were running then are dropped.
///
/// Only the mutex of this object is taken, and never while the solver runs;
/// the control thread only ever tries it (post() and take() give way when
/// the worker holds it) and discard() takes no lock at all, so the control
/// thread never waits for the worker. The worker's console lines go through
/// the console queue.
class EdgeSearch {
 public:
  struct Result {
    /// The target itself was solved; solution is its solution.
    bool target_solved = false;
    /// The target or a probe was solved; solution holds its solution.
    bool found = false;
    JointVector solution{};
  };

  /// Builds the worker's solver from @p urdf_path (chain "base_link" to
  /// "link6") and starts the thread unless @p worker_thread is false.
  /// @throw std::runtime_error as KinematicDynamicSolver, or when the thread
  ///        cannot be started
  explicit EdgeSearch(const std::string& urdf_path, bool worker_thread = true);
  /// Joint positions closer than this (radians, each joint) to those of the
  /// previous search count as the same: about 2.6 steps of the readings.
  static constexpr double kSameJoints = 1e-3;
  /// Stops the thread (a running search ends at its next solve) and joins it.
  ~EdgeSearch();
  EdgeSearch(const EdgeSearch&) = delete;
  EdgeSearch& operator=(const EdgeSearch&) = delete;

  /// Asks for a search from the joint positions @p seed and the pose @p from
  /// toward @p target. The target is solved first unless
  /// @p target_known_unsolved says that it failed from these very joints.
  /// @return false, with nothing posted, when the worker held the lock (the
  ///         next cycle posts its own state anyway)
  bool post(const JointVector& seed, const PoseVector& from, const PoseVector& target,
            bool target_known_unsolved);
  /// The result of the newest search finished since the last call, if any;
  /// a search that found nothing does not replace a waiting result that has
  /// a solution (nothing changes the joint targets in that case). No value
  /// either while the worker holds the lock.
  std::optional<Result> take();
  /// Forgets pending requests and every result not yet taken.
  void discard();
  /// Without a worker thread: runs the search asked for since the last call,
  /// if any, on the calling thread.
  void runPending();

 private:
  struct Request {
    JointVector seed{};
    PoseVector from{};
    PoseVector target{};
    bool target_known_unsolved = false;
    std::uint64_t generation = 0;  // discard() calls before it was posted
    /// Whether a search for this request would repeat one for @p other.
    bool repeats(const Request& other) const;
  };

  void run();
  /// Takes the pending request, searches and keeps the result. Returns false
  /// when a stop was requested meanwhile.
  bool serve(std::unique_lock<std::mutex>& lock);
  Result search(const Request& request);

  KinematicDynamicSolver solver_;  // used by the worker thread only
  std::mutex mutex_;
  sem_t wake_;  // posted by post() and the destructor; never blocks the poster
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> generation_{0};  // bumped by discard()
  // Guarded by mutex_:
  bool pending_ = false;
  Request request_;
  std::optional<Result> result_;
  std::uint64_t result_generation_ = 0;
  std::optional<Request> last_searched_;
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace t8
}  // namespace kav
