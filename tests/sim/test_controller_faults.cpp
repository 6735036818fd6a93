// Faults end control or hold the arm in damping; each case brings up its own
// arm on the lockstep rig because a fault is not undone.
#include <config/ArmConfig.h>
#include <rt/Seams.h>

#include <algorithm>
#include <functional>
#include <string>

#include "rig_fixture.h"

using namespace kav_test;
using kav::t8::ControllerBase;

namespace {

bool contains(const std::vector<int>& codes, int code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// Runs until control has ended on a fault (its last words are on standard
// error) and returns what was written there.
std::string faultMessage(Rig& rig, int expected_code) {
  testing::internal::CaptureStderr();
  const bool reported = rig.runUntil([&] { return contains(rig.arm().getErrorCode(), expected_code); }, 5.0);
  rig.run(0.3);  // damping, 100 ms, the raise, the shutdown steps
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(reported) << "code " << expected_code << " never reached the host";
  return err;
}

void expectDamping(Rig& rig) {
  const auto& expected_kd = kav::config::kDampingKd;
  for (int joint = 0; joint < 6; ++joint) {
    const auto received = rig.sim().receivedCommands(joint);
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back().command.k_p, 0.0) << "joint " << joint;
    EXPECT_NEAR(received.back().command.k_d, expected_kd[joint], 0.02) << "joint " << joint;
  }
}

// A rig whose simulated arm meets @p fault before it is brought up.
kav::sim::LockstepOptions faultyAtStartUp(std::function<void(kav::sim::SimulatedArm&)> fault) {
  kav::sim::LockstepOptions options;
  options.before_bring_up = std::move(fault);
  return options;
}

std::string shutDownOutput(Rig& rig) {
  testing::internal::CaptureStdout();
  rig.rig().shutDown();
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(ControllerFaults, SustainedOverCurrentEndsControlInDamping) {
  Rig rig;
  rig.arm().setArmStatus(ControllerBase::G_COMPENSATION);
  rig.run(0.05);
  rig.sim().setMotorCurrent(1, -14.0);  // |-14| counts like 14
  const std::string err = faultMessage(rig, 1);
  EXPECT_NE(err.find("关节力矩超限！\n"), std::string::npos) << err;
  const auto frames_after = rig.sim().framesReceived();
  rig.run(0.1);
  EXPECT_EQ(rig.sim().framesReceived(), frames_after) << "no command after the fault";
  expectDamping(rig);
  EXPECT_EQ(rig.arm().getArmStatus(), ControllerBase::G_COMPENSATION) << "faults keep the state";
  // Shutting down works as usual after a fault.
  EXPECT_NE(shutDownOutput(rig).find("[Controller] thread finish"), std::string::npos);
}

TEST(ControllerFaults, ShortOverCurrentBurstsAreTolerated) {
  Rig rig;
  rig.arm().setArmStatus(ControllerBase::G_COMPENSATION);
  for (int burst = 0; burst < 3; ++burst) {
    rig.sim().setMotorCurrent(2, 20.0);
    rig.run(0.6);  // 120 cycles, well below 200
    rig.sim().setMotorCurrent(2, std::nullopt);
    rig.run(0.1);
  }
  EXPECT_FALSE(contains(rig.arm().getErrorCode(), 1));
}

TEST(ControllerFaults, MotorFaultFoundDuringStartUpEndsControlAtTheFirstCycle) {
  testing::internal::CaptureStderr();
  // Joint 5 reports a type 2 status of 12.
  Rig rig(faultyAtStartUp([](kav::sim::SimulatedArm& arm) { arm.setMotorError(4, 12); }));
  EXPECT_TRUE(rig.arm().controlActive()) << "nothing acts on the fault before the first cycle";
  rig.run(0.001);  // the first cycle, at once after the bring-up
  EXPECT_FALSE(rig.arm().controlActive());
  EXPECT_TRUE(contains(rig.arm().getErrorCode(), 5 * 16 + 12));
  rig.run(0.3);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("电机故障，电机编号：5，故障类型：12\n"), std::string::npos) << err;
  expectDamping(rig);
}

TEST(ControllerFaults, MotorFaultWhileRunningEndsControlInDamping) {
  Rig rig;
  auto& arm = rig.arm();
  // Status 1 is the healthy state of the wrist motors and not reported.
  EXPECT_TRUE(arm.getErrorCode().empty());
  arm.setJointPositions({0.2, 0.3, 0.3, 0.0, 0.0, 0.0});
  arm.setArmStatus(ControllerBase::POSITION_CONTROL);
  rig.run(0.1);
  rig.sim().clearReceivedCommands();
  rig.sim().setMotorError(0, 3);
  const std::string err = faultMessage(rig, 1 * 16 + 3);
  EXPECT_NE(err.find("电机故障，电机编号：1，故障类型：3\n"), std::string::npos) << err;

  // The fault arrives with the reply to the next cycle's command, is
  // collected at its end and acted on by the cycle after: exactly one
  // position command after the fault was switched on, then damping and
  // nothing more.
  const auto received = rig.sim().receivedCommands(0);
  const auto damping =
      std::find_if(received.begin(), received.end(), [](const auto& r) { return r.command.k_p == 0.0; });
  ASSERT_NE(damping, received.end()) << "no damping command";
  EXPECT_EQ(damping - received.begin(), 1) << "position commands after the fault";
  EXPECT_TRUE(std::all_of(damping, received.end(), [](const auto& r) { return r.command.k_p == 0.0; }))
      << "a position command after damping began";
  expectDamping(rig);
  const auto frames_after = rig.sim().framesReceived();
  rig.run(0.1);
  EXPECT_EQ(rig.sim().framesReceived(), frames_after) << "no frame after the fault";
  EXPECT_NE(shutDownOutput(rig).find("[Controller] thread finish"), std::string::npos);
}

TEST(ControllerFaults, AnyFailureInACycleEndsInDampingWithACodeAndTheSettersSayWhy) {
  Rig rig;
  auto& arm = rig.arm();
  arm.setArmStatus(ControllerBase::POSITION_CONTROL);
  rig.run(0.05);
  kav::rt::failNextCycle("an unforeseen failure");
  const std::string err = faultMessage(rig, ControllerBase::kCodeCycleFailed);
  EXPECT_NE(err.find("an unforeseen failure\n"), std::string::npos) << err;
  EXPECT_FALSE(arm.controlActive());
  expectDamping(rig);
  try {
    arm.setJointPositions({0.1, 0.2, 0.3, 0, 0, 0});
    ADD_FAILURE() << "a setter succeeded after control ended";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("code 3: an unforeseen failure"), std::string::npos)
        << error.what();
  }
  EXPECT_THROW(arm.setArmStatus(ControllerBase::SOFT), std::runtime_error);
  EXPECT_THROW(arm.setHomePositions({0, 0, 0, 0, 0, 0}), std::runtime_error);
  EXPECT_EQ(arm.getJointPositons().size(), 7u) << "getters still answer with the last values";
}

