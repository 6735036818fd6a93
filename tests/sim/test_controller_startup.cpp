// Bringing the arm up and down: the gripper-by-position variant, failures
// that must leave the bus alone or the arm safe, and the shutdown steps.
#include <canbase/MemoryTransport.h>
#include <canbase/SocketCan.h>
#include <config/ArmConfig.h>
#include <interfaces/InterfacesThread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "rig_fixture.h"

using namespace kav_test;
using kav::sim::CommandKind;
using kav::t8::ControllerBase;
using namespace std::chrono_literals;

namespace {

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no exception)";
}

}  // namespace

TEST(ControllerStartUp, PositionDrivenGripperSearchesUpwardsAndIsZeroed) {
  kav::sim::LockstepOptions options;
  options.variant = 2;
  Rig rig(options);
  auto& arm = rig.arm();

  const auto log = rig.sim().receivedCommands(6);
  std::size_t search = 0, set_zero = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    const auto& c = log[i].command;
    if (!search && c.kind == CommandKind::kHybrid && std::fabs(c.velocity - 2.0) < 0.05) search = i;
    if (c.kind == CommandKind::kSetZero) set_zero = i;
  }
  ASSERT_GT(search, 0u) << "no search at +2.0";
  ASSERT_GT(set_zero, search) << "no set-zero frame after the search";
  ASSERT_LT(set_zero + 1, log.size());
  EXPECT_NEAR(log[set_zero + 1].command.k_d, 2.0, 0.01);
  // The motor itself now reads 0 at the stop.
  EXPECT_NEAR(rig.sim().motorZero(6), rig.sim().gripperStop(), 0.02);

  // Position law of this variant: target clamped to [-3.4, 0.1], torque mode ignored.
  arm.setArmStatus(ControllerBase::POSITION_CONTROL);
  arm.setCatch(1.0);
  auto commands = rig.commandsDuring(6, 0.05);
  ASSERT_FALSE(commands.empty());
  EXPECT_NEAR(commands.back().position, 0.1, kPositionStep);
  EXPECT_NEAR(commands.back().k_p, 2.0, 0.2);
  EXPECT_NEAR(commands.back().k_d, 0.1, 0.01);
  arm.setCatch(-5.0);
  EXPECT_NEAR(rig.lastCommandDuring(6).position, -3.4, kPositionStep);
  arm.setCatchTorque(1.5);
  commands = rig.commandsDuring(6, 0.05);
  ASSERT_FALSE(commands.empty());
  EXPECT_NEAR(commands.back().position, -3.4, kPositionStep);
  EXPECT_NEAR(commands.back().torque, 0.0, kType2TorqueStep);
}

// Real bus: a failed rig leaves no bus to look at; the hub outlives the
// controller and shows that nothing reached it.
TEST(ControllerStartUp, UnusableDescriptionFailsBeforeAnythingIsSent) {
  SimBench bench;
  const std::string message =
      messageOf([&] { ProbeController controller("/nonexistent/arm.urdf", bench.hub.endpoint(), 0); });
  EXPECT_EQ(message, "URDF parsing failed");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(bench.arm.framesReceived(), 0u);
}

// Real bus: another member listening with its own socket sees the frames
// stop once the failed controller has closed its socket and threads.
TEST(ControllerStartUp, NoMotorAnsweringFailsAfterTheStartUpDampingNamingThem) {
  kav::sim::BusHub hub;
  std::atomic<int> frames{0};
  kav::hw_interface::SocketCan listener;
  listener.setCallBackFunction([&](kav::hw_interface::CanFrame*) { ++frames; });
  ASSERT_TRUE(listener.Init(hub.endpoint().c_str()));
  const std::string message = messageOf([&] { ProbeController controller(urdfPath(), hub.endpoint(), 0); });
  EXPECT_NE(message.find("No answer from motors 1 2 3 4 5 6 7"), std::string::npos) << message;
  const int sent = frames.load();
  EXPECT_LE(sent, 7 * (3 + 3 + 100)) << "clear-error, enable and damping rounds, nothing more";
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(frames.load(), sent);
  listener.Close();
}

// Real bus: opening a local-socket bus that does not exist.
TEST(ControllerStartUp, BusThatCannotBeOpenedFailsNamingIt) {
  const std::string message =
      messageOf([&] { kav::t8::InterfacesThread arm(urdfPath(), "unix:@kav-no-arm-here", 0); });
  EXPECT_NE(message.find("unix:@kav-no-arm-here"), std::string::npos) << message;
}

