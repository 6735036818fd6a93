// recover() on real threads: an arm on a simulated arm over a local-socket
// bus is stopped again and again, in turn by a reflex (a step of external
// torque of twice the reflex threshold), by a motor fault the motor clears,
// and by a motor that falls silent and answers again; each time recover()
// brings it back. Prints the time from calling recover() to control active
// (p50, p95, worst), the refusals, how far the first command after each
// recovery lay from the joint's true position, and the process's threads,
// descriptors and resident memory after the warm-up and at the end.
//
//   bench_recovery [--cycles N] [--quick]     (default 1000 cycles)
//
// --quick: recover() 20 ms after the cause went away, the arm possibly still
// moving, and no move back to the starting pose: about 1 s per cycle instead
// of about 3, for counting leaks over many cycles; the first commands then
// follow a moving arm.
//
// Exit status 1 when a recovery failed, or the threads or descriptors grew.
#include <config/ArmConfig.h>
#include <controller/ControllerThread.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchStats.h"

namespace {

using Clock = std::chrono::steady_clock;
using kav::t8::ControllerBase;
using kav::t8::ControllerThread;
using namespace std::chrono_literals;
using kav_bench::descriptorCount;
using kav_bench::percentile;
using kav_bench::statusField;

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The simulated arm's true joint positions, sampled every 200 µs on a
// thread of its own, to compare the first command after a recovery with the
// position the joint really had when the command arrived.
class PoseWitness {
 public:
  explicit PoseWitness(kav::sim::SimulatedArm& sim) : sim_(sim), thread_([this] { run(); }) {}
  ~PoseWitness() {
    stop_.store(true);
    thread_.join();
  }
  // The position of @p joint at the sample nearest to @p at.
  double positionAt(int joint, Clock::time_point at) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Sample* best = nullptr;
    for (const Sample& sample : samples_) {
      if (best == nullptr || std::abs((sample.time - at).count()) < std::abs((best->time - at).count())) {
        best = &sample;
      }
    }
    return best == nullptr ? NAN : best->position[joint];
  }

