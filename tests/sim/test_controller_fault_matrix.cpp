// One row per fault a running arm may meet: what the host is told (codes),
// how soon the arm is in damping, that the host process lives on, and how
// long the stop takes. Each row brings up its own arm, moving in
// POSITION_CONTROL when the fault comes.
#include <can_motor_dlc/MotorWire.h>
#include <canbase/SocketCan.h>
#include <config/ArmConfig.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "arm_fixture.h"
#include "unread_console.h"

using namespace kav_test;
using kav::t8::ControllerBase;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kOffline = 15;
int offline(int motor) { return motor * 16 + kOffline; }

// A bus with a simulated arm that a row may kill and start again.
struct Rig {
  kav::sim::BusHub hub;
  std::unique_ptr<kav::sim::SimulatedArm> arm = std::make_unique<kav::sim::SimulatedArm>(hub.endpoint());
  std::unique_ptr<ProbeController> controller;
};

// A third member of the bus that sends whatever a row wants.
void sendFrames(const std::string& endpoint, const std::vector<kav::hw_interface::CanFrame>& frames,
                std::chrono::microseconds spacing) {
  kav::hw_interface::SocketCan bus;
  ASSERT_TRUE(bus.Init(endpoint.c_str()));
  for (auto frame : frames) {
    bus.ExchangeData(&frame);
    std::this_thread::sleep_for(spacing);
  }
  bus.Close();
}

kav::hw_interface::CanFrame type2Feedback(int motor_id, int status, double position) {
  kav::hw_interface::MotorFeedback feedback;
  feedback.code = status;
  feedback.position = position;
  return kav::hw_interface::encodeFeedback(kav::config::MotorProtocol::kType2, motor_id, feedback);
}

enum class Ends { kYes, kNo, kEither };

struct Row {
  const char* fault;
  std::function<void(Rig&)> inject;
  std::set<int> required;            // codes the host must see
  std::function<bool(int)> allowed;  // further codes it may see
  Ends ends_control;
  std::optional<std::chrono::milliseconds> damping_within;  // measured on joint `watched`
  int watched = 0;
  std::chrono::milliseconds settle = 1500ms;
  bool keeps_moving = false;  // the arm goes on in position control
};

bool none(int) { return false; }

}  // namespace

