// Runs the controller against the simulated arm and reports how well the
// control loop keeps its 5 ms period, how long Update() takes, and how much
// of a processor the control thread (and the inverse-kinematics thread,
// where there is one) uses.
//
//   bench_controller [--seconds N] [--mode position|end-reachable|end-unreachable|end-alternating|states]
//                    [--motor-side]
//
//   position          POSITION_CONTROL with joint targets that change every 0.5 s
//   end-reachable     END_CONTROL with a reachable pose target moving on a circle
//   end-unreachable   END_CONTROL toward a pose the arm cannot reach (beyond
//                     the reach bound, so it is refused without a solve)
//   end-alternating   END_CONTROL with the target switching every second between
//                     the start pose and a pose 0.40 m further along x, which
//                     is within the reach bound but has no solution: every
//                     switch costs one failing solve and starts edge searches
//                     while the arm moves
//   states            the control thread's heap allocations in every state
//                     (SOFT, GO_HOME, PROTECT, G_COMPENSATION, END_CONTROL,
//                     POSITION_CONTROL, a number outside 0-5, a motion), N
//                     seconds each after a warm-up of 0.5 s
//
//   --motor-side      also measures the commands as the motors receive them: for
//                     each motor, |interval - 5000 us| between successive
//                     commands to it, from the times the bus hub (instant, its
//                     thread at SCHED_FIFO 81 when allowed) took them from the
//                     controller; next to the wake-up lateness of a reference
//                     thread at the control thread's priority (SCHED_FIFO 80
//                     when allowed) sleeping to absolute 5 ms deadlines
#include <config/ArmConfig.h>
#include <controller/ControllerThread.h>
#include <dirent.h>
#include <pthread.h>
#include <rt/Priority.h>
#include <sched.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Counts the control thread's heap allocations.
#include "../tests/support/control_allocations.h"

