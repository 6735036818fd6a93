// One row per fault a running arm may meet: what the host is told (codes),
// how soon the arm is in damping, that the host process lives on, and how
// long the stop takes. Each row brings up its own arm, moving in
// POSITION_CONTROL when the fault comes. The rows run on the lockstep rig,
// except the few whose subject is the real threads or the real bus.
#include <can_motor_dlc/MotorWire.h>
#include <config/ArmConfig.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "reflex_count.h"
#include "rig_fixture.h"
#include "stall_witness.h"
#include "unread_console.h"

using namespace kav_test;
using kav::t8::ControllerBase;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kOffline = 15;
int offline(int motor) { return motor * 16 + kOffline; }

const std::vector<double> kTarget = {0.2, 0.5, 0.4, 0.1, -0.1, 0.1};

enum class Ends { kYes, kNo, kEither };

// What the host must be told and what the arm must do after a fault.
struct Expected {
  std::set<int> required;            // codes the host must see
  std::function<bool(int)> allowed;  // further codes it may see
  Ends ends_control;
  std::optional<std::chrono::milliseconds> damping_within;  // measured on joint `watched`
  int watched = 0;
  bool keeps_moving = false;  // the arm goes on in position control
};

bool none(int) { return false; }

// Checks the codes, the end of control, the time until damping and that the
// host still reads the last values; returns how many codes were seen.
template <typename Arm>
std::size_t expectHandled(const char* fault, const Expected& expected, Arm& arm,
                          const std::vector<kav::sim::ReceivedCommand>& received,
                          Clock::time_point injected) {
  // Codes: every required one, and nothing outside the row's families.
  const std::vector<int> codes = arm.getErrorCode();
  const std::set<int> seen(codes.begin(), codes.end());
  for (int code : expected.required) EXPECT_TRUE(seen.count(code)) << "missing code " << code;
  // Stale or garbled readings look like a push to the collision observer, so
  // its reflex (the arm compliant) may come before the fault is declared.
  const auto reflex = [](int code) {
    return kav::t8::ErrorCode(code).kind() == kav::t8::ErrorCode::Kind::kCollision;
  };
  for (int code : seen)
    EXPECT_TRUE(expected.required.count(code) || expected.allowed(code) || reflex(code))
        << "unexpected code " << code;

  if (expected.ends_control != Ends::kEither) {
    EXPECT_EQ(arm.controlActive(), expected.ends_control == Ends::kNo);
  }
  if (!arm.controlActive()) {
    EXPECT_THROW(arm.setJointPositions({0, 0, 0, 0, 0, 0}), std::runtime_error);
  }

  // Time until damping, seen by a motor that still listens.
  const auto damping = std::find_if(received.begin(), received.end(), [&](const auto& r) {
    return r.time >= injected && r.command.k_p == 0.0;
  });
  if (expected.damping_within) {
    EXPECT_NE(damping, received.end()) << "never in damping";
    if (damping != received.end()) {
      const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(damping->time - injected);
      EXPECT_LE(delay, *expected.damping_within);
      std::printf("[fault matrix] %-42s damping after %4lld ms\n", fault,
                  static_cast<long long>(delay.count()));
    }
  } else if (expected.keeps_moving) {
    EXPECT_EQ(damping, received.end()) << "damping without a fault that calls for it";
  }

  // The host lives on and reads the last values.
  EXPECT_EQ(arm.getJointPositons().size(), 7u);
  return seen.size();
}

void printStop(const char* fault, std::size_t codes, std::chrono::milliseconds stop) {
  std::printf("[fault matrix] %-42s codes %zu, stop %lld ms\n", fault, codes,
              static_cast<long long>(stop.count()));
}

// A rig's simulated clock starts at the clock's epoch: its times are
// simulated seconds since the rig was built.
Clock::time_point simulatedTime(const Rig& rig) {
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(rig.now())));
}

kav::hw_interface::CanFrame type2Feedback(int motor_id, int status, double position) {
  kav::hw_interface::MotorFeedback feedback;
  feedback.code = status;
  feedback.position = position;
  return kav::hw_interface::encodeFeedback(kav::config::MotorProtocol::kType2, motor_id, feedback);
}