TEST(ControllerFaultMatrix, EveryFaultIsReportedAndHandled) {
  const std::vector<Row> rows = {
      {"a silent type 4 motor (joint 2)",
       [](Rig& r) { r.arm->setMotorSilent(1, true); },
       {offline(2)},
       none,
       Ends::kNo,
       500ms},
      {"a silent type 2 motor (joint 5)",
       [](Rig& r) { r.arm->setMotorSilent(4, true); },
       {offline(5)},
       none,
       Ends::kNo,
       1500ms},
      {"the whole bus silent",
       [](Rig& r) { r.arm->setBusSilent(true); },
       {ControllerBase::kCodeLinkOffline, offline(1), offline(2), offline(3), offline(4), offline(5),
        offline(6)},
       [](int c) { return c == offline(7); },
       Ends::kNo,
       std::nullopt,
       0,
       3000ms},
      {"the simulator killed and started again",
       [](Rig& r) {
         r.arm.reset();
         std::this_thread::sleep_for(1000ms);
         r.arm = std::make_unique<kav::sim::SimulatedArm>(r.hub.endpoint());
       },
       {offline(1), offline(2), offline(3), offline(4), offline(5), offline(6)},
       // The restarted wrist motors report themselves disabled.
       [](int c) { return c == offline(7) || (c > ControllerBase::kCodeMotorDisabled && c <= 150); },
       Ends::kEither,
       std::nullopt},
      {"a motor fault while moving",
       [](Rig& r) { r.arm->setMotorError(0, 3); },
       {1 * 16 + 3},
       none,
       Ends::kYes,
       200ms,
       1},
      {"over-current",
       [](Rig& r) { r.arm->setMotorCurrent(1, 14.0); },
       {ControllerBase::kCodeOverCurrent},
       none,
       Ends::kYes,
       1500ms},
      {"a wrist motor disabled by a stray frame",
       [](Rig& r) {
         sendFrames(r.hub.endpoint(),
                    {kav::hw_interface::packType2Special(kav::config::kMotorIds[4],
                                                         kav::sim::CommandKind::kDisable)},
                    0us);
       },
       {ControllerBase::kCodeMotorDisabled + 5},
       none,
       Ends::kYes,
       300ms},
      {"the gripper silent",
       [](Rig& r) { r.arm->setMotorSilent(6, true); },
       {offline(7)},
       none,
       Ends::kNo,
       std::nullopt,
       0,
       1500ms,
       true},
      {"implausible frames from a wrist motor",
       [](Rig& r) {
         // Back to back, so that no true reading comes between them.
         sendFrames(r.hub.endpoint(),
                    std::vector<kav::hw_interface::CanFrame>(20, type2Feedback(6, 1, -12.0)), 0us);
       },
       {ControllerBase::kCodeImplausibleFeedback + 5},
       none,
       Ends::kYes,
       300ms},
      {"random frames at 1000/s",
       [](Rig& r) {
         std::mt19937 random(7);
         std::vector<kav::hw_interface::CanFrame> frames(1000);
         for (auto& f : frames) {
           f.can_id = random() % 12;  // mostly the arm's identifiers
           f.can_dlc = static_cast<uint8_t>(random() % 9);
           for (auto& byte : f.data) byte = static_cast<uint8_t>(random());
         }
         sendFrames(r.hub.endpoint(), frames, 1000us);
       },
       {},
       // Random commands reach the simulated motors too.
       [](int c) {
         return c == ControllerBase::kCodeOverCurrent || (c > 16 && c < 128 && c % 16 != kOffline) ||
                (c > ControllerBase::kCodeImplausibleFeedback && c <= 151);
       },
       Ends::kEither,
       std::nullopt},
      {"a second controller on the bus",
       [](Rig& r) {
         try {
           ProbeController second(urdfPath(), r.hub.endpoint(), 0);
           ADD_FAILURE() << "a second controller came up";
         } catch (const std::runtime_error& error) {
           EXPECT_NE(std::string(error.what()).find("another host is driving the arm on"), std::string::npos)
               << error.what();
         }
       },
       {},
       none,
       Ends::kNo,
       std::nullopt,
       0,
       1500ms,
       true},
      {"a console nobody reads",
       [](Rig&) {
         UnreadConsole console;
         std::this_thread::sleep_for(2000ms);
       },
       {},
       none,
       Ends::kNo,
       std::nullopt,
       0,
       1500ms,
       true},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault);
    Rig rig;
    rig.controller = std::make_unique<ProbeController>(urdfPath(), rig.hub.endpoint(), 0);
    rig.controller->setJointPositions({0.2, 0.5, 0.4, 0.1, -0.1, 0.1});
    rig.controller->setArmStatus(ControllerBase::POSITION_CONTROL);
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(rig.controller->getErrorCode().empty());
    rig.arm->clearReceivedCommands();

    const auto injected = Clock::now();
    row.inject(rig);
    std::this_thread::sleep_for(row.settle);

    // Codes: every required one, and nothing outside the row's families.
    const std::vector<int> codes = rig.controller->getErrorCode();
    const std::set<int> seen(codes.begin(), codes.end());
    for (int code : row.required) EXPECT_TRUE(seen.count(code)) << "missing code " << code;
    for (int code : seen)
      EXPECT_TRUE(row.required.count(code) || row.allowed(code)) << "unexpected code " << code;

    if (row.ends_control != Ends::kEither) {
      EXPECT_EQ(rig.controller->controlActive(), row.ends_control == Ends::kNo);
    }
    if (!rig.controller->controlActive()) {
      EXPECT_THROW(rig.controller->setJointPositions({0, 0, 0, 0, 0, 0}), std::runtime_error);
    }

    // Time until damping, seen by a motor that still listens.
    const auto received = rig.arm->receivedCommands(row.watched);
    const auto damping = std::find_if(received.begin(), received.end(), [&](const auto& r) {
      return r.time >= injected && r.command.k_p == 0.0;
    });
    if (row.damping_within) {
      ASSERT_NE(damping, received.end()) << "never in damping";
      const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(damping->time - injected);
      EXPECT_LE(delay, *row.damping_within);
      std::printf("[fault matrix] %-42s damping after %4lld ms\n", row.fault,
                  static_cast<long long>(delay.count()));
    } else if (row.keeps_moving) {
      EXPECT_EQ(damping, received.end()) << "damping without a fault that calls for it";
    }

    // The host lives on and reads the last values; the stop is prompt.
    EXPECT_EQ(rig.controller->getJointPositons().size(), 7u);
    const auto stop = Clock::now();
    rig.controller.reset();
    const auto stop_time = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stop);
    EXPECT_LT(stop_time, 1500ms);
    std::printf("[fault matrix] %-42s codes %zu, stop %lld ms\n", row.fault, seen.size(),
                static_cast<long long>(stop_time.count()));
  }
}
