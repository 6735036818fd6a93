// Inverse kinematics from any seed: success rate and time of the chain
// solver (KinematicDynamicSolver::computeInverseKinematics), the analytic
// q7_ik_lm and KinematicSolver::solveRobust on random reachable poses, the
// forward kinematics of random joint angles within the joint limits, each
// solved from a nearby seed (every joint within 0.1 rad of the angles that
// made the pose), from the zero seed and from a random seed within the limits.
//
//   bench_ik [--poses N] [--budget-us B] 2>/dev/null
//
// "Solved" is what each solver reports; "in limits" also requires every
// joint angle within config::kJointLower / kJointUpper, after moving it by a
// whole turn where that brings it inside. Times are wall time per call, and
// the processor time of the calling thread ("CPU"), which a busy machine
// does not stretch. Every solution of the robust call is checked
// independently here (its pose, its limits). Standard error carries one line
// per failed solve of the chain solver; the analytic solver's own lines on
// standard output are held back while it runs.
#include <config/ArmConfig.h>
#include <fcntl.h>
#include <solver/Exercise.h>
#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainiksolverpos_lma.hpp>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "../src/solver/FixedSizeLma.h"
#include "BenchStats.h"

namespace {

using Clock = std::chrono::steady_clock;
using Six = std::array<double, 6>;
namespace config = kav::config;

constexpr double kTurn = 2.0 * M_PI;

bool withinLimits(Six q) {
  for (int i = 0; i < config::kArmJoints; ++i) {
    const double lower = config::kJointLower[i], upper = config::kJointUpper[i];
    if (q[i] < lower || q[i] > upper) q[i] += kTurn * std::round((0.5 * (lower + upper) - q[i]) / kTurn);
    if (q[i] < lower || q[i] > upper) return false;
  }
  return true;
}

Six randomWithinLimits(std::mt19937_64& random) {
  Six q{};
  for (int i = 0; i < config::kArmJoints; ++i) {
    q[i] = std::uniform_real_distribution<double>(config::kJointLower[i], config::kJointUpper[i])(random);
  }
  return q;
}

struct Problem {
  Six joints;         // the angles that made the poses
  Six chain_pose;     // KinematicSolver's forward kinematics of them
  Six analytic_pose;  // q7_fk of them
  Six nearby_seed;    // every joint within 0.1 rad of joints
  Six random_seed;    // within the joint limits
};

enum class SeedKind { kNearby, kZero, kRandom };
const char* seedName(SeedKind kind) {
  return kind == SeedKind::kNearby ? "nearby" : kind == SeedKind::kZero ? "zero" : "random";
}
Six seedOf(const Problem& problem, SeedKind kind) {
  if (kind == SeedKind::kNearby) return problem.nearby_seed;
  if (kind == SeedKind::kRandom) return problem.random_seed;
  return Six{};
}

struct Outcome {
  bool solved = false;
  Six joints{};
};

struct Row {
  std::vector<double> micros;      // wall time per call
  std::vector<double> cpu_micros;  // processor time of this thread per call
  int solved = 0;
  int in_limits = 0;
};

double threadCpuMicros() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

void printRow(const char* solver, SeedKind kind, const Row& row) {
  const double n = static_cast<double>(row.micros.size());
  std::printf("  %-12s %-7s %8.2f %% %8.2f %% %9.1f %9.1f %9.1f %9.1f %9.1f\n", solver, seedName(kind),
              100.0 * row.solved / n, 100.0 * row.in_limits / n, kav_bench::mean(row.micros),
              kav_bench::percentile(row.micros, 0.99), kav_bench::maximum(row.micros),
              kav_bench::mean(row.cpu_micros), kav_bench::percentile(row.cpu_micros, 0.99));
}

using SolveFn = std::function<Outcome(const Problem&, const Six&)>;

// Runs every solver on every problem from the seeds of @p kind, all solvers
// on one pose before the next, so that a change in the machine's load
// touches them alike; times each call. @p outcomes gets one list per solver.
std::vector<Row> measure(const std::vector<Problem>& problems, SeedKind kind,
                         const std::vector<SolveFn>& solvers, std::vector<std::vector<Outcome>>& outcomes) {
  std::vector<Row> rows(solvers.size());
  outcomes.assign(solvers.size(), {});
  for (const Problem& problem : problems) {
    const Six seed = seedOf(problem, kind);
    for (std::size_t s = 0; s < solvers.size(); ++s) {
      const auto begin = Clock::now();
      const double cpu_begin = threadCpuMicros();
      const Outcome outcome = solvers[s](problem, seed);
      rows[s].cpu_micros.push_back(threadCpuMicros() - cpu_begin);
      rows[s].micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
      rows[s].solved += outcome.solved;
      rows[s].in_limits += outcome.solved && withinLimits(outcome.joints);
      outcomes[s].push_back(outcome);
    }
  }
  return rows;
}

// Standard output goes to /dev/null while this lives: q7_ik_lm prints a line
// for every search that runs out of iterations.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

double angleBetween(const Six& a, const Six& b) {
  const KDL::Rotation ra = KDL::Rotation::RPY(a[3], a[4], a[5]);
  const KDL::Rotation rb = KDL::Rotation::RPY(b[3], b[4], b[5]);
  KDL::Vector axis;
  return (ra.Inverse() * rb).GetRotAngle(axis);
}

double positionDistance(const Six& a, const Six& b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                   (a[2] - b[2]) * (a[2] - b[2]));
}

