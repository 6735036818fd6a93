// Several arms driven from one process: each arm is a controller
// (ControllerThread) and a simulated arm on a local-socket bus of its own,
// all in this process, as one host program driving a bimanual or
// leader-follower station would run them. After bring-up, every arm runs
// POSITION_CONTROL with joint targets moving on sines (new targets every
// 0.5 s, a different phase per arm) for the measured time.
//
//   bench_multi_arm [--seconds S] [--sim-priority P] N [N ...]
//
// Each N is one phase with N arms, run one after the other in this process
// (for example "1 4 8"), so that the phases share the machine's conditions;
// the summary compares each phase with the first. --sim-priority gives the
// simulators' threads SCHED_FIFO priority P (1-79, below the controllers'
// 80 and 79): real motors do not wait for a processor, and at normal
// priority the simulators' latency on a busy machine hides the controllers'
// own timing. Without it they run at normal priority.
//
// Per arm: cycles per second and the deviation of the controller's own cycle
// period from 5 ms (ControllerThread::getCycleTimings), the deviation from
// 5 ms of the interval between two hybrid commands as each simulated motor
// received them (SimulatedArm::receivedCommands), and the error codes
// reported during the run. In total: the CPU share of the controllers'
// threads (kav-control, kav-can-rx, kav-ik) and of the simulators' threads
// (kav-sim-io, kav-sim-physics and the bus hubs, named kav-hub here), from
// /proc/self/task/*/schedstat.
#include <config/ArmConfig.h>
#include <controller/ControllerThread.h>
#include <pthread.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BenchStats.h"

namespace {

using Clock = std::chrono::steady_clock;
using kav::t8::ControllerThread;
namespace config = kav::config;

const double kPeriodUs = std::chrono::duration<double, std::micro>(config::kCyclePeriod).count();

struct Arm {
  std::unique_ptr<kav::sim::BusHub> hub;
  std::unique_ptr<kav::sim::SimulatedArm> sim;
  std::unique_ptr<ControllerThread> controller;
  std::vector<ControllerThread::CycleTiming> timings;  // cycles that began in the measured window
  std::size_t codes_before = 0;                        // error codes reported before the window
};

struct PhaseSummary {
  int arms = 0;
  double worst_period_p99 = 0.0;  // us, over arms
  double worst_motor_p99 = 0.0;   // us, over arms and joints
  double min_cycles_per_second = 0.0;
  std::size_t error_codes = 0;
};

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// The hub's forwarding thread inherits the name of the thread that creates
// it; this gives it a name of its own for the CPU accounting.
std::unique_ptr<kav::sim::BusHub> namedHub() {
  pthread_setname_np(pthread_self(), "kav-hub");
  auto hub = std::make_unique<kav::sim::BusHub>();
  pthread_setname_np(pthread_self(), "bench-main");
  return hub;
}

std::vector<double> bentPose() { return {0.0, 0.8, 0.8, 0.0, 0.3, 0.0}; }

std::vector<double> movingTarget(double t, int arm) {
  const double phase = 0.7 * arm;
  std::vector<double> target = bentPose();
  target[0] = 0.6 * std::sin(0.8 * t + phase);
  target[1] = 0.8 + 0.3 * std::sin(1.1 * t + phase);
  target[3] = 0.5 * std::sin(1.3 * t + phase);
  target[5] = 0.8 * std::sin(0.6 * t + phase);
  return target;
}

void collectTimings(Arm& arm, Clock::time_point begin, Clock::time_point end) {
  for (const auto& timing : arm.controller->getCycleTimings()) {
    if (timing.start < begin || timing.start >= end) continue;
    if (arm.timings.empty() || timing.start > arm.timings.back().start) arm.timings.push_back(timing);
  }
}

// Deviation from the 5 ms period of the intervals between consecutive hybrid
// commands that @p joint's motor received within [begin, end), in us.
std::vector<double> motorIntervalDeviations(const kav::sim::SimulatedArm& sim, int joint,
                                            Clock::time_point begin, Clock::time_point end) {
  std::vector<double> deviations;
  std::optional<Clock::time_point> previous;
  for (const auto& received : sim.receivedCommands(joint)) {
    if (received.command.kind != kav::sim::CommandKind::kHybrid) continue;
    if (received.time < begin || received.time >= end) continue;
    if (previous) {
      const double interval = std::chrono::duration<double, std::micro>(received.time - *previous).count();
      deviations.push_back(std::fabs(interval - kPeriodUs));
    }
    previous = received.time;
  }
  return deviations;
}

bool isSimulatorThread(const std::string& name) {
  return name == "kav-hub" || name == "kav-sim-io" || name == "kav-sim-physics";
}

// CPU time per thread group between two snapshots, as a share of one core.
struct CpuShares {
  double controllers = 0.0, control = 0.0, receive = 0.0, ik = 0.0;
  double simulators = 0.0, sim_io = 0.0, sim_physics = 0.0, hubs = 0.0;
  double other = 0.0;
  int control_threads = 0, control_threads_fifo = 0;
  int simulator_threads = 0, simulator_threads_fifo = 0;
};

CpuShares cpuShares(const std::map<pid_t, kav_bench::ThreadInfo>& before,
                    const std::map<pid_t, kav_bench::ThreadInfo>& after, double wall_seconds) {
  CpuShares shares;
  for (const auto& [tid, info] : after) {
    const auto found = before.find(tid);
    const long long used = info.runtime_ns - (found == before.end() ? 0 : found->second.runtime_ns);
    const double share = 100.0 * static_cast<double>(used) / 1e9 / wall_seconds;
    if (isSimulatorThread(info.name)) {
      ++shares.simulator_threads;
      if (info.policy == SCHED_FIFO) ++shares.simulator_threads_fifo;
    }
    if (info.name == "kav-control") {
      shares.control += share;
      ++shares.control_threads;
      if (info.policy == SCHED_FIFO) ++shares.control_threads_fifo;
    } else if (info.name == "kav-can-rx") {
      shares.receive += share;
    } else if (info.name == "kav-ik") {
      shares.ik += share;
    } else if (info.name == "kav-sim-io") {
      shares.sim_io += share;
    } else if (info.name == "kav-sim-physics") {
      shares.sim_physics += share;
    } else if (info.name == "kav-hub") {
      shares.hubs += share;
    } else {
      shares.other += share;
    }
  }
  shares.controllers = shares.control + shares.receive + shares.ik;
  shares.simulators = shares.sim_io + shares.sim_physics + shares.hubs;
  return shares;
}

// Runs @p fn(i) for every arm on a thread of its own and waits for all;
// bringing an arm up or down takes seconds, and arms do not depend on each other.
template <typename Fn>
void forEachArmAtOnce(std::vector<Arm>& arms, Fn fn) {
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < arms.size(); ++i) threads.emplace_back([&, i] { fn(i); });
  for (auto& thread : threads) thread.join();
}

