// One controller on the simulated arm, shared by every case: start-up, the
// joint-space states, the gripper laws, host input, and concurrent hosts.
#include <config/ArmConfig.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>

#include "arm_fixture.h"

using namespace kav_test;
using kav::sim::CommandKind;
using kav::sim::MotorCommand;
using kav::t8::ControllerBase;
using namespace std::chrono_literals;

namespace {

struct StartUpRecord {
  std::vector<kav::sim::ReceivedCommand> joint0, joint3, gripper;
  std::string standard_error;
  std::chrono::steady_clock::duration construction{};
};

}  // namespace

class ControllerStates : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    bench_ = new SimBench();
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    controller_ = new ProbeController(urdfPath(), bench_->hub.endpoint(), 0);
    record_.construction = std::chrono::steady_clock::now() - start;
    record_.standard_error = testing::internal::GetCapturedStderr();
    record_.joint0 = bench_->arm.receivedCommands(0);
    record_.joint3 = bench_->arm.receivedCommands(3);
    record_.gripper = bench_->arm.receivedCommands(6);
  }
  static void TearDownTestSuite() {
    delete controller_;
    delete bench_;
  }

  static std::vector<MotorCommand> during(int joint, std::chrono::milliseconds window = 60ms) {
    return commandsDuring(bench_->arm, joint, window);
  }

  // Drives the arm to @p target and waits until it has settled there: close
  // to the target and nearly still for ten readings in a row.
  void moveTo(const std::vector<double>& target) {
    controller_->setJointPositions(target);
    controller_->setArmStatus(ControllerBase::POSITION_CONTROL);
    int settled_readings = 0;
    ASSERT_TRUE(waitFor(
        [&] {
          const auto q = controller_->getJointPositons();
          const auto v = controller_->getJointVelocities();
          bool settled = true;
          for (int i = 0; i < 6; ++i) {
            settled = settled && std::fabs(q[i] - target[i]) < 0.02 && std::fabs(v[i]) < 0.1;
          }
          settled_readings = settled ? settled_readings + 1 : 0;
          return settled_readings >= 10;
        },
        std::chrono::seconds(20)))
        << "the arm did not settle at its joint targets";
  }

  static SimBench* bench_;
  static ProbeController* controller_;
  static StartUpRecord record_;
};

SimBench* ControllerStates::bench_ = nullptr;
ProbeController* ControllerStates::controller_ = nullptr;
StartUpRecord ControllerStates::record_;

TEST_F(ControllerStates, StartUpClearsEnablesDampsAndHomesInOrder) {
  EXPECT_GE(record_.construction, 3550ms);
  EXPECT_NE(record_.standard_error.find("Init completed\n"), std::string::npos);
  EXPECT_EQ(controller_->storedState(), ControllerBase::GO_HOME);

  // A wrist motor: three clear-error frames, three enables, 100 damping
  // commands, then homing commands.
  const auto& wrist = record_.joint3;
  ASSERT_GT(wrist.size(), 106u + 500u);  // about 700 homing cycles, fewer on a slow build
  for (int i = 0; i < 3; ++i) EXPECT_EQ(wrist[i].command.kind, CommandKind::kClearError) << i;
  for (int i = 3; i < 6; ++i) EXPECT_EQ(wrist[i].command.kind, CommandKind::kEnable) << i;
  for (int i = 6; i < 106; ++i) {
    EXPECT_EQ(wrist[i].command.kind, CommandKind::kHybrid);
    EXPECT_NEAR(wrist[i].command.k_d, 1.0, 0.01);
    EXPECT_EQ(wrist[i].command.k_p, 0.0);
  }
  EXPECT_NEAR(wrist[106].command.k_p, 50.0, 0.2);
  EXPECT_NEAR(wrist[106].command.k_d, 0.8, 0.01);

  // A base motor has no clear-error command (the empty frame reaches no
  // motor): three enables (k_d 5), then damping with k_d 1.
  const auto& base = record_.joint0;
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(base[i].command.k_d, 5.0, 0.02) << i;
  EXPECT_NEAR(base[3].command.k_d, 1.0, 0.02);
  EXPECT_NEAR(base[103].command.k_p, 150.0, 0.2);
  EXPECT_NEAR(base[103].command.torque, 0.0, kType4TorqueStep)
      << "no feed-forward on joints 1-2 while homing";

  // The gripper searches its stop at -5 during homing, which lasts at least
  // 3.55 s, then gets one damping command (k_d 2).
  const auto& gripper = record_.gripper;
  std::size_t first_search = 0, damping = 0;
  for (std::size_t i = 0; i < gripper.size(); ++i) {
    const MotorCommand& c = gripper[i].command;
    if (!first_search && c.kind == CommandKind::kHybrid && std::fabs(c.velocity + 5.0) < 0.05)
      first_search = i;
    if (first_search && std::fabs(c.k_d - 2.0) < 0.01) {
      damping = i;
      break;
    }
  }
  ASSERT_GT(first_search, 0u);
  ASSERT_GT(damping, first_search);
  EXPECT_GE(gripper[damping].time - gripper[first_search].time, 3500ms);
  for (std::size_t i = 0; i < gripper.size(); ++i) {
    EXPECT_NE(gripper[i].command.kind, CommandKind::kSetZero) << "no set-zero for variant 0";
  }

  // The gripper zero is where the gripper stopped.
  EXPECT_NEAR(controller_->gripperZero(), bench_->arm.gripperStop() - bench_->arm.motorZero(6), 0.02);
}