 private:
  struct Sample {
    Clock::time_point time;
    std::array<double, 6> position;
  };
  void run() {
    while (!stop_.load()) {
      Sample sample{Clock::now(), {}};
      const auto states = sim_.jointStates();
      for (int j = 0; j < 6; ++j) sample.position[j] = states[j].position;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        samples_.push_back(sample);
        if (samples_.size() > 2000) samples_.pop_front();
      }
      std::this_thread::sleep_for(200us);
    }
  }
  kav::sim::SimulatedArm& sim_;
  std::mutex mutex_;
  std::deque<Sample> samples_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  int cycles = 1000;
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--cycles") == 0 && i + 1 < argc) {
      cycles = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: bench_recovery [--cycles N] [--quick]\n");
      return 2;
    }
  }
  kav::sim::BusHub hub;
  kav::sim::SimulatedArmOptions sim_options;
  sim_options.log_capacity = 64;
  kav::sim::SimulatedArm sim(hub.endpoint(), sim_options);
  ControllerThread arm(KAV_SOURCE_DIR "/share/urdf/vorlan_v1.1_aa.urdf", hub.endpoint(), 0);
  arm.setJointPositions({0.2, 0.6, 0.5, 0.1, 0.2, 0.1});
  arm.setArmStatus(ControllerBase::POSITION_CONTROL);
  std::this_thread::sleep_for(4s);

  std::vector<double> seconds;
  double worst_jump = 0.0;
  int refused = 0, beyond_limits = 0, lost_after = 0;
  double worst_beyond = 0.0;
  char worst_what[96] = "";
  const std::vector<double> start_pose{0.2, 0.6, 0.5, 0.1, 0.2, 0.1};
  std::array<int, 3> not_stopped{};
  PoseWitness witness(sim);
  long threads_after_warm_up = 0, descriptors_after_warm_up = 0, rss_after_warm_up = 0;
  const int warm_up = std::min(cycles - 1, 30);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const int joint = cycle % 6;
    const int kind = (cycle / 6) % 3;  // reflex, motor fault, silent motor
    const std::size_t codes_before = arm.getErrorCode().size();
    if (kind == 0) {
      sim.setExternalTorque(joint, 2 * kav::config::kCollisionThreshold[joint]);
    } else if (kind == 1) {
      // Type 4 motors (joints 1-3) report a fault until it is switched off,
      // type 2 motors until the clear-error command.
      if (joint < 3) {
        sim.setMotorError(joint, 5);
      } else {
        sim.setMotorError(joint, 5, kav::sim::ErrorPersistence::kUntilClearError);
      }
    } else {
      sim.setMotorSilent(joint, true);
    }
    // Stopped: a reflex, control ended, or a motor offline (damping) all
    // record a code.
    const bool stopped =
        waitFor([&] { return arm.getErrorCode().size() > codes_before; }, std::chrono::milliseconds(3000));
    if (!stopped) {
      ++not_stopped[kind];
      std::printf("cycle %d: the injection (kind %d) on joint %d did not stop the arm\n", cycle, kind,
                  joint + 1);
    }
    // The cause goes away: the push ends, the fault is cleared, the motor answers.
    sim.setExternalTorque(joint, 0.0);
    if (kind == 1 && joint < 3) sim.setMotorError(joint, 0);
    sim.clearFaults();
    // recover() is called with the arm at rest, as an operator would.
    if (quick) {
      std::this_thread::sleep_for(20ms);
    } else {
      waitFor(
          [&] {
            const auto states = sim.jointStates();
            for (int j = 0; j < 6; ++j)
              if (std::fabs(states[j].velocity) > 0.02) return false;
            return true;
          },
          std::chrono::milliseconds(3000));
    }

    sim.clearReceivedCommands();
    const auto start = Clock::now();
    try {
      arm.recover();
      seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      // The first position command after the recovery's compliant rounds,
      // against where the joint was when it arrived (the command is in the
      // motor's frame, the motor's zero away from the joint's).
      std::this_thread::sleep_for(30ms);
      for (int j = 0; j < 6; ++j) {
        for (const auto& received : sim.receivedCommands(j)) {
          if (received.time < start || received.command.k_p <= 0.0) continue;
          const double at = witness.positionAt(j, received.time);
          const double jump = std::fabs(received.command.position + sim.motorZero(j) - at);
          // A joint that sagged past its limit while limp is driven back
          // toward it from the first cycle on: counted apart.
          if (at < kav::config::kJointLower[j] || at > kav::config::kJointUpper[j]) {
            ++beyond_limits;
            worst_beyond = std::max(worst_beyond, jump);
            break;
          }
          if (jump > worst_jump) {
            worst_jump = jump;
            std::snprintf(worst_what, sizeof worst_what, "joint %d at %.4f rad, kind %d, cycle %d", j + 1, at,
                          kind, cycle);
          }
          break;
        }
      }
    } catch (const std::runtime_error& error) {
      ++refused;
      std::printf("cycle %d: recover() refused: %s\n", cycle, error.what());
      sim.clearFaults();
      std::this_thread::sleep_for(200ms);
      try {
        arm.recover();
      } catch (const std::runtime_error& again) {
        std::printf("cycle %d: and again: %s\n", cycle, again.what());
        return 1;
      }
    }
    // Each injection starts from the same pose: a fault's damping lets the
    // arm sag.
    if (!quick && arm.controlActive()) {
      try {
        arm.moveJoints(start_pose);
        arm.waitMotion(10.0);
      } catch (const std::runtime_error& error) {
        // Control ended again after the recovery: the next cycle recovers.
        ++lost_after;
        const std::vector<int> codes = arm.getErrorCode();
        std::printf("cycle %d: after the recovery: %s (newest code %d)\n", cycle, error.what(),
                    codes.empty() ? 0 : codes.back());
      }
    }
    std::this_thread::sleep_for(150ms);
    if (cycle == warm_up) {
      threads_after_warm_up = statusField("Threads:");
      descriptors_after_warm_up = descriptorCount();
      rss_after_warm_up = statusField("VmRSS:");
    }
  }
  const long threads = statusField("Threads:"), descriptors = descriptorCount(), rss = statusField("VmRSS:");
  std::printf("%d recoveries (reflex, motor fault, silent motor in turn on joints 1-6)\n", cycles);
  std::printf("  recover() to control active: p50 %.1f ms, p95 %.1f ms, worst %.1f ms\n",
              1e3 * percentile(seconds, 0.5), 1e3 * percentile(seconds, 0.95),
              1e3 * percentile(seconds, 1.0));
  std::printf("  control lost again after %d recoveries\n", lost_after);
  std::printf(
      "  refused %d; injections that did not stop the arm within 3 s: reflex %d, fault %d, silence %d\n",
      refused, not_stopped[0], not_stopped[1], not_stopped[2]);
  std::printf(
      "  first position command after recovery: at most %.5f rad from the joint's position then (%s);\n"
      "  %d times a joint lay beyond its limit, and its first command was up to %.5f rad toward it\n",
      worst_jump, worst_what, beyond_limits, worst_beyond);
  std::printf(
      "  threads %ld -> %ld, descriptors %ld -> %ld, resident memory %ld -> %ld kB (after cycle %d -> end)\n",
      threads_after_warm_up, threads, descriptors_after_warm_up, descriptors, rss_after_warm_up, rss,
      warm_up + 1);
  const bool leaked = threads > threads_after_warm_up || descriptors > descriptors_after_warm_up;
  return refused > 0 || leaked ? 1 : 0;
}
