// A host's control law in the cycle, on real threads against the simulated
// arm: the control thread's heap allocations and the cycle's Update time
// while POSITION_CONTROL holds a pose, and while control() runs the ready
// impedance laws holding the same pose; then a law that takes 2 ms, one
// that throws and one that returns NaN.
//
//   bench_control_law [--seconds N]
#include <controller/ControllerBase.h>
#include <controller/UserControl.h>
#include <interfaces/InterfacesThread.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// Counts the control thread's heap allocations.
#include "../tests/support/control_allocations.h"

namespace {

using kav::t8::ControllerBase;
using Arm = kav::t8::InterfacesThread;
using kav::t8::ControlLaw;
using kav::t8::CycleState;
using kav::t8::JointCommand;
namespace laws = kav::t8::laws;
using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1,
                         static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

struct Figures {
  long cycles = 0;
  long allocations = 0;
  double update_p50 = 0, update_p99 = 0, update_max = 0;  // us
};

// Waits 0.5 s, then measures @p seconds of cycles.
Figures measure(Arm& controller, int seconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto first = controller.getCycleTimings(1).back().start;
  const long before = kav_test::controlThreadAllocations();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  Figures figures;
  figures.allocations = kav_test::controlThreadAllocations() - before;
  std::vector<double> update;
  for (const auto& timing : controller.getCycleTimings(8192)) {
    if (timing.start > first)
      update.push_back(std::chrono::duration<double, std::micro>(timing.update).count());
  }
  figures.cycles = static_cast<long>(update.size());
  figures.update_p50 = percentile(update, 0.5);
  figures.update_p99 = percentile(update, 0.99);
  figures.update_max = update.empty() ? 0 : *std::max_element(update.begin(), update.end());
  return figures;
}

void print(const char* what, const Figures& f) {
  std::printf("  %-34s %6ld cycles %6ld allocations   Update p50 %6.1f  p99 %6.1f  max %7.1f us\n", what,
              f.cycles, f.allocations, f.update_p50, f.update_p99, f.update_max);
}

// Runs control(@p law) on a host thread for @p seconds, measuring meanwhile.
Figures underLaw(Arm& controller, ControlLaw law, int seconds) {
  std::atomic<bool> stop{false};
  const double until = seconds + 1.0;
  std::thread host([&] {
    controller.control([&, law](const CycleState& state) {
      JointCommand command = law(state);
      command.finished = stop.load(std::memory_order_relaxed) || state.time > until;
      return command;
    });
  });
  const Figures figures = measure(controller, seconds);
  stop.store(true);
  host.join();
  return figures;
}

// How control(@p law) ended: the exception's message, or "returned".
std::string ending(Arm& controller, const ControlLaw& law) {
  try {
    controller.control(law);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "returned";
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: bench_control_law [--seconds N]\n");
      return 2;
    }
  }
  if (!kav_test::kKavCountsAllocations) {
    std::fprintf(stderr, "bench_control_law: allocations are not counted in this build\n");
    return 2;
  }
  kav::sim::BusHub hub;
  kav::sim::SimulatedArm arm(hub.endpoint());
  hub.waitForMembers(1);
  const std::string urdf = std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf";
  Arm controller(urdf, hub.endpoint(), 0);

  const std::vector<double> bent{0.0, 0.8, 0.8, 0.0, 0.3, 0.0};
  controller.setJointPositions(bent);
  controller.setArmStatus(ControllerBase::POSITION_CONTROL);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const Eigen::Isometry3d pose = controller.getEndPose();
  const std::array<double, 6> target{bent[0], bent[1], bent[2], bent[3], bent[4], bent[5]};

  std::printf("control thread, %d s each after 0.5 s (Update: the cycle's step, the law's time included)\n",
              seconds);
  print("POSITION_CONTROL holding", measure(controller, seconds));
  print("control(jointImpedance)",
        underLaw(controller, laws::jointImpedance({60, 60, 60, 20, 10, 5}, {5, 5, 5, 0.5, 0.3, 0.2}, target),
                 seconds));
  print("control(cartesianImpedance)",
        underLaw(controller,
                 laws::cartesianImpedance({300, 300, 300, 20, 20, 20}, {30, 30, 30, 0.5, 0.5, 0.5}, pose),
                 seconds));

  // A law that takes 2 ms every cycle, for 2 s.
  const auto hold = laws::jointImpedance({60, 60, 60, 20, 10, 5}, {5, 5, 5, 0.5, 0.3, 0.2}, target);
  const auto codes_before = controller.getErrorCode().size();
  std::vector<double> law_us;
  law_us.reserve(1000);
  controller.control([&](const CycleState& state) {
    const auto start = Clock::now();
    while (Clock::now() < start + std::chrono::milliseconds(2)) {
    }
    JointCommand command = hold(state);
    command.finished = state.time > 2.0;
    if (law_us.size() < law_us.capacity())
      law_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    return command;
  });
  const auto codes = controller.getErrorCode();
  const long overruns = std::count(codes.begin() + static_cast<long>(codes_before), codes.end(), 193);
  std::printf("  a law of 2 ms: its own time p50 %.0f us; code 193 recorded %ld time(s)\n",
              percentile(law_us, 0.5), overruns);

  controller.setArmStatus(ControllerBase::POSITION_CONTROL);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::printf("  a law that throws at its 10th cycle: %s\n", ending(controller, [&](const CycleState& state) {
                                                               if (state.cycle == 10)
                                                                 throw std::runtime_error("bug");
                                                               return hold(state);
                                                             }).c_str());
  std::printf("    arm state afterwards %d, control active %d\n", controller.getArmStatus(),
              controller.controlActive() ? 1 : 0);
  controller.setArmStatus(ControllerBase::POSITION_CONTROL);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::printf("  a law that returns NaN at its 10th cycle: %s\n",
              ending(controller, [&](const CycleState& state) {
                JointCommand command = hold(state);
                if (state.cycle == 10) command.joints[0].torque = std::numeric_limits<double>::quiet_NaN();
                return command;
              }).c_str());
  std::printf("    arm state afterwards %d, control active %d\n", controller.getArmStatus(),
              controller.controlActive() ? 1 : 0);
  return 0;
}
