// recover() on real threads: an arm on a simulated arm over a local-socket
// bus is stopped again and again, in turn by a reflex (a step of external
// torque of twice the reflex threshold), by a motor fault the motor clears,
// and by a motor that falls silent and answers again; each time recover()
// brings it back. Prints the time from calling recover() to control active
// (p50, p95, worst), the refusals, how far the first command after each
// recovery lay from the measured position, and the process's threads,
// descriptors and resident memory after the warm-up and at the end.
//
//   bench_recovery [--cycles N]     (default 1000)
//
// Exit status 1 when a recovery failed, or the threads or descriptors grew.
#include <config/ArmConfig.h>
#include <controller/ControllerThread.h>
#include <dirent.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using kav::t8::ControllerBase;
using kav::t8::ControllerThread;
using namespace std::chrono_literals;

long statusField(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t length = std::strlen(name);
  while (std::getline(in, line)) {
    if (line.compare(0, length, name) == 0) return std::atol(line.c_str() + length);
  }
  return -1;
}

long descriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  long count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the directory's own descriptor
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
  return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  int cycles = 1000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cycles") == 0 && i + 1 < argc) {
      cycles = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: bench_recovery [--cycles N]\n");
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
  int refused = 0, not_stopped = 0;
  long threads_after_warm_up = 0, descriptors_after_warm_up = 0, rss_after_warm_up = 0;
  const int warm_up = std::min(cycles - 1, 30);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const int joint = cycle % 6;
    const int kind = (cycle / 6) % 3;  // reflex, motor fault, silent motor
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
    const bool stopped =
        waitFor([&] { return arm.reflexActive() || !arm.controlActive(); }, std::chrono::milliseconds(3000));
    if (!stopped) ++not_stopped;
    // The cause goes away: the push ends, the fault is cleared, the motor answers.
    sim.setExternalTorque(joint, 0.0);
    if (kind == 1 && joint < 3) sim.setMotorError(joint, 0);
    sim.clearFaults();
    std::this_thread::sleep_for(20ms);

    sim.clearReceivedCommands();
    const auto start = Clock::now();
    try {
      arm.recover();
      seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      const std::vector<double> measured = arm.getJointPositons();
      // The first position command after the recovery's compliant rounds.
      std::this_thread::sleep_for(30ms);
      for (int j = 0; j < 6; ++j) {
        for (const auto& received : sim.receivedCommands(j)) {
          if (received.time < start || received.command.k_p <= 0.0) continue;
          worst_jump = std::max(worst_jump, std::fabs(received.command.position - measured[j]));
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
  std::printf("  refused %d, not stopped by the injection %d\n", refused, not_stopped);
  std::printf("  first position command after recovery: at most %.5f rad from the measured position\n",
              worst_jump);
  std::printf(
      "  threads %ld -> %ld, descriptors %ld -> %ld, resident memory %ld -> %ld kB (after cycle %d -> end)\n",
      threads_after_warm_up, threads, descriptors_after_warm_up, descriptors, rss_after_warm_up, rss,
      warm_up + 1);
  const bool leaked = threads > threads_after_warm_up || descriptors > descriptors_after_warm_up;
  return refused > 0 || leaked ? 1 : 0;
}