// Gives the simulator threads of @p arms arms (a bus hub, an io and a physics
// thread each) SCHED_FIFO @p priority. The simulated arm's threads name
// themselves once they run, so this waits until all of them have.
void raiseSimulators(int arms, int priority) {
  const auto give_up = Clock::now() + std::chrono::seconds(5);
  std::map<pid_t, kav_bench::ThreadInfo> threads;
  for (;;) {
    threads = kav_bench::processThreads();
    int named = 0;
    for (const auto& [tid, info] : threads) named += isSimulatorThread(info.name);
    if (named >= 3 * arms) break;
    if (Clock::now() > give_up) {
      std::fprintf(stderr, "bench_multi_arm: only %d of %d simulator threads have their names\n", named,
                   3 * arms);
      std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  sched_param param{};
  param.sched_priority = priority;
  for (const auto& [tid, info] : threads) {
    if (!isSimulatorThread(info.name)) continue;
    if (sched_setscheduler(tid, SCHED_FIFO, &param) != 0) {
      std::perror("bench_multi_arm: sched_setscheduler of a simulator thread");
      std::exit(1);
    }
  }
}

PhaseSummary runPhase(int count, int seconds, int sim_priority) {
  std::vector<Arm> arms(static_cast<std::size_t>(count));
  for (auto& arm : arms) {
    arm.hub = namedHub();
    arm.sim = std::make_unique<kav::sim::SimulatedArm>(arm.hub->endpoint());
  }
  if (sim_priority > 0) raiseSimulators(count, sim_priority);
  const std::string urdf = std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf";
  std::vector<std::string> failures(arms.size());
  forEachArmAtOnce(arms, [&](std::size_t i) {
    try {
      arms[i].controller = std::make_unique<ControllerThread>(urdf, arms[i].hub->endpoint(), 0);
    } catch (const std::exception& error) {
      failures[i] = error.what();
    }
  });
  for (std::size_t i = 0; i < arms.size(); ++i) {
    if (!failures[i].empty()) {
      std::fprintf(stderr, "bench_multi_arm: arm %zu did not come up: %s\n", i + 1, failures[i].c_str());
      std::exit(1);
    }
  }

  for (auto& arm : arms) {
    arm.controller->setJointPositions(bentPose());
    arm.controller->setArmStatus(kav::t8::ControllerBase::POSITION_CONTROL);
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  for (auto& arm : arms) {
    arm.codes_before = arm.controller->getErrorCode().size();
    arm.sim->clearReceivedCommands();
  }

  const std::string load_before = loadAverage();
  const auto threads_before = kav_bench::processThreads();
  const auto begin = Clock::now();
  const auto end = begin + std::chrono::seconds(seconds);
  for (int step = 0; Clock::now() < end; ++step) {
    const double t = std::chrono::duration<double>(Clock::now() - begin).count();
    if (step % 50 == 0) {
      for (int i = 0; i < count; ++i) arms[i].controller->setJointPositions(movingTarget(t, i));
    }
    // Read before the controllers' ring of 8192 timings wraps.
    if (step % 100 == 0) {
      for (auto& arm : arms) collectTimings(arm, begin, end);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
  const auto threads_after = kav_bench::processThreads();
  const std::string load_after = loadAverage();

  PhaseSummary summary;
  summary.arms = count;
  summary.min_cycles_per_second = 1e9;
  std::printf(
      "\n%d arm%s, one process, %d s of POSITION_CONTROL with moving targets (load %s -> %s); "
      "simulators at %s\n",
      count, count == 1 ? "" : "s", seconds, load_before.c_str(), load_after.c_str(),
      sim_priority > 0 ? ("SCHED_FIFO " + std::to_string(sim_priority)).c_str() : "normal priority");
  for (int i = 0; i < count; ++i) {
    Arm& arm = arms[i];
    collectTimings(arm, begin, end);
    std::vector<double> period_deviation;
    for (std::size_t k = 1; k < arm.timings.size(); ++k) {
      const double period =
          std::chrono::duration<double, std::micro>(arm.timings[k].start - arm.timings[k - 1].start).count();
      period_deviation.push_back(std::fabs(period - kPeriodUs));
    }
    const double cycles_per_second = static_cast<double>(arm.timings.size()) / wall;
    const std::vector<int> codes = arm.controller->getErrorCode();
    const std::set<int> distinct(codes.begin() + static_cast<long>(std::min(arm.codes_before, codes.size())),
                                 codes.end());
    const std::size_t new_codes = codes.size() - std::min(arm.codes_before, codes.size());
    std::printf(
        "  arm %d: %.1f cycles/s; controller period deviation p99 %.1f us, max %.1f us; error codes: ", i + 1,
        cycles_per_second, kav_bench::percentile(period_deviation, 0.99),
        kav_bench::maximum(period_deviation));
    if (new_codes == 0) std::printf("none");
    for (int code : distinct) std::printf("%d ", code);
    if (new_codes != 0) std::printf("(%zu in all)", new_codes);
    if (arm.codes_before != 0) std::printf(" [%zu before the run]", arm.codes_before);
    std::printf("\n    motor-side interval deviation p99/max [us]:");
    for (int joint = 0; joint < config::kMotors; ++joint) {
      const std::vector<double> deviations = motorIntervalDeviations(*arm.sim, joint, begin, end);
      const double p99 = kav_bench::percentile(deviations, 0.99);
      std::printf(" j%d %.0f/%.0f", joint + 1, p99, kav_bench::maximum(deviations));
      summary.worst_motor_p99 = std::max(summary.worst_motor_p99, p99);
    }
    std::printf("\n");
    summary.worst_period_p99 =
        std::max(summary.worst_period_p99, kav_bench::percentile(period_deviation, 0.99));
    summary.min_cycles_per_second = std::min(summary.min_cycles_per_second, cycles_per_second);
    summary.error_codes += new_codes;
  }
  const CpuShares cpu = cpuShares(threads_before, threads_after, wall);
  std::printf(
      "  CPU, %% of one core: controllers %.1f (kav-control %.1f, kav-can-rx %.1f, kav-ik %.1f); "
      "simulators %.1f (kav-sim-io %.1f, kav-sim-physics %.1f, kav-hub %.1f); rest %.1f\n",
      cpu.controllers, cpu.control, cpu.receive, cpu.ik, cpu.simulators, cpu.sim_io, cpu.sim_physics,
      cpu.hubs, cpu.other);
  std::printf("  threads with SCHED_FIFO: control %d of %d, simulator %d of %d\n", cpu.control_threads_fifo,
              cpu.control_threads, cpu.simulator_threads_fifo, cpu.simulator_threads);
  std::fflush(stdout);

  forEachArmAtOnce(arms, [&](std::size_t i) { arms[i].controller.reset(); });
  return summary;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 30;
  int sim_priority = 0;
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (arg == "--sim-priority" && i + 1 < argc) {
      sim_priority = std::atoi(argv[++i]);
    } else {
      counts.push_back(std::atoi(argv[i]));
    }
  }
  bool usable = seconds > 0 && !counts.empty() && sim_priority >= 0 && sim_priority < 80;
  for (int count : counts) usable = usable && count >= 1 && count <= 16;
  if (!usable) {
    std::fprintf(
        stderr,
        "usage: bench_multi_arm [--seconds S] [--sim-priority 1-79] N [N ...]   (1 <= N <= 16 arms)\n");
    return 2;
  }
  pthread_setname_np(pthread_self(), "bench-main");

  std::vector<PhaseSummary> phases;
  for (int count : counts) phases.push_back(runPhase(count, seconds, sim_priority));

  std::printf("\nsummary (worst arm; motor-side p99 is the worst joint of the worst arm)\n");
  std::printf("  arms  cycles/s  period p99 [us]  motor-side p99 [us]  vs first phase  error codes\n");
  for (const PhaseSummary& phase : phases) {
    std::printf("  %4d  %8.1f  %15.1f  %19.0f  %13.2fx  %zu\n", phase.arms, phase.min_cycles_per_second,
                phase.worst_period_p99, phase.worst_motor_p99,
                phase.worst_motor_p99 / std::max(phases.front().worst_motor_p99, 1e-9), phase.error_codes);
  }
  return 0;
}
