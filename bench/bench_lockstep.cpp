// How much faster than real time the lockstep rig runs: simulated seconds per
// wall second of the arm's bring-up and of running states, on an instant bus
// and on a timed 1 Mbit/s bus with 300 us replies.
//
//   bench_lockstep [--seconds N]    N simulated seconds per run (default 60)
#include <sim/Lockstep.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

struct Figures {
  double simulated = 0, wall = 0, cpu = 0;
};

// Runs @p body, which advances @p rig, and measures it.
Figures measure(kav::sim::Lockstep& rig, const std::function<void()>& body) {
  const double sim_before = rig.now(), cpu_before = processCpuSeconds();
  const auto wall_before = std::chrono::steady_clock::now();
  body();
  return {rig.now() - sim_before,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count(),
          processCpuSeconds() - cpu_before};
}

void print(const char* what, const Figures& f) {
  std::printf("  %-44s %8.2f s simulated in %7.3f s wall (CPU %7.3f s): %7.0f x real time\n", what,
              f.simulated, f.wall, f.cpu, f.simulated / f.wall);
}

void run(const char* bus, kav::sim::LockstepOptions options, double seconds) {
  const std::string urdf = std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf";
  std::printf("%s\n", bus);
  const double cpu_before = processCpuSeconds();
  const auto wall_before = std::chrono::steady_clock::now();
  kav::sim::Lockstep rig(urdf, options);
  print("bring-up (clear, enable, damping, homing)",
        {rig.now(), std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count(),
         processCpuSeconds() - cpu_before});
  auto& arm = rig.arm();
  arm.setArmStatus(5);
  print("POSITION_CONTROL, targets moving on sines", measure(rig, [&] {
          for (double t = 0; t < seconds; t += 0.5) {
            arm.setJointPositions({0.6 * std::sin(0.8 * t), 0.8 + 0.3 * std::sin(1.1 * t), 0.8,
                                   0.5 * std::sin(1.3 * t), 0.3, 0.8 * std::sin(0.6 * t)});
            rig.advance(0.5);
          }
        }));
  const Eigen::Isometry3d start = arm.getEndPose();
  arm.setEndPose(start);
  arm.setArmStatus(4);
  print("END_CONTROL, target moving on a circle", measure(rig, [&] {
          for (double t = 0; t < seconds; t += 0.05) {
            Eigen::Isometry3d pose = start;
            pose.translation() +=
                Eigen::Vector3d(0.0, 0.04 * std::sin(0.8 * t), 0.04 * std::cos(0.8 * t) - 0.04);
            arm.setEndPose(pose);
            rig.advance(0.05);
          }
        }));
  arm.setArmStatus(3);
  print("G_COMPENSATION", measure(rig, [&] { rig.advance(seconds); }));
  std::printf("  frames on the bus: %zu\n", rig.frames().size());
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60;
  if (argc == 3 && std::strcmp(argv[1], "--seconds") == 0) seconds = std::atof(argv[2]);
  if (!(seconds > 0)) {
    std::fprintf(stderr, "usage: bench_lockstep [--seconds N]\n");
    return 2;
  }
  run("instant bus", {}, seconds);
  kav::sim::LockstepOptions timed;
  timed.bitrate = 1000000;
  timed.reply_latency = std::chrono::microseconds(300);
  timed.noise = true;
  run("timed 1 Mbit/s bus, replies after 300 us, measurement noise", timed, seconds);
  return 0;
}