struct RigRow {
  const char* fault;
  std::function<void(Rig&)> inject;
  Expected expected;
  double settle = 1.5;  // simulated seconds after the injection
};

}  // namespace

TEST(ControllerFaultMatrix, EveryFaultIsReportedAndHandled) {
  // Garbled currents and random frames look like pushes to the observer: a
  // reflex may come before the fault's own reaction (accepted below).
  kav_test::expectReflexes();
  const std::vector<RigRow> rows = {
      {"a silent type 4 motor (joint 2)",
       [](Rig& r) { r.sim().setMotorSilent(1, true); },
       {{offline(2)}, none, Ends::kNo, 500ms}},
      {"a silent type 2 motor (joint 5)",
       [](Rig& r) { r.sim().setMotorSilent(4, true); },
       {{offline(5)}, none, Ends::kNo, 1500ms}},
      {"the whole bus silent",
       [](Rig& r) { r.sim().setBusSilent(true); },
       {{ControllerBase::kCodeLinkOffline, offline(1), offline(2), offline(3), offline(4), offline(5),
         offline(6)},
        [](int c) { return c == offline(7); },
        Ends::kNo,
        std::nullopt},
       3.0},
      {"a motor fault while moving",
       [](Rig& r) { r.sim().setMotorError(0, 3); },
       {{1 * 16 + 3}, none, Ends::kYes, 200ms, 1}},
      {"over-current",
       [](Rig& r) { r.sim().setMotorCurrent(1, 14.0); },
       {{ControllerBase::kCodeOverCurrent}, none, Ends::kYes, 1500ms}},
      {"a wrist motor disabled by a stray frame",
       [](Rig& r) {
         r.rig().sendFrame(
             kav::hw_interface::packType2Special(kav::config::kMotorIds[4], kav::sim::CommandKind::kDisable));
       },
       {{ControllerBase::kCodeMotorDisabled + 5}, none, Ends::kYes, 300ms}},
      {"the gripper silent",
       [](Rig& r) { r.sim().setMotorSilent(6, true); },
       {{offline(7)}, none, Ends::kNo, std::nullopt, 0, true}},
      {"implausible frames from a wrist motor",
       [](Rig& r) {
         // Back to back, so that no true reading comes between them.
         for (int i = 0; i < 20; ++i) r.rig().sendFrame(type2Feedback(6, 1, -12.0));
       },
       {{ControllerBase::kCodeImplausibleFeedback + 5}, none, Ends::kYes, 300ms}},
      {"random frames at 1000/s",
       [](Rig& r) {
         std::mt19937 random(7);
         for (int i = 0; i < 1000; ++i) {
           kav::hw_interface::CanFrame f{};
           f.can_id = random() % 12;  // mostly the arm's identifiers
           f.can_dlc = static_cast<uint8_t>(random() % 9);
           for (auto& byte : f.data) byte = static_cast<uint8_t>(random());
           r.rig().sendFrame(f);
           r.run(0.001);
         }
       },
       // Random commands reach the simulated motors too.
       {{},
        [](int c) {
          return c == ControllerBase::kCodeOverCurrent || (c > 16 && c < 128 && c % 16 != kOffline) ||
                 (c > ControllerBase::kCodeImplausibleFeedback && c <= 151);
        },
        Ends::kEither,
        std::nullopt}},
  };

  for (const RigRow& row : rows) {
    SCOPED_TRACE(row.fault);
    Rig rig;
    rig.arm().setJointPositions(kTarget);
    rig.arm().setArmStatus(ControllerBase::POSITION_CONTROL);
    rig.run(0.3);
    ASSERT_TRUE(rig.arm().getErrorCode().empty());
    rig.sim().clearReceivedCommands();

    const auto injected = simulatedTime(rig);
    row.inject(rig);
    rig.run(row.settle);
    const std::size_t codes = expectHandled(row.fault, row.expected, rig.arm(),
                                            rig.sim().receivedCommands(row.expected.watched), injected);

    // The stop is prompt in simulated time.
    const double stop = rig.now();
    rig.rig().shutDown();
    const auto stop_time = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(rig.now() - stop));
    EXPECT_LT(stop_time, 1500ms);
    printStop(row.fault, codes, stop_time);
  }
}

