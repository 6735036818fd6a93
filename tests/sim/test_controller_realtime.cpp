// The control cycle on a real-time budget: no heap allocation in a steady
// cycle, no wait for a standard output nobody reads, a prompt stop with its
// damping hold paced at the control period, and thread starts that fail.
#include <canbase/SocketCan.h>
#include <errno.h>
#include <fcntl.h>
#include <rt/Seams.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "arm_fixture.h"
#include "unread_console.h"

using namespace kav_test;
using kav::t8::ControllerBase;
using namespace std::chrono_literals;

// --------------------------------------------------------------- allocations
// This test program counts every heap allocation made on the control thread
// (the thread named "kav-control"). The sanitizers bring their own allocator,
// so their builds cannot count and say so.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KAV_COUNTS_ALLOCATIONS 0
#else
#define KAV_COUNTS_ALLOCATIONS 1
#endif

namespace {
std::atomic<long> g_control_allocations{0};
}  // namespace

#if KAV_COUNTS_ALLOCATIONS
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

namespace {
// 0 not looked at yet, 1 the control thread, 2 another thread. A thread is
// looked at once, at its first allocation after it was named.
__thread int t_thread_kind = 0;

void countAllocation() {
  if (t_thread_kind == 0) {
    char name[16] = {};
    prctl(PR_GET_NAME, name);
    if (std::string_view(name) == "kav-control") {
      t_thread_kind = 1;
    } else if (name[0] != '\0' && std::string_view(name).rfind("kav-", 0) != 0) {
      t_thread_kind = 2;  // threads not yet named stay unknown
    }
  }
  if (t_thread_kind == 1) g_control_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

void* malloc(std::size_t size) {
  countAllocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  countAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  countAllocation();
  return __libc_realloc(block, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  countAllocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  countAllocation();
  *block = __libc_memalign(alignment, size);
  return *block ? 0 : ENOMEM;
}
}  // extern "C"
#endif

TEST(ControllerRealtime, SteadyCyclesAllocateNothingInTheJointSpaceStates) {
  if (!KAV_COUNTS_ALLOCATIONS) GTEST_SKIP() << "allocations are not counted under a sanitizer";
  SimBench bench;
  ProbeController controller(urdfPath(), bench.hub.endpoint(), 0);
  controller.setJointPositions({0.3, 0.6, 0.5, 0.2, -0.3, 0.4});
  for (int state : {ControllerBase::POSITION_CONTROL, ControllerBase::GO_HOME, ControllerBase::G_COMPENSATION,
                    ControllerBase::SOFT, ControllerBase::PROTECT}) {
    controller.setArmStatus(state);
    std::this_thread::sleep_for(300ms);  // warm-up: the state's first cycles
    const std::size_t cycles_before = controller.getCycleTimings().size();
    const auto first = controller.getCycleTimings().back().start;
    const long before = g_control_allocations.load();
    std::this_thread::sleep_for(5100ms);
    const long allocations = g_control_allocations.load() - before;
    const auto timings = controller.getCycleTimings();
    const auto cycles =
        std::count_if(timings.begin(), timings.end(), [&](const auto& t) { return t.start > first; });
    EXPECT_GE(cycles, 1000) << "state " << state << " (" << cycles_before << " kept before)";
    EXPECT_EQ(allocations, 0) << "state " << state;
  }
  EXPECT_TRUE(controller.getErrorCode().empty());
}

// ------------------------------------------------------------- timed bus

TEST(ControllerRealtime, AWholeArmLifeOnA1MbitBusRefusesNoFrame) {
  kav::sim::BusHubOptions timed;
  timed.bitrate = 1000000;
  kav::sim::BusHub hub(timed);
  kav::sim::SimulatedArm arm(hub.endpoint());
  const std::uint64_t refused_before = kav::hw_interface::SocketCan::framesRefusedInProcess();
  {
    // Bring-up (clear, enable, damping rounds, homing), every state, shutdown.
    ProbeController controller(urdfPath(), hub.endpoint(), 0);
    controller.setJointPositions({0.3, 0.6, 0.5, 0.2, -0.3, 0.4});
    for (int state : {ControllerBase::SOFT, ControllerBase::G_COMPENSATION, ControllerBase::POSITION_CONTROL,
                      ControllerBase::PROTECT, ControllerBase::GO_HOME}) {
      controller.setArmStatus(state);
      std::this_thread::sleep_for(400ms);
    }
    EXPECT_TRUE(controller.getErrorCode().empty());
  }
  // Each side counts the sends its full transmit queue refused.
  EXPECT_EQ(arm.framesRefused(), 0u) << "refused to the simulated motors";
  EXPECT_EQ(kav::hw_interface::SocketCan::framesRefusedInProcess() - refused_before, 0u)
      << "refused in this process";
  const double load = hub.statistics().load();
  EXPECT_GT(load, 0.05);
  EXPECT_LT(load, 0.45);
}

// ----------------------------------------------------- console and stopping

TEST(ControllerRealtime, AConsoleNobodyReadsNeverDelaysACycleAndTheStopIsPrompt) {
  SimBench bench;
  auto controller = std::make_unique<ProbeController>(urdfPath(), bench.hub.endpoint(), 0);
  controller->setArmStatus(ControllerBase::POSITION_CONTROL);
  std::chrono::steady_clock::time_point window_start, destruction_start;
  std::chrono::steady_clock::duration destruction{};
  std::vector<int> codes;
  std::size_t cycles = 0;
  {
    UnreadConsole console;
    window_start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {  // 5 s of moving targets
      const double phase = 0.2 * i;
      controller->setJointPositions({0.3 * std::sin(phase), 0.5, 0.5, 0.2 * std::cos(phase), 0.0, 0.0});
      std::this_thread::sleep_for(100ms);
    }
    const auto timings = controller->getCycleTimings();
    cycles = static_cast<std::size_t>(
        std::count_if(timings.begin(), timings.end(), [&](const auto& t) { return t.start > window_start; }));
    codes = controller->getErrorCode();
    // The host's own lines at destruction need a reader; the arm's do not.
    console.drain();
    destruction_start = std::chrono::steady_clock::now();
    controller.reset();
    destruction = std::chrono::steady_clock::now() - destruction_start;
  }
  EXPECT_GE(cycles, 990u) << "cycles in 5 s while nobody read standard output";
  EXPECT_TRUE(codes.empty()) << "first code " << (codes.empty() ? 0 : codes.front());
  EXPECT_LT(destruction, 1500ms) << "damping hold (0.5 s) plus the stop";

  // The damping hold at destruction: one round per control period, at least 0.4 s long.
  std::vector<std::chrono::steady_clock::time_point> rounds;
  for (const auto& r : bench.arm.receivedCommands(1)) {
    if (r.time >= destruction_start && r.command.k_p == 0.0) rounds.push_back(r.time);
  }
  ASSERT_GE(rounds.size(), 90u);
  EXPECT_GE(rounds.back() - rounds.front(), 400ms);
  // Arrival times carry the simulator's own delays, so the spacing is
  // checked on average.
  EXPECT_GE((rounds.back() - rounds.front()) / (rounds.size() - 1), 4ms);
}

TEST(ControllerRealtime, ThreadsThatCannotStartFailTheConstruction) {
  SimBench bench;
  kav::rt::failNextThreadStart("kav-can-rx", EAGAIN);
  try {
    ProbeController controller(urdfPath(), bench.hub.endpoint(), 0);
    ADD_FAILURE() << "constructed without its receive thread";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("kav-can-rx"), std::string::npos) << error.what();
  }
  EXPECT_EQ(bench.arm.framesReceived(), 0u) << "nothing sent";

  kav::rt::failNextThreadStart("kav-control", EAGAIN);
  try {
    ProbeController controller(urdfPath(), bench.hub.endpoint(), 0);
    ADD_FAILURE() << "constructed without its control thread";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("kav-control"), std::string::npos) << error.what();
  }
  const auto last = bench.arm.receivedCommands(1);
  ASSERT_FALSE(last.empty());
  EXPECT_EQ(last.back().command.k_p, 0.0) << "the arm was left in damping";
  EXPECT_NEAR(last.back().command.k_d, kav::config::kDampingKd[1], 0.02);
}