namespace {

using Clock = std::chrono::steady_clock;

// CPU time (user + system) of the thread named @p name, in seconds.
double threadCpuSeconds(const std::string& name) {
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return -1;
  double seconds = -1;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string dir = std::string("/proc/self/task/") + entry->d_name;
    std::ifstream comm(dir + "/comm");
    std::string task_name;
    std::getline(comm, task_name);
    if (task_name != name) continue;
    std::ifstream stat(dir + "/stat");
    std::string line;
    std::getline(stat, line);
    // Fields after the command name (which is in parentheses).
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::atol(field.c_str());
      if (i == 15) stime = std::atol(field.c_str());
    }
    seconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  closedir(tasks);
  return seconds;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t index =
      std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

void report(const char* what, const std::vector<double>& values) {
  std::printf("  %-28s p50 %8.1f  p99 %8.1f  max %8.1f  (n=%zu)\n", what, percentile(values, 0.5),
              percentile(values, 0.99),
              values.empty() ? 0.0 : *std::max_element(values.begin(), values.end()), values.size());
}

std::size_t countAbove(const std::vector<double>& values, double limit) {
  return static_cast<std::size_t>(
      std::count_if(values.begin(), values.end(), [&](double v) { return v > limit; }));
}

// Sleeps to absolute 5 ms deadlines on CLOCK_MONOTONIC at the control
// thread's priority and keeps how late each wake-up was.
class ReferenceTimer {
 public:
  ReferenceTimer()
      : thread_([this] {
          kav::rt::preferRealtime(kav::config::kControlThreadPriority);  // best effort, as the controller
          timespec deadline;
          clock_gettime(CLOCK_MONOTONIC, &deadline);
          const long period = std::chrono::nanoseconds(kav::config::kCyclePeriod).count();
          while (!stop_.load()) {
            deadline.tv_nsec += period;
            while (deadline.tv_nsec >= 1000000000L) {
              deadline.tv_nsec -= 1000000000L;
              ++deadline.tv_sec;
            }
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
            }
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            lateness_us_.push_back(static_cast<double>((now.tv_sec - deadline.tv_sec) * 1000000000LL +
                                                       (now.tv_nsec - deadline.tv_nsec)) /
                                   1000.0);
          }
        }) {}
  std::vector<double> stop() {
    stop_.store(true);
    thread_.join();
    return lateness_us_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<double> lateness_us_;
  std::thread thread_;
};

// |interval - period| between successive commands to each motor, from the
// hub's record of the controller's frames within [from, to].
void reportMotorSide(const std::vector<kav::sim::CarriedFrame>& carried, std::size_t controller,
                     Clock::time_point from, Clock::time_point to) {
  const double period_us = std::chrono::duration<double, std::micro>(kav::config::kCyclePeriod).count();
  std::printf("  commands as the motors receive them, |interval - %.0f| [us]:\n", period_us);
  for (int joint = 0; joint < kav::config::kMotors; ++joint) {
    const auto id = static_cast<uint32_t>(kav::config::kMotorIds[joint]);
    std::vector<double> deviation_us;
    std::optional<Clock::time_point> previous;
    for (const auto& frame : carried) {
      if (frame.member != controller || frame.frame.can_id != id || frame.end < from || frame.end > to)
        continue;
      if (previous) {
        deviation_us.push_back(
            std::fabs(std::chrono::duration<double, std::micro>(frame.end - *previous).count() - period_us));
      }
      previous = frame.end;
    }
    const std::string name = joint == kav::config::kGripper ? "gripper (motor " + std::to_string(id) + ")"
                                                            : "joint " + std::to_string(joint + 1) +
                                                                  " (motor " + std::to_string(id) + ")";
    report(name.c_str(), deviation_us);
  }
}

// The control thread's allocations over @p seconds in each state.
void allocationsPerState(kav::t8::ControllerThread& controller, int seconds,
                         const std::vector<double>& bent) {
  using kav::t8::ControllerBase;
  const Eigen::Isometry3d pose = controller.getEndPose();
  struct Phase {
    const char* name;
    std::function<void()> enter;
  };
  const std::vector<Phase> phases{
      {"SOFT", [&] { controller.setArmStatus(ControllerBase::SOFT); }},
      {"GO_HOME", [&] { controller.setArmStatus(ControllerBase::GO_HOME); }},
      {"PROTECT", [&] { controller.setArmStatus(ControllerBase::PROTECT); }},
      {"G_COMPENSATION", [&] { controller.setArmStatus(ControllerBase::G_COMPENSATION); }},
      {"POSITION_CONTROL",
       [&] {
         controller.setJointPositions(bent);
         controller.setArmStatus(ControllerBase::POSITION_CONTROL);
       }},
      {"END_CONTROL",
       [&] {
         controller.setEndPose(pose);
         controller.setArmStatus(ControllerBase::END_CONTROL);
       }},
      {"6 (acts as PROTECT)", [&] { controller.setArmStatus(6); }},
      {"a motion (moveJoints)",
       [&] {
         controller.setArmStatus(ControllerBase::POSITION_CONTROL);
         controller.moveJoints({0.6, 0.5, 1.1, 0.4, -0.3, 0.5}, 0.1);
       }},
  };
  std::printf("\ncontrol thread heap allocations per state, %d s each\n", seconds);
  for (const Phase& phase : phases) {
    phase.enter();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto first = controller.getCycleTimings().back().start;
    const long before = kav_test::controlThreadAllocations();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long allocations = kav_test::controlThreadAllocations() - before;
    const auto timings = controller.getCycleTimings();
    const long cycles =
        std::count_if(timings.begin(), timings.end(), [&](const auto& t) { return t.start > first; });
    std::printf("  %-24s %6ld cycles  %6ld allocations\n", phase.name, cycles, allocations);
  }
  std::printf("  error codes: %zu\n", controller.getErrorCode().size());
}

Eigen::Isometry3d poseAt(double x, double y, double z) {
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.translation() = Eigen::Vector3d(x, y, z);
  return pose;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 30;
  std::string mode = "position";
  bool motor_side = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (arg == "--mode" && i + 1 < argc) {
      mode = argv[++i];
    } else if (arg == "--motor-side") {
      motor_side = true;
    } else {
      std::fprintf(stderr,
                   "usage: bench_controller [--seconds N] "
                   "[--mode position|end-reachable|end-unreachable|end-alternating|states] [--motor-side]\n");
      return 2;
    }
  }
  if (mode != "position" && mode != "end-reachable" && mode != "end-unreachable" &&
      mode != "end-alternating" && mode != "states") {
    std::fprintf(stderr, "bench_controller: unknown mode %s\n", mode.c_str());
    return 2;
  }

  kav::sim::BusHubOptions bus;
  if (motor_side) {
    bus.record_capacity = 1 << 21;
    bus.realtime_priority = 81;  // above the control thread: the hub's times add the least
  }
  kav::sim::BusHub hub(bus);
  kav::sim::SimulatedArm arm(hub.endpoint());
  hub.waitForMembers(1);  // the arm is member 0, the controller member 1
  const std::string urdf = std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf";
  kav::t8::ControllerThread controller(urdf, hub.endpoint(), 0);