TEST(ControllerStartUp, HomingThatNeverEndsFailsAfterThirtySecondsInDamping) {
  // Motors that answer from fixed positions, joint 3 a radian from home, on
  // a simulated clock that moves only when the controller waits. Unlike a
  // rig, which goes with its failed controller, they and the frames they
  // received outlive it.
  using namespace kav::config;
  using kav::hw_interface::CanFrame;
  struct : kav::t8::CycleDriver {
    void start(std::function<bool()>, std::function<void()>) override {}
    void stop() override {}
  } no_cycles;
  kav::rt::SimulatedClock clock;
  std::vector<CanFrame> received;
  kav::hw_interface::MemoryTransport* bus = nullptr;
  auto transport_token = std::make_shared<int>();
  const std::weak_ptr<int> transport_alive = transport_token;
  const auto isFor = [](const CanFrame& frame, int joint) {
    return frame.can_dlc == 8 && frame.can_id == static_cast<std::uint32_t>(kMotorIds[joint]);
  };
  auto transport = std::make_unique<kav::hw_interface::MemoryTransport>(
      clock, [&, token = std::move(transport_token)](const CanFrame& frame) {
        received.push_back(frame);
        for (int joint = 0; joint < kMotors; ++joint) {
          if (!isFor(frame, joint)) continue;
          kav::hw_interface::MotorFeedback feedback;
          feedback.code = kMotorProtocols[joint] == MotorProtocol::kType2 ? 1 : 0;  // enabled, healthy
          feedback.position = joint == 2 ? 1.0 : 0.0;
          bus->receive(kav::hw_interface::encodeFeedback(kMotorProtocols[joint], kMotorIds[joint], feedback));
        }
        return true;
      });
  bus = transport.get();
  kav::t8::ArmPlatform platform{std::move(transport), &clock, &no_cycles};
  const std::string message =
      messageOf([&] { kav::t8::InterfacesThread arm(urdfPath(), "fixed", 0, std::move(platform)); });
  EXPECT_NE(message.find("joint 3 "), std::string::npos) << message;
  EXPECT_NE(message.find("30 s"), std::string::npos) << message;
  // Homing began after 0.63 s of start-up and failed in the first cycle past
  // 30 s, which was followed by 100 damping rounds of 5 ms.
  const double took = std::chrono::duration<double>(clock.now().time_since_epoch()).count();
  EXPECT_GE(took, 0.63 + 30.0 + 0.5);
  EXPECT_LT(took, 0.63 + 30.0 + 0.005 + 0.5);
  // The last command every joint received is damping, and the bus is closed.
  for (int joint = 0; joint < kArmJoints; ++joint) {
    const auto last = std::find_if(received.rbegin(), received.rend(),
                                   [&](const CanFrame& frame) { return isFor(frame, joint); });
    ASSERT_NE(last, received.rend());
    const auto command = kav::hw_interface::decodeCommand(kMotorProtocols[joint], *last);
    EXPECT_EQ(command->k_p, 0.0) << "joint " << joint;
    EXPECT_NEAR(command->k_d, kDampingKd[joint], 0.02) << "joint " << joint;
  }
  EXPECT_TRUE(transport_alive.expired());
}

TEST(ControllerStartUp, DestructionStopsTheCyclesThenHoldsDamping) {
  Rig rig;
  auto& arm = rig.arm();
  arm.setArmStatus(ControllerBase::POSITION_CONTROL);
  EXPECT_THROW(arm.kav_x(std::nan(""), 100, 0), std::invalid_argument);
  EXPECT_THROW(arm.setJointPositions({0.1}), std::invalid_argument);
  arm.kav_x(600, 2500, 7);  // clamped to 0.5 and 2.0
  rig.run(0.1);
  rig.sim().clearReceivedCommands();
  testing::internal::CaptureStdout();
  const double start = rig.now();
  rig.rig().shutDown();
  const double took = rig.now() - start;
  const std::string out = testing::internal::GetCapturedStdout();
  const std::vector<std::string> order{"DisableMotor\n", "[ArmThread] DisableMotor\n",
                                       "[ArmThread] finish close\n", "[Controller] thread finish\n",
                                       "DisableMotor\n"};
  std::size_t at = 0;
  for (const auto& line : order) {
    const std::size_t found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "in\n" << out;
    at = found + line.size();
  }
  EXPECT_GE(took, 0.5 - 1e-9);  // 100 rounds of 5 ms (times are whole nanoseconds)
  // Once the cycles ended, the controller sent the damping hold only, and
  // nothing after it closed its bus.
  EXPECT_EQ(rig.hostFrames(start).size(), 7u * 100);
  const auto received = rig.sim().receivedCommands(1);
  ASSERT_FALSE(received.empty());
  for (const auto& c : received) EXPECT_EQ(c.command.k_p, 0.0);
  EXPECT_NEAR(received.back().command.k_d, 4.0, 0.02) << "the arm is left in damping";
  rig.run(0.5);
  EXPECT_EQ(rig.hostFrames(start).size(), 7u * 100);
}