TEST_F(ControllerStates, SoftAndGravityCompensationCommands) {
  controller_->setArmStatus(ControllerBase::SOFT);
  for (int joint : {0, 2, 4, 6}) {
    const auto commands = during(joint);
    ASSERT_GE(commands.size(), 8u);
    for (const auto& c : commands) {
      EXPECT_EQ(c.k_p, 0.0);
      EXPECT_EQ(c.k_d, 0.0);
      EXPECT_NEAR(c.torque, 0.0, kType4TorqueStep);
      EXPECT_NEAR(c.position, 0.0, kPositionStep);
    }
  }

  moveTo({0.2, 0.8, 0.6, 0.3, -0.4, 0.2});
  controller_->setArmStatus(ControllerBase::G_COMPENSATION);
  std::this_thread::sleep_for(30ms);
  bench_->arm.clearReceivedCommands();
  std::this_thread::sleep_for(20ms);
  const std::vector<double> gravity = scaledGravityAt(bench_->arm);
  for (int joint = 0; joint < 6; ++joint) {
    const auto received = bench_->arm.receivedCommands(joint);
    ASSERT_FALSE(received.empty());
    const MotorCommand& c = received.back().command;
    EXPECT_EQ(c.k_p, 0.0);
    EXPECT_EQ(c.k_d, 0.0);
    // The arm floats slowly, so the pose of the command and of the check
    // differ a little.
    EXPECT_NEAR(c.torque, gravity[joint], 0.05) << "joint " << joint;
  }
  const MotorCommand gripper = lastCommandDuring(bench_->arm, 6, 50ms);  // limp: all zero
  EXPECT_EQ(gripper.k_p, 0.0);
  EXPECT_EQ(gripper.k_d, 0.0);
  EXPECT_NEAR(gripper.torque, 0.0, kType2TorqueStep);
}

TEST_F(ControllerStates, PositionControlReachesTargetsWithItsGains) {
  const std::vector<double> target{0.3, 0.6, 0.5, 0.2, -0.3, 0.4};
  moveTo(target);
  const std::vector<double> gravity = scaledGravityAt(bench_->arm);
  const auto wrist = during(3);
  ASSERT_FALSE(wrist.empty());
  EXPECT_NEAR(wrist.back().k_p, 50.0, 0.2);
  EXPECT_NEAR(wrist.back().k_d, 0.8, 0.01);
  EXPECT_NEAR(wrist.back().torque, gravity[3], 0.06) << "joints 4-6 carry their gravity torque";
  const auto base = during(0);
  ASSERT_FALSE(base.empty());
  EXPECT_NEAR(base.back().k_p, 150.0, 0.2);
  EXPECT_NEAR(base.back().position, target[0], 0.01);

  // At rest the set-points sit on the targets: the same position in every
  // frame, and the velocity of 0.0 (never chattering around the target).
  for (int joint : {0, 3, 5}) {
    const auto zero = kav::sim::decodeCommand(
        kav::config::kMotorProtocols[joint],
        kav::hw_interface::packHybridCommand(kav::config::kMotorProtocols[joint], 1, 0, 0, 0, 0.0, 0));
    const auto commands = during(joint, 100ms);
    ASSERT_GE(commands.size(), 10u);
    for (const auto& c : commands) {
      EXPECT_EQ(c.position, commands.front().position) << "joint " << joint;
      EXPECT_EQ(c.velocity, zero->velocity) << "joint " << joint;
    }
  }
}