namespace {

// A bus with a simulated arm that a row may kill and start again.
struct Bench {
  kav::sim::BusHub hub;
  std::unique_ptr<kav::sim::SimulatedArm> arm = std::make_unique<kav::sim::SimulatedArm>(hub.endpoint());
  std::unique_ptr<ProbeController> controller;
};

struct ThreadRow {
  const char* fault;
  std::function<void(Bench&)> inject;
  Expected expected;
  std::chrono::milliseconds settle = 1500ms;
};

}  // namespace

// Faults whose subject is the real threads or the real local-socket bus:
// another process's transport on the bus, the console queue of real-time
// threads, and a simulator process that goes away and comes back with its
// wrist motors disabled, which the rig's simulated arm cannot do.
TEST(ControllerFaultMatrix, FaultsOfTheRealBusAndThreadsAreReportedAndHandled) {
  const std::vector<ThreadRow> rows = {
      {"the simulator killed and started again",
       [](Bench& b) {
         b.arm.reset();
         std::this_thread::sleep_for(1000ms);
         b.arm = std::make_unique<kav::sim::SimulatedArm>(b.hub.endpoint());
       },
       {{offline(1), offline(2), offline(3), offline(4), offline(5), offline(6)},
        // The restarted wrist motors report themselves disabled.
        [](int c) { return c == offline(7) || (c > ControllerBase::kCodeMotorDisabled && c <= 150); },
        Ends::kEither,
        std::nullopt}},
      {"a second controller on the bus",
       [](Bench& b) {
         try {
           ProbeController second(urdfPath(), b.hub.endpoint(), 0);
           ADD_FAILURE() << "a second controller came up";
         } catch (const std::runtime_error& error) {
           EXPECT_NE(std::string(error.what()).find("another host is driving the arm on"), std::string::npos)
               << error.what();
         }
       },
       {{}, none, Ends::kNo, std::nullopt, 0, true}},
      {"a console nobody reads",
       [](Bench&) {
         UnreadConsole console;
         std::this_thread::sleep_for(2000ms);
       },
       {{}, none, Ends::kNo, std::nullopt, 0, true}},
  };

  for (const ThreadRow& row : rows) {
    SCOPED_TRACE(row.fault);
    // A machine that holds real-time threads off for longer than a motor's
    // silence limit takes the motors offline whatever the code does: such a
    // row says nothing about the fault, and the witness tells.
    StallWitness witness;
    Bench bench;
    bench.controller = std::make_unique<ProbeController>(urdfPath(), bench.hub.endpoint(), 0);
    bench.controller->setJointPositions(kTarget);
    bench.controller->setArmStatus(ControllerBase::POSITION_CONTROL);
    std::this_thread::sleep_for(300ms);
    const bool clean_start = bench.controller->getErrorCode().empty();
    bench.arm->clearReceivedCommands();

    const auto injected = Clock::now();
    row.inject(bench);
    std::this_thread::sleep_for(row.settle);
    if (witness.longest() < kav::config::kType4SilenceLimit) {
      EXPECT_TRUE(clean_start) << "codes before the fault";
      expectHandled(row.fault, row.expected, *bench.controller,
                    bench.arm->receivedCommands(row.expected.watched), injected);
    }
    const std::size_t codes = bench.controller->getErrorCode().size();
    const auto stop = Clock::now();
    bench.controller.reset();
    const auto stop_time = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stop);
    if (witness.longest() < kav::config::kType4SilenceLimit) {
      EXPECT_LT(stop_time, 1500ms);
    } else {
      std::printf("[fault matrix] %-42s this machine held real-time threads off for %lld ms: not checked\n",
                  row.fault, static_cast<long long>(witness.longest().count() / 1000));
    }
    printStop(row.fault, codes, stop_time);
  }
}