  // Start from a bent pose, away from the straight-arm singularity.
  const std::vector<double> bent{0.0, 0.8, 0.8, 0.0, 0.3, 0.0};
  controller.setJointPositions(bent);
  controller.setArmStatus(kav::t8::ControllerBase::POSITION_CONTROL);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const Eigen::Isometry3d start_pose = controller.getEndPose();
  if (mode == "states") {
    if (!kav_test::kKavCountsAllocations) {
      std::fprintf(stderr, "bench_controller: allocations are not counted in this build\n");
      return 2;
    }
    allocationsPerState(controller, seconds, bent);
    return 0;
  }
  if (mode != "position") {
    controller.setEndPose(start_pose);
    controller.setArmStatus(kav::t8::ControllerBase::END_CONTROL);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  std::unique_ptr<ReferenceTimer> reference;
  if (motor_side) {
    hub.takeCarriedFrames();  // only the measured run is kept
    reference = std::make_unique<ReferenceTimer>();
  }
  const long allocations_before = kav_test::controlThreadAllocations();
  const double cpu_before = threadCpuSeconds("kav-control");
  const double ik_cpu_before = threadCpuSeconds("kav-ik");
  const auto begin = Clock::now();
  const auto end = begin + std::chrono::seconds(seconds);
  std::vector<kav::t8::ControllerThread::CycleTiming> timings;
  int step = 0;
  while (Clock::now() < end) {
    const double t = std::chrono::duration<double>(Clock::now() - begin).count();
    if (mode == "position") {
      std::vector<double> target = bent;
      target[0] = 0.6 * std::sin(0.8 * t);
      target[1] = 0.8 + 0.3 * std::sin(1.1 * t);
      target[3] = 0.5 * std::sin(1.3 * t);
      target[5] = 0.8 * std::sin(0.6 * t);
      if (step % 50 == 0) controller.setJointPositions(target);
    } else if (mode == "end-reachable") {
      Eigen::Isometry3d pose = start_pose;
      pose.translation() += Eigen::Vector3d(0.0, 0.04 * std::sin(0.8 * t), 0.04 * std::cos(0.8 * t) - 0.04);
      controller.setEndPose(pose);
    } else if (mode == "end-unreachable") {
      controller.setEndPose(poseAt(0.5, 0.4, 0.5));  // far outside the arm's reach
    } else {
      Eigen::Isometry3d pose = start_pose;
      if (static_cast<long>(t) % 2 == 1) pose.translation().x() += 0.40;
      controller.setEndPose(pose);
    }
    ++step;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Collect before the ring buffer of the controller wraps.
    if (step % 100 == 0) {
      for (const auto& timing : controller.getCycleTimings()) {
        if (timing.start >= begin && (timings.empty() || timing.start > timings.back().start))
          timings.push_back(timing);
      }
    }
  }
  for (const auto& timing : controller.getCycleTimings()) {
    if (timing.start >= begin && timing.start < end &&
        (timings.empty() || timing.start > timings.back().start))
      timings.push_back(timing);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
  const double cpu = threadCpuSeconds("kav-control") - cpu_before;
  const long allocations = kav_test::controlThreadAllocations() - allocations_before;
  const double ik_cpu = threadCpuSeconds("kav-ik") - ik_cpu_before;

  std::vector<double> period_us, deviation_us, update_us;
  for (std::size_t i = 0; i < timings.size(); ++i) {
    update_us.push_back(std::chrono::duration<double, std::micro>(timings[i].update).count());
    if (i > 0) {
      const double period =
          std::chrono::duration<double, std::micro>(timings[i].start - timings[i - 1].start).count();
      period_us.push_back(period);
      deviation_us.push_back(std::fabs(period - 5000.0));
    }
  }
  std::printf("\ncontroller benchmark, mode %s, %d s, %zu cycles (%.1f per second)\n", mode.c_str(), seconds,
              timings.size(), static_cast<double>(timings.size()) / wall);
  report("cycle period [us]", period_us);
  report("|period - 5000| [us]", deviation_us);
  report("Update duration [us]", update_us);
  std::printf("  Update above 3.5 ms: %zu, above 5 ms: %zu\n", countAbove(update_us, 3500.0),
              countAbove(update_us, 5000.0));
  std::printf("  control thread CPU share: %.1f %% of one core\n", 100.0 * cpu / wall);
  if (ik_cpu_before >= 0)
    std::printf("  inverse-kinematics thread CPU share: %.1f %% of one core\n", 100.0 * ik_cpu / wall);
  if (kav_test::kKavCountsAllocations) {
    std::printf(
        "  control thread heap allocations: %ld (%.2f per cycle)\n", allocations,
        timings.empty() ? 0.0 : static_cast<double>(allocations) / static_cast<double>(timings.size()));
  }
  const auto codes = controller.getErrorCode();
  std::printf("  error codes during the run: %zu\n", codes.size());
  if (motor_side) {
    const std::vector<double> lateness_us = reference->stop();
    const auto carried = hub.takeCarriedFrames();
    reportMotorSide(carried, 1, begin, end);
    report("reference timer lateness [us]", lateness_us);
    std::printf("  frames not recorded: %llu\n",
                static_cast<unsigned long long>(hub.statistics().frames_not_recorded));
  }
  return 0;
}