TEST_F(ControllerStates, TargetsBeyondTheJointLimitsAreClamped) {
  moveTo({0.0, 0.5, 0.5, 0.0, 0.0, 0.0});
  controller_->setJointPositions({0.0, 4.0, 0.5, 0.0, 0.0, 0.0});
  ASSERT_TRUE(waitFor([&] { return std::fabs(controller_->getJointPositons()[1] - 3.6) < 0.03; }))
      << "joint 2 did not settle at its upper limit (correction torque from the clamped target)";
  for (const auto& c : during(1)) EXPECT_LE(c.position, 3.6 + kPositionStep);
  moveTo({0.0, 0.5, 0.5, 0.0, 0.0, 0.0});
}

TEST_F(ControllerStates, InterpolationLimitsAreClampedAndNonNumbersRefused) {
  kav::t8::ControllerBase& core = *controller_;
  core.setInterpolationParam(0.8, -1);
  EXPECT_EQ(controller_->maxAcc(), 0.5);
  EXPECT_EQ(controller_->maxVel(), 0.0);
  core.setInterpolationParam(0.3, 1.5);
  EXPECT_EQ(controller_->maxAcc(), 0.3);
  EXPECT_EQ(controller_->maxVel(), 1.5);
  EXPECT_THROW(core.setInterpolationParam(std::nan(""), 1.0), std::invalid_argument);
  EXPECT_THROW(core.setInterpolationParam(0.1, INFINITY), std::invalid_argument);
  EXPECT_EQ(controller_->maxAcc(), 0.3);
  EXPECT_EQ(controller_->maxVel(), 1.5);
  core.setInterpolationParam(0.5, 2.0);
}

TEST_F(ControllerStates, DampingForProtectAndForUnknownStateNumbers) {
  for (int state : {static_cast<int>(ControllerBase::PROTECT), 6, -1}) {
    controller_->setArmStatus(state);
    const auto& expected_kd = kav::config::kDampingKd;
    for (int joint = 0; joint < 6; ++joint) {
      const auto commands = during(joint, 50ms);
      ASSERT_FALSE(commands.empty());
      EXPECT_EQ(commands.back().k_p, 0.0);
      EXPECT_NEAR(commands.back().k_d, expected_kd[joint], 0.02) << "state " << state;
      EXPECT_NEAR(commands.back().torque, 0.0, kType4TorqueStep);
    }
    EXPECT_EQ(controller_->storedState(), state);
  }
}

TEST_F(ControllerStates, GripperLawOfTorqueDrivenVariants) {
  controller_->setArmStatus(ControllerBase::GO_HOME);
  controller_->setCatch(0.8);  // ignored while going home: the target is 0
  ASSERT_TRUE(waitFor([&] { return std::fabs(controller_->getJointPositons()[6]) < 0.02; }));
  auto at_zero = during(6);
  EXPECT_NEAR(at_zero.back().torque, -0.8, 0.1);  // pressed against the stop
  EXPECT_EQ(at_zero.back().k_p, 0.0);
  EXPECT_NEAR(at_zero.back().k_d, 0.2, 0.01);

  controller_->setArmStatus(ControllerBase::POSITION_CONTROL);
  controller_->setCatch(1.0);
  std::this_thread::sleep_for(12ms);
  bench_->arm.clearReceivedCommands();
  ASSERT_TRUE(waitFor([&] { return !bench_->arm.receivedCommands(6).empty(); }));
  EXPECT_NEAR(bench_->arm.receivedCommands(6).front().command.torque, 2.0, kType2TorqueStep);

  controller_->setCatchTorque(-5.0);
  EXPECT_NEAR(lastCommandDuring(bench_->arm, 6, 50ms).torque, -2.0, kType2TorqueStep);
  controller_->setCatchTorque(1.5);
  EXPECT_NEAR(lastCommandDuring(bench_->arm, 6, 50ms).torque, 1.5, kType2TorqueStep);
  EXPECT_EQ(controller_->catchMode(), 1);
  controller_->setCatch(0.0);
  EXPECT_EQ(controller_->catchMode(), 0);
}

