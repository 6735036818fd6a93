// Faults end control or hold the arm in damping; each case brings up its own
// controller because a fault is not undone.
#include <config/ArmConfig.h>
#include <rt/Seams.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "arm_fixture.h"

using namespace kav_test;
using kav::t8::ControllerBase;
using namespace std::chrono_literals;

namespace {

bool contains(const std::vector<int>& codes, int code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// Waits until the control thread has ended on a fault (its last words are
// on standard error) and returns what it wrote there.
std::string faultMessage(ProbeController& controller, int expected_code) {
  testing::internal::CaptureStderr();
  const bool reported = waitFor([&] { return contains(controller.getErrorCode(), expected_code); }, 5s);
  std::this_thread::sleep_for(300ms);  // damping, 100 ms, the raise, the shutdown steps
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(reported) << "code " << expected_code << " never reached the host";
  return err;
}

void expectDamping(SimBench& bench) {
  const auto& expected_kd = kav::config::kDampingKd;
  for (int joint = 0; joint < 6; ++joint) {
    const auto received = bench.arm.receivedCommands(joint);
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back().command.k_p, 0.0) << "joint " << joint;
    EXPECT_NEAR(received.back().command.k_d, expected_kd[joint], 0.02) << "joint " << joint;
  }
}

}  // namespace

TEST(ControllerFaults, SustainedOverCurrentEndsControlInDamping) {
  SimBench bench;
  auto controller = std::make_unique<ProbeController>(urdfPath(), bench.hub.endpoint(), 0);
  controller->setArmStatus(ControllerBase::G_COMPENSATION);
  std::this_thread::sleep_for(50ms);
  bench.arm.setMotorCurrent(1, -14.0);  // |-14| counts like 14
  const std::string err = faultMessage(*controller, 1);
  EXPECT_NE(err.find("关节力矩超限！\n"), std::string::npos) << err;
  const auto frames_after = bench.arm.framesReceived();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(bench.arm.framesReceived(), frames_after) << "no command after the fault";
  expectDamping(bench);
  EXPECT_EQ(controller->storedState(), ControllerBase::G_COMPENSATION) << "faults keep the state";

  testing::internal::CaptureStdout();
  controller.reset();  // destruction works as usual after a fault
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[Controller] thread finish"), std::string::npos);
}

TEST(ControllerFaults, ShortOverCurrentBurstsAreTolerated) {
  SimBench bench;
  ProbeController controller(urdfPath(), bench.hub.endpoint(), 0);
  controller.setArmStatus(ControllerBase::G_COMPENSATION);
  for (int burst = 0; burst < 3; ++burst) {
    bench.arm.setMotorCurrent(2, 20.0);
    std::this_thread::sleep_for(600ms);  // about 120 cycles, well below 200
    bench.arm.setMotorCurrent(2, std::nullopt);
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_FALSE(contains(controller.getErrorCode(), 1));
}

TEST(ControllerFaults, MotorFaultFoundDuringStartUpEndsControlAtTheFirstCycle) {
  SimBench bench;
  bench.arm.setMotorError(4, 12);  // joint 5 reports a type 2 status of 12
  testing::internal::CaptureStderr();
  ProbeController controller(urdfPath(), bench.hub.endpoint(), 0);
  waitFor([&] {
    const auto codes = controller.getErrorCode();
    return std::find(codes.begin(), codes.end(), 5 * 16 + 12) != codes.end();
  });
  std::this_thread::sleep_for(300ms);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("电机故障，电机编号：5，故障类型：12\n"), std::string::npos) << err;
  EXPECT_TRUE(contains(controller.getErrorCode(), 5 * 16 + 12));
  expectDamping(bench);
}

TEST(ControllerFaults, MotorFaultWhileRunningEndsControlInDamping) {
  SimBench bench;
  auto controller = std::make_unique<ProbeController>(urdfPath(), bench.hub.endpoint(), 0);
  // Status 1 is the healthy state of the wrist motors and not reported.
  EXPECT_TRUE(controller->getErrorCode().empty());
  controller->setJointPositions({0.2, 0.3, 0.3, 0.0, 0.0, 0.0});
  controller->setArmStatus(ControllerBase::POSITION_CONTROL);
  std::this_thread::sleep_for(100ms);
  bench.arm.clearReceivedCommands();
  bench.arm.setMotorError(0, 3);
  const std::string err = faultMessage(*controller, 1 * 16 + 3);
  EXPECT_NE(err.find("电机故障，电机编号：1，故障类型：3\n"), std::string::npos) << err;

  // The fault arrives with the reply to one cycle's command, is collected at
  // its end and acted on by the next cycle: at most two position commands
  // after the fault was switched on, then damping and nothing more.
  const auto received = bench.arm.receivedCommands(0);
  const auto damping =
      std::find_if(received.begin(), received.end(), [](const auto& r) { return r.command.k_p == 0.0; });
  ASSERT_NE(damping, received.end()) << "no damping command";
  EXPECT_LE(damping - received.begin(), 2) << "position commands after the fault";
  EXPECT_TRUE(std::all_of(damping, received.end(), [](const auto& r) { return r.command.k_p == 0.0; }))
      << "a position command after damping began";
  expectDamping(bench);
  const auto frames_after = bench.arm.framesReceived();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(bench.arm.framesReceived(), frames_after) << "no frame after the fault";

  testing::internal::CaptureStdout();
  controller.reset();
  EXPECT_NE(testing::internal::GetCapturedStdout().find("[Controller] thread finish"), std::string::npos);
}