void printSix(const char* what, const Six& v) {
  std::printf("    %-22s {%.17g, %.17g, %.17g, %.17g, %.17g, %.17g}\n", what, v[0], v[1], v[2], v[3], v[4],
              v[5]);
}

// How the restarts of the robust call were chosen: KDL's Levenberg-Marquardt
// iteration as the chain solver runs it (same tolerances) and the same
// iteration on fixed-size matrices (FixedSizeLma, the restarts' solver), with
// several iteration caps, one solve per pose from a random seed within the
// limits; and the iterations that converging solves of the chain solver need
// from the nearby and the zero seed.
void restartStudy(const KDL::Chain& chain, const std::vector<Problem>& problems) {
  KDL::ChainFkSolverPos_recursive forward(chain);
  std::vector<KDL::Frame> targets;
  for (const Problem& problem : problems) {
    KDL::JntArray q(6);
    for (int i = 0; i < 6; ++i) q(i) = problem.joints[i];
    KDL::Frame frame;
    forward.JntToCart(q, frame);
    targets.push_back(frame);
  }
  KDL::ChainIkSolverPos_LMA full(chain, kav::KinematicDynamicSolver::kIkTolerance, 500,
                                 kav::KinematicDynamicSolver::kIkStepTolerance);
  for (SeedKind kind : {SeedKind::kNearby, SeedKind::kZero}) {
    std::vector<double> iterations;
    for (std::size_t k = 0; k < problems.size(); ++k) {
      KDL::JntArray seed(6), out(6);
      const Six start = seedOf(problems[k], kind);
      for (int i = 0; i < 6; ++i) seed(i) = start[i];
      if (full.CartToJnt(seed, targets[k], out) >= 0) iterations.push_back(full.lastNrOfIter);
    }
    std::printf(
        "  chain solver, iterations of the converging solves from the %s seed: p50 %.0f, p99 %.0f, max "
        "%.0f\n",
        seedName(kind), kav_bench::percentile(iterations, 0.5), kav_bench::percentile(iterations, 0.99),
        kav_bench::maximum(iterations));
  }
  std::printf("  one solve per pose from a random seed within the limits:\n");
  std::printf("  %-16s %5s %18s %14s %22s\n", "iteration", "cap", "solved in limits", "CPU us/solve",
              "solutions per CPU ms");
  auto row = [&](const char* name, int cap,
                 const std::function<bool(const KDL::JntArray&, const KDL::Frame&, KDL::JntArray&)>& solve) {
    std::mt19937_64 random(static_cast<std::uint64_t>(cap));
    int solved = 0;
    const double begin = threadCpuMicros();
    for (const KDL::Frame& target : targets) {
      KDL::JntArray seed(6), out(6);
      const Six start = randomWithinLimits(random);
      for (int i = 0; i < 6; ++i) seed(i) = start[i];
      if (!solve(seed, target, out)) continue;
      Six q{};
      for (int i = 0; i < 6; ++i) q[i] = out(i);
      solved += withinLimits(q);
    }
    const double micros = (threadCpuMicros() - begin) / static_cast<double>(targets.size());
    const double share = static_cast<double>(solved) / static_cast<double>(targets.size());
    std::printf("  %-16s %5d %16.1f %% %14.1f %22.2f\n", name, cap, 100.0 * share, micros,
                1000.0 * share / micros);
  };
  for (int cap : {20, 30, 50, 100, 500}) {
    KDL::ChainIkSolverPos_LMA kdl(chain, kav::KinematicDynamicSolver::kIkTolerance, cap,
                                  kav::KinematicDynamicSolver::kIkStepTolerance);
    row("KDL LMA", cap, [&](const KDL::JntArray& seed, const KDL::Frame& target, KDL::JntArray& out) {
      return kdl.CartToJnt(seed, target, out) >= 0;
    });
  }
  for (int cap : {20, 30, 50, 100}) {
    kav::FixedSizeLma fixed(chain, cap);
    row("fixed-size LMA", cap, [&](const KDL::JntArray& seed, const KDL::Frame& target, KDL::JntArray& out) {
      return fixed.solve(seed, target, out);
    });
  }
}

}  // namespace