TEST_F(ControllerStates, HomePositionsAndTheGripperZero) {
  const double gripper_zero = controller_->gripperZero();
  controller_->setHomePositions({0.2, 0.4, 0.3, 0.1, 0.1, -0.1, 99.0});
  controller_->setArmStatus(ControllerBase::GO_HOME);
  ASSERT_TRUE(waitFor([&] {
    const auto q = controller_->getJointPositons();
    return std::fabs(q[0] - 0.2) < 0.08 && std::fabs(q[1] - 0.4) < 0.08 && std::fabs(q[5] + 0.1) < 0.08;
  }));
  EXPECT_EQ(controller_->gripperZero(), gripper_zero);

  // Home positions beyond the joint limits are clamped like targets (and a
  // huge one never reaches the cycle's arithmetic): joint 4 stops at 1.29.
  moveTo({0.0, 0.5, 0.4, 1.2, 0.0, 0.0});
  controller_->setHomePositions({0.0, 0.5, 0.4, 1e300, 0.0, 0.0});
  controller_->setArmStatus(ControllerBase::GO_HOME);
  std::this_thread::sleep_for(1500ms);
  const auto wrist = during(3, 100ms);
  ASSERT_FALSE(wrist.empty());
  EXPECT_NEAR(wrist.back().position, kav::config::kJointUpper[3], kPositionStep);
  EXPECT_TRUE(controller_->controlActive());
  controller_->setHomePositions({0, 0, 0, 0, 0, 0});
}

TEST_F(ControllerStates, BadHostInputIsRefusedAndChangesNothing) {
  const std::vector<double> target{0.1, 0.7, 0.4, 0.0, 0.0, 0.0};
  moveTo(target);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(controller_->setJointPositions({0.1, 0.2}), std::invalid_argument);
  EXPECT_THROW(controller_->setJointPositions({0.1, 0.2, nan, 0, 0, 0}), std::invalid_argument);
  EXPECT_THROW(controller_->setHomePositions({0.1, 0.2, 0.3}), std::invalid_argument);
  EXPECT_THROW(controller_->setHomePositions({0, 0, 0, INFINITY, 0, 0}), std::invalid_argument);
  EXPECT_THROW(controller_->setCatch(nan), std::invalid_argument);
  EXPECT_THROW(controller_->setCatchTorque(-INFINITY), std::invalid_argument);
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.translation().x() = nan;
  EXPECT_THROW(controller_->setEndPose(pose), std::invalid_argument);
  // A linear part that is not a rotation: zero, scaled, sheared, mirrored.
  Eigen::Matrix3d sheared = Eigen::Matrix3d::Identity();
  sheared(0, 1) = 0.1;
  for (const Eigen::Matrix3d& linear :
       {Eigen::Matrix3d::Zero().eval(), (2.0 * Eigen::Matrix3d::Identity()).eval(), sheared,
        Eigen::Vector3d(1, 1, -1).asDiagonal().toDenseMatrix()}) {
    Eigen::Isometry3d bad = Eigen::Isometry3d::Identity();
    bad.linear() = linear;
    EXPECT_THROW(controller_->setEndPose(bad), std::invalid_argument) << linear;
  }
  std::this_thread::sleep_for(200ms);
  const auto q = controller_->getJointPositons();
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(q[i], target[i], 0.04) << "joint " << i;
  EXPECT_EQ(controller_->catchMode(), 0);
}

TEST_F(ControllerStates, ManyHostThreadsAtOnce) {
  controller_->setArmStatus(ControllerBase::POSITION_CONTROL);
  std::atomic<bool> stop{false};
  std::vector<std::thread> hosts;
  for (int t = 0; t < 4; ++t) {
    hosts.emplace_back([&, t] {
      kav::t8::ControllerBase& core = *controller_;
      while (!stop.load()) {
        controller_->setJointPositions({0.1 * t, 0.5, 0.5, 0, 0, 0});
        controller_->setCatch(0.0);
        controller_->getJointStatus();
        controller_->getJointPositons();
        controller_->getEndPose();
        controller_->getErrorCode();
        core.setInterpolationParam(0.5, 2.0);
        core.setHomePositions({0, 0, 0, 0, 0, 0});
      }
    });
  }
  std::this_thread::sleep_for(500ms);
  stop.store(true);
  for (auto& host : hosts) host.join();
  EXPECT_TRUE(controller_->getErrorCode().empty());
}

TEST_F(ControllerStates, NoErrorCodesInNormalRunning) {
  EXPECT_TRUE(controller_->getErrorCode().empty());
  const auto first = controller_->getErrorCode();
  EXPECT_EQ(controller_->getErrorCode(), first);
}