TEST(ControllerFaults, AnyFailureInACycleEndsInDampingWithACodeAndTheSettersSayWhy) {
  SimBench bench;
  auto controller = std::make_unique<ProbeController>(urdfPath(), bench.hub.endpoint(), 0);
  controller->setArmStatus(ControllerBase::POSITION_CONTROL);
  std::this_thread::sleep_for(50ms);
  kav::rt::failNextCycle("an unforeseen failure");
  const std::string err = faultMessage(*controller, ControllerBase::kCodeCycleFailed);
  EXPECT_NE(err.find("an unforeseen failure\n"), std::string::npos) << err;
  EXPECT_FALSE(controller->controlActive());
  expectDamping(bench);
  try {
    controller->setJointPositions({0.1, 0.2, 0.3, 0, 0, 0});
    ADD_FAILURE() << "a setter succeeded after control ended";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("code 3: an unforeseen failure"), std::string::npos)
        << error.what();
  }
  EXPECT_THROW(controller->setArmStatus(ControllerBase::SOFT), std::runtime_error);
  EXPECT_THROW(controller->setHomePositions({0, 0, 0, 0, 0, 0}), std::runtime_error);
  EXPECT_EQ(controller->getJointPositons().size(), 7u) << "getters still answer with the last values";
  controller.reset();
}

TEST(ControllerFaults, DriverCodesBeyondFourteenStayFaultsOfTheirMotor) {
  SimBench bench;
  bench.arm.setMotorError(1, 31);  // joint 2, every type 4 error bit set
  testing::internal::CaptureStderr();
  ProbeController controller(urdfPath(), bench.hub.endpoint(), 0);
  waitFor([&] { return contains(controller.getErrorCode(), 2 * 16 + 14); });
  std::this_thread::sleep_for(300ms);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(contains(controller.getErrorCode(), 2 * 16 + 14));
  EXPECT_FALSE(contains(controller.getErrorCode(), 2 * 16 + 15)) << "not mistaken for offline";
  EXPECT_NE(err.find("电机故障，电机编号：2，故障类型：14"), std::string::npos) << err;
}

TEST(ControllerFaults, OfflineMotorHoldsTheArmInDampingAndIsReported) {
  SimBench bench;
  ProbeController controller(urdfPath(), bench.hub.endpoint(), 0);
  controller.setArmStatus(ControllerBase::POSITION_CONTROL);
  bench.arm.setMotorSilent(6, true);  // the gripper is not watched
  std::this_thread::sleep_for(1200ms);
  EXPECT_TRUE(controller.getErrorCode().empty());

  testing::internal::CaptureStdout();
  bench.arm.setMotorSilent(1, true);
  bench.arm.setMotorSilent(4, true);
  std::this_thread::sleep_for(1500ms);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("电机掉线！掉线电机编号：2 5 \n"), std::string::npos) << out.substr(0, 400);
  const auto codes = controller.getErrorCode();
  EXPECT_TRUE(contains(codes, 2 * 16 + 15));
  EXPECT_TRUE(contains(codes, 5 * 16 + 15));
  expectDamping(bench);

  // Answering again changes nothing: a motor once silent stays offline, and
  // the arm stays in damping.
  bench.arm.setMotorSilent(1, false);
  bench.arm.setMotorSilent(4, false);
  std::this_thread::sleep_for(300ms);
  testing::internal::CaptureStdout();
  std::this_thread::sleep_for(100ms);
  const std::string later = testing::internal::GetCapturedStdout();
  EXPECT_NE(later.find("电机掉线！掉线电机编号：2 5 \n"), std::string::npos) << later.substr(0, 400);
  expectDamping(bench);
  EXPECT_EQ(controller.storedState(), ControllerBase::POSITION_CONTROL);
}

TEST(ControllerFaults, SilentBusIsReportedAsLinkOffline) {
  SimBench bench;
  ProbeController controller(urdfPath(), bench.hub.endpoint(), 0);
  testing::internal::CaptureStdout();
  bench.arm.setBusSilent(true);
  const bool reported = waitFor([&] { return contains(controller.getErrorCode(), 2); }, 6s);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(reported);
  const auto codes = controller.getErrorCode();
  for (int motor = 1; motor <= 6; ++motor) EXPECT_TRUE(contains(codes, motor * 16 + 15)) << motor;
  bench.arm.setBusSilent(false);
}