int main(int argc, char** argv) {
  int poses = 10000;
  long budget_us = 5000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--poses" && i + 1 < argc) {
      poses = std::atoi(argv[++i]);
    } else if (arg == "--budget-us" && i + 1 < argc) {
      budget_us = std::atol(argv[++i]);
    } else {
      poses = 0;
      break;
    }
  }
  if (poses <= 0 || budget_us < 0 || budget_us > 60000000) {
    std::fprintf(stderr, "usage: bench_ik [--poses N] [--budget-us B]\n");
    return 2;
  }

  kav::KinematicSolver facade;
  kav::KinematicDynamicSolver chain(kav::urdf_xml_g);
  std::mt19937_64 random(20240917);
  std::vector<Problem> problems(static_cast<std::size_t>(poses));
  for (Problem& problem : problems) {
    problem.joints = randomWithinLimits(random);
    facade.computeForwardKinematics(problem.joints.data(), problem.chain_pose.data());
    kav::solve::q7_fk(problem.joints.data(), problem.analytic_pose.data());
    for (int i = 0; i < 6; ++i) {
      problem.nearby_seed[i] = problem.joints[i] + std::uniform_real_distribution<double>(-0.1, 0.1)(random);
    }
    problem.random_seed = randomWithinLimits(random);
  }

  auto chainSolve = [&](const Problem& problem, const Six& seed) {
    KDL::Frame target(KDL::Rotation::RPY(problem.chain_pose[3], problem.chain_pose[4], problem.chain_pose[5]),
                      KDL::Vector(problem.chain_pose[0], problem.chain_pose[1], problem.chain_pose[2]));
    KDL::JntArray start(6);
    for (int i = 0; i < 6; ++i) start(i) = seed[i];
    Outcome outcome;
    try {
      const KDL::JntArray q = chain.computeInverseKinematics(target, start);
      for (int i = 0; i < 6; ++i) outcome.joints[i] = q(i);
      outcome.solved = true;
    } catch (const std::runtime_error&) {
    }
    return outcome;
  };
  auto analyticSolve = [](const Problem& problem, const Six& seed) {
    Six q0 = seed, target = problem.analytic_pose;
    Outcome outcome;
    kav::solve::IkStatus status;
    kav::solve::q7_ik_lm(q0.data(), target.data(), outcome.joints.data(), &status);
    outcome.solved = status.exit == kav::solve::IkExit::kConverged;
    return outcome;
  };
  kav::RobustIkOptions options;
  options.budget = std::chrono::microseconds(budget_us);
  std::vector<int> attempts;
  auto robustSolve = [&](const Problem& problem, const Six& seed) {
    Outcome outcome;
    const kav::RobustIkResult result =
        facade.solveRobust(problem.chain_pose.data(), seed.data(), outcome.joints.data(), options);
    outcome.solved = result.found;
    attempts.push_back(result.attempts);
    return outcome;
  };

  std::printf("inverse kinematics of %d random reachable poses (robust call: budget %ld us)\n", poses,
              budget_us);
  std::printf("  %-12s %-7s %10s %10s %9s %9s %9s %9s %9s\n", "solver", "seed", "solved", "in limits",
              "mean us", "p99 us", "max us", "CPU mean", "CPU p99");
  const SeedKind kinds[] = {SeedKind::kNearby, SeedKind::kZero, SeedKind::kRandom};
  const char* names[] = {"chain", "q7_ik_lm", "solveRobust"};
  enum { kChain, kAnalytic, kRobust };
  std::vector<std::vector<Row>> rows;                       // per seed kind, per solver
  std::vector<std::vector<std::vector<Outcome>>> outcomes;  // per seed kind, per solver, per pose
  std::vector<std::vector<int>> attempts_per_kind;
  for (SeedKind kind : kinds) {
    attempts.clear();
    std::vector<std::vector<Outcome>> kind_outcomes;
    {
      QuietStdout quiet;
      rows.push_back(measure(problems, kind, {chainSolve, analyticSolve, robustSolve}, kind_outcomes));
    }
    outcomes.push_back(kind_outcomes);
    attempts_per_kind.push_back(attempts);
  }
  for (int solver : {kChain, kAnalytic, kRobust}) {
    for (std::size_t k = 0; k < std::size(kinds); ++k) printRow(names[solver], kinds[k], rows[k][solver]);
  }
  double worst_position = 0.0, worst_angle = 0.0;
  int limit_violations = 0;
  for (std::size_t k = 0; k < std::size(kinds); ++k) {
    const std::vector<Outcome>& robust = outcomes[k][kRobust];
    for (std::size_t n = 0; n < problems.size(); ++n) {
      if (!robust[n].solved) continue;
      Six reached{};
      facade.computeForwardKinematics(robust[n].joints.data(), reached.data());
      worst_position = std::max(worst_position, positionDistance(reached, problems[n].chain_pose));
      worst_angle = std::max(worst_angle, angleBetween(reached, problems[n].chain_pose));
      for (int i = 0; i < 6; ++i) {
        limit_violations +=
            robust[n].joints[i] < config::kJointLower[i] || robust[n].joints[i] > config::kJointUpper[i];
      }
    }
    std::vector<double> tries(attempts_per_kind[k].begin(), attempts_per_kind[k].end());
    std::printf("  solveRobust from the %s seed: solves per call mean %.2f, max %.0f\n", seedName(kinds[k]),
                kav_bench::mean(tries), kav_bench::maximum(tries));
  }
  const std::vector<Outcome>& chain_nearby = outcomes[0][kChain];
  const std::vector<Outcome>& robust_nearby = outcomes[0][kRobust];
  const std::vector<Outcome>& chain_zero = outcomes[1][kChain];
  const std::vector<Outcome>& robust_zero = outcomes[1][kRobust];

  int same = 0, both = 0;
  for (std::size_t k = 0; k < problems.size(); ++k) {
    if (!chain_nearby[k].solved || !withinLimits(chain_nearby[k].joints)) continue;
    ++both;
    same += chain_nearby[k].joints == robust_nearby[k].joints;
  }
  std::printf(
      "\nrobust solutions: largest position error %.3g m, largest rotation error %.3g rad, "
      "angles outside the limits %d\n",
      worst_position, worst_angle, limit_violations);
  std::printf(
      "nearby seed: the robust call returned the chain solver's solution exactly for %d of the %d poses "
      "where that solution lies within the limits\n",
      same, both);
  std::printf("\nchoosing the restarts of the robust call\n");
  restartStudy(chain.chain(), problems);
  for (std::size_t k = 0; k < problems.size(); ++k) {
    if (chain_zero[k].solved || !robust_zero[k].solved) continue;
    std::printf(
        "first pose that the chain solver misses from the zero seed and the robust call solves (#%zu):\n", k);
    printSix("joints that made it", problems[k].joints);
    printSix("pose", problems[k].chain_pose);
    printSix("robust solution", robust_zero[k].joints);
    break;
  }
  return 0;
}
