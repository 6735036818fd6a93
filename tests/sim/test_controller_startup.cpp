// Bringing the arm up and down: the gripper-by-position variant, failures
// that must leave the bus alone or the arm safe, and the shutdown steps.
#include <canbase/SocketCan.h>
#include <interfaces/InterfacesThread.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "arm_fixture.h"

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
  kav::sim::SimulatedArmOptions options;
  options.variant = 2;
  SimBench bench(options);
  ProbeController controller(urdfPath(), bench.hub.endpoint(), 2);

  const auto log = bench.arm.receivedCommands(6);
  std::size_t search = 0, set_zero = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    const auto& c = log[i].command;
    if (!search && c.kind == CommandKind::kHybrid && std::fabs(c.velocity - 2.0) < 0.05) search = i;
    if (c.kind == CommandKind::kSetZero) set_zero = i;
  }
  ASSERT_GT(search, 0u) << "no search at +2.0";
  ASSERT_GT(set_zero, search) << "no set-zero frame after the search";
  EXPECT_NEAR(log[set_zero + 1].command.k_d, 2.0, 0.01);
  // The motor itself now reads 0 at the stop.
  EXPECT_NEAR(bench.arm.motorZero(6), bench.arm.gripperStop(), 0.02);

  // Position law of this variant: target clamped to [-3.4, 0.1], torque mode ignored.
  controller.setArmStatus(ControllerBase::POSITION_CONTROL);
  controller.setCatch(1.0);
  auto commands = commandsDuring(bench.arm, 6, 50ms);
  ASSERT_FALSE(commands.empty());
  EXPECT_NEAR(commands.back().position, 0.1, kPositionStep);
  EXPECT_NEAR(commands.back().k_p, 2.0, 0.2);
  EXPECT_NEAR(commands.back().k_d, 0.1, 0.01);
  controller.setCatch(-5.0);
  EXPECT_NEAR(lastCommandDuring(bench.arm, 6, 50ms).position, -3.4, kPositionStep);
  controller.setCatchTorque(1.5);
  commands = commandsDuring(bench.arm, 6, 50ms);
  EXPECT_NEAR(commands.back().position, -3.4, kPositionStep);
  EXPECT_NEAR(commands.back().torque, 0.0, kType2TorqueStep);
}

TEST(ControllerStartUp, UnusableDescriptionFailsBeforeAnythingIsSent) {
  SimBench bench;
  const std::string message =
      messageOf([&] { ProbeController controller("/nonexistent/arm.urdf", bench.hub.endpoint(), 0); });
  EXPECT_EQ(message, "URDF parsing failed");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(bench.arm.framesReceived(), 0u);
}

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

TEST(ControllerStartUp, BusThatCannotBeOpenedFailsNamingIt) {
  const std::string message =
      messageOf([&] { kav::t8::InterfacesThread arm(urdfPath(), "unix:@kav-no-arm-here", 0); });
  EXPECT_NE(message.find("unix:@kav-no-arm-here"), std::string::npos) << message;
}

TEST(ControllerStartUp, HomingThatNeverEndsFailsAfterThirtySecondsInDamping) {
  // Joint 3 starts a radian from home in a joint too stiff to move there.
  kav::sim::SimulatedArmOptions options;
  options.start_pose[2] = 1.0;
  options.physics.friction[2] = 1e4;
  SimBench bench(options);
  const auto start = std::chrono::steady_clock::now();
  const std::string message =
      messageOf([&] { ProbeController controller(urdfPath(), bench.hub.endpoint(), 0); });
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_NE(message.find("joint 3 "), std::string::npos) << message;
  EXPECT_NE(message.find("30 s"), std::string::npos) << message;
  EXPECT_GE(took, 30s);
  EXPECT_LT(took, 40s);
  // The last command every joint received is damping, and the bus is closed.
  const auto received = bench.arm.receivedCommands(0);
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.back().command.k_p, 0.0);
  EXPECT_NEAR(received.back().command.k_d, 1.0, 0.02);
  EXPECT_TRUE(waitFor([&] { return bench.hub.memberCount() == 1; }, 3s));
}

TEST(ControllerStartUp, DestructionStopsTheThreadThenHoldsDamping) {
  SimBench bench;
  auto arm = std::make_unique<kav::t8::InterfacesThread>(urdfPath(), bench.hub.endpoint(), 0);
  arm->setArmStatus(ControllerBase::POSITION_CONTROL);
  EXPECT_THROW(arm->kav_x(std::nan(""), 100, 0), std::invalid_argument);
  EXPECT_THROW(arm->setJointPositions({0.1}), std::invalid_argument);
  arm->kav_x(600, 2500, 7);  // clamped to 0.5 and 2.0
  std::this_thread::sleep_for(100ms);
  testing::internal::CaptureStdout();
  const auto start = std::chrono::steady_clock::now();
  arm.reset();
  const auto took = std::chrono::steady_clock::now() - start;
  const std::string out = testing::internal::GetCapturedStdout();
  const std::vector<std::string> order{"DisableMotor\n",
                                       "[ArmThread] DisableMotor\n",
                                       "[ArmThread] finish close\n",
                                       "[Controller] thread finish\n",
                                       "DisableMotor\n",
                                       "Destroying SocketCAN adapter...\n"};
  std::size_t at = 0;
  for (const auto& line : order) {
    const std::size_t found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "in\n" << out;
    at = found + line.size();
  }
  EXPECT_GE(took, 400ms);
  const auto received = bench.arm.receivedCommands(1);
  EXPECT_NEAR(received.back().command.k_d, 4.0, 0.02) << "the arm is left in damping";
  EXPECT_TRUE(waitFor([&] { return bench.hub.memberCount() == 1; }, 3s));
}