TEST(ControllerFaults, DriverCodesBeyondFourteenStayFaultsOfTheirMotor) {
  testing::internal::CaptureStderr();
  // Joint 2 with every type 4 error bit set.
  Rig rig(faultyAtStartUp([](kav::sim::SimulatedArm& arm) { arm.setMotorError(1, 31); }));
  rig.runUntil([&] { return contains(rig.arm().getErrorCode(), 2 * 16 + 14); });
  rig.run(0.3);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(contains(rig.arm().getErrorCode(), 2 * 16 + 14));
  EXPECT_FALSE(contains(rig.arm().getErrorCode(), 2 * 16 + 15)) << "not mistaken for offline";
  EXPECT_NE(err.find("电机故障，电机编号：2，故障类型：14"), std::string::npos) << err;
}

TEST(ControllerFaults, OfflineMotorHoldsTheArmInDampingAndIsReported) {
  Rig rig;
  auto& arm = rig.arm();
  arm.setArmStatus(ControllerBase::POSITION_CONTROL);
  rig.sim().setMotorSilent(6, true);  // a silent gripper is reported, the arm keeps going
  rig.run(1.2);
  const auto gripper_codes = arm.getErrorCode();
  EXPECT_FALSE(gripper_codes.empty());
  for (int code : gripper_codes) EXPECT_EQ(code, 7 * 16 + 15);
  EXPECT_EQ(arm.getArmStatus(), ControllerBase::POSITION_CONTROL);

  testing::internal::CaptureStdout();
  rig.sim().setMotorSilent(1, true);
  rig.sim().setMotorSilent(4, true);
  rig.run(1.5);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("电机掉线！掉线电机编号：2 5 \n"), std::string::npos) << out.substr(0, 400);
  const auto codes = arm.getErrorCode();
  EXPECT_TRUE(contains(codes, 2 * 16 + 15));
  EXPECT_TRUE(contains(codes, 5 * 16 + 15));
  expectDamping(rig);

  // Answering again changes nothing: a motor once silent stays offline, and
  // the arm stays in damping.
  rig.sim().setMotorSilent(1, false);
  rig.sim().setMotorSilent(4, false);
  rig.run(0.3);
  testing::internal::CaptureStdout();
  rig.run(0.1);
  const std::string later = testing::internal::GetCapturedStdout();
  EXPECT_NE(later.find("电机掉线！掉线电机编号：2 5 \n"), std::string::npos) << later.substr(0, 400);
  expectDamping(rig);
  EXPECT_EQ(arm.getArmStatus(), ControllerBase::POSITION_CONTROL);
}

TEST(ControllerFaults, SilentBusIsReportedAsLinkOffline) {
  Rig rig;
  testing::internal::CaptureStdout();
  rig.sim().setBusSilent(true);
  const bool reported = rig.runUntil([&] { return contains(rig.arm().getErrorCode(), 2); }, 6.0);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(reported);
  const auto codes = rig.arm().getErrorCode();
  for (int motor = 1; motor <= 6; ++motor) EXPECT_TRUE(contains(codes, motor * 16 + 15)) << motor;
}
