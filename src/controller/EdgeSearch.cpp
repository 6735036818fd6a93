#include "controller/EdgeSearch.h"

#include <pthread.h>

#include <cmath>
#include <exception>
#include <stdexcept>
#include <system_error>

#include "config/ArmConfig.h"
#include "console/Console.h"
#include "rt/Priority.h"

namespace kav {
namespace t8 {

namespace {

constexpr int kJoints = config::kArmJoints;
constexpr int kBisectionSteps = 10;

}  // namespace

bool solvePose(KinematicDynamicSolver& solver, const double* seed, const double* pose,
               KDL::JntArray& solution) {
  if (seed == nullptr || pose == nullptr) {
    throw std::invalid_argument("solvePose: the seed and the pose must not be null pointers");
  }
  KDL::Frame target(KDL::Rotation::RPY(pose[3], pose[4], pose[5]), KDL::Vector(pose[0], pose[1], pose[2]));
  if (solver.isOutOfReach(target.p)) return false;
  KDL::JntArray initial_guess(kJoints);
  for (int i = 0; i < kJoints; ++i) initial_guess(i) = seed[i];
  try {
    solution = solver.computeInverseKinematics(target, initial_guess);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool searchReachableEdge(KinematicDynamicSolver& solver, const JointVector& seed, const PoseVector& from,
                         const PoseVector& target, KDL::JntArray& solution, const std::atomic<bool>& stop) {
  PoseVector probe = from;
  PoseVector step;
  for (int i = 0; i < kJoints; ++i) step[i] = target[i] - from[i];
  double direction = 1.0;
  bool found = false;
  for (int n = 0; n < kBisectionSteps && !stop.load(); ++n) {
    for (int i = 0; i < kJoints; ++i) {
      step[i] /= 2;
      probe[i] += step[i] * direction;
    }
    if (solvePose(solver, seed.data(), probe.data(), solution)) {
      found = true;
      direction = 1.0;
    } else {
      direction = -1.0;
    }
  }
  return found && !stop.load();
}

bool EdgeSearch::Request::repeats(const Request& other) const {
  if (target != other.target || target_known_unsolved != other.target_known_unsolved) return false;
  for (int i = 0; i < kJoints; ++i) {
    if (!(std::fabs(seed[i] - other.seed[i]) <= kSameJoints)) return false;
  }
  return true;
}

EdgeSearch::EdgeSearch(const std::string& urdf_path, bool worker_thread)
    : solver_(urdf_path, "base_link", "link6") {
  sem_init(&wake_, 0, 0);
  if (!worker_thread) return;
  try {
    thread_ = std::thread(&EdgeSearch::run, this);
  } catch (const std::system_error& error) {
    sem_destroy(&wake_);
    throw std::runtime_error(std::string("Cannot start the inverse-kinematics thread: ") + error.what());
  }
}

EdgeSearch::~EdgeSearch() {
  stop_.store(true);
  sem_post(&wake_);
  if (thread_.joinable()) thread_.join();
  sem_destroy(&wake_);
}

bool EdgeSearch::post(const JointVector& seed, const PoseVector& from, const PoseVector& target,
                      bool target_known_unsolved) {
  {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    request_ = Request{seed, from, target, target_known_unsolved, generation_.load()};
    pending_ = true;
  }
  sem_post(&wake_);
  return true;
}

std::optional<EdgeSearch::Result> EdgeSearch::take() {
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  std::optional<Result> result;
  if (!lock.owns_lock()) return result;
  if (result_generation_ == generation_.load()) result.swap(result_);
  result_.reset();
  return result;
}

void EdgeSearch::discard() { generation_.fetch_add(1); }

void EdgeSearch::runPending() {
  std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
  serve(lock);
}

void EdgeSearch::run() {
  pthread_setname_np(pthread_self(), "kav-ik");
  // The worker gives way to every other thread of normal priority: the
  // control thread, the receive thread and the host's own threads matter
  // more than how soon a search result arrives. On an otherwise idle
  // processor it still runs at full speed.
  rt::preferNormal(config::kIkWorkerNice);
  console::markRealtimeThread();
  std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
  while (true) {
    while (sem_wait(&wake_) != 0) {
    }
    if (stop_.load() || !serve(lock)) return;
  }
}

bool EdgeSearch::serve(std::unique_lock<std::mutex>& lock) {
  lock.lock();
  if (!pending_) {
    lock.unlock();
    return true;
  }
  const Request request = request_;
  pending_ = false;
  const bool repeated =
      last_searched_ && last_searched_->generation == request.generation && request.repeats(*last_searched_);
  lock.unlock();
  if (repeated || request.generation != generation_.load()) return true;
  const Result result = search(request);
  if (stop_.load()) return false;
  lock.lock();
  // Results of searches discarded while they ran are dropped. A search
  // without any solution leaves the joint targets as they were, so it must
  // not hide a solution that has not been taken yet.
  if (request.generation == generation_.load() &&
      (result.found || !result_ || result_generation_ != request.generation)) {
    result_ = result;
    result_generation_ = request.generation;
  }
  last_searched_ = request;
  lock.unlock();
  return true;
}

EdgeSearch::Result EdgeSearch::search(const Request& request) {
  Result result;
  KDL::JntArray solution(kJoints);
  if (!request.target_known_unsolved &&
      solvePose(solver_, request.seed.data(), request.target.data(), solution)) {
    result.target_solved = true;
    result.found = true;
  } else {
    result.found = searchReachableEdge(solver_, request.seed, request.from, request.target, solution, stop_);
  }
  if (result.found) {
    for (int i = 0; i < kJoints; ++i) result.solution[i] = solution(i);
  }
  return result;
}

}  // namespace t8
}  // namespace kav
