// The simulated arm on a local-socket bus, seen through the real transport
// and drivers, the way the controller sees it.
#include <config/ArmConfig.h>
#include <gtest/gtest.h>
#include <sim/ArmPhysics.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>
#include <solver/ArmDynamics.h>
#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ArmBusHost.h"
#include "arm_fixture.h"

namespace {

using kav::hw_interface::CanFrame;
using kav::hw_interface::MotorDlcBase;
using kav::sim::CommandKind;
using kav::sim::ErrorPersistence;
using kav::sim::kSimArmJoints;
using kav::sim::kSimJoints;
using kav::sim::SimulatedArm;
using kav::sim::SimulatedArmOptions;
using kav::testing::ArmBusHost;
using std::chrono::milliseconds;
using Pose = std::array<double, kSimJoints>;

constexpr double kPositionStep = 25.0 / 65535;
const Pose kBent{0.2, 1.0, 0.8, 0.3, -0.4, 0.5, 0.0};
// Gains of the controller's go-home state, joints 1-6.
const auto& kHomeKp = kav::config::kGoHomeGains.k_p;
const auto& kHomeKd = kav::config::kGoHomeGains.k_d;

class SimArmBus : public ::testing::Test {
 protected:
  void attach(SimulatedArmOptions options = SimulatedArmOptions()) {
    arm_ = std::make_unique<SimulatedArm>(hub_.endpoint(), options);
    host_ = std::make_unique<ArmBusHost>(hub_.endpoint());
    ASSERT_TRUE(hub_.waitForMembers(2));
  }

  void enableAll() {
    host_->toAll([](MotorDlcBase& d) { return d.packEnableMotor(); });
  }

  // One frame to one motor; waits for its answer and publishes it.
  void ask(const CanFrame& frame) {
    host_->exchange({frame}, 1);
    host_->refresh();
  }

  kav::sim::BusHub hub_;
  std::unique_ptr<SimulatedArm> arm_;
  std::unique_ptr<ArmBusHost> host_;
};

std::array<double, kSimArmJoints> armPart(const Pose& pose) {
  std::array<double, kSimArmJoints> q{};
  for (int i = 0; i < kSimArmJoints; ++i) q[i] = pose[i];
  return q;
}

// ----------------------------------------------------------------- protocol

TEST_F(SimArmBus, EveryMotorAnswersEachCommandWithOneFeedbackFrameInItsLayout) {
  SimulatedArmOptions options;
  options.start_pose = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7};
  attach(options);
  const auto truth = arm_->jointStates();
  host_->toAll([](MotorDlcBase& d) { return d.packMotorMsg(0, 0.5, 0, 0, 0); });

  const std::vector<CanFrame> frames = host_->rawFrames();
  ASSERT_EQ(frames.size(), 7u);
  const uint32_t type4_ids[] = {1, 2, 4};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(frames[i].can_id, type4_ids[i]);
    EXPECT_EQ(frames[i].data[0], 0);  // error field clear
  }
  for (int i = 3; i < 7; ++i) {
    EXPECT_EQ(frames[i].can_id, 0u);
    EXPECT_EQ(frames[i].data[0] & 0x0F, i + 2);  // motors 5-8 named in byte 0
  }
  for (const CanFrame& f : frames) EXPECT_EQ(f.can_dlc, 8);
  for (int j = 0; j < kSimJoints; ++j) {
    // The arm sags a little between the two samples; well within 0.01 rad.
    EXPECT_NEAR(host_->status(j).position, truth[j].position, 0.01) << "joint " << j;
    EXPECT_TRUE(host_->online(j));
  }
}

TEST_F(SimArmBus, FramesAddressedToNoMotorAreIgnored) {
  attach();
  kav::hw_interface::MotorType4 nobody3(3), nobody9(9);
  kav::hw_interface::MotorType2 feedback_like(5);
  CanFrame short_frame = host_->driver(0).packMotorMsg(0, 1, 0, 0, 0);
  short_frame.can_dlc = 4;
  CanFrame looks_like_feedback = feedback_like.packMotorMsg(0, 1, 0, 0, 0);
  looks_like_feedback.can_id = 0;
  host_->send(nobody3.packMotorMsg(0, 1, 0, 0, 0));
  host_->send(nobody9.packMotorMsg(0, 1, 0, 0, 0));
  host_->send(host_->driver(0).packClearError());  // the empty frame, identifier 0
  host_->send(looks_like_feedback);
  host_->send(short_frame);
  // The arm answers in order, so one valid frame after them gets the first answer.
  host_->exchange({host_->driver(2).packMotorMsg(0, 1, 0, 0, 0)}, 1);
  const auto frames = host_->rawFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].can_id, 4u);
  EXPECT_EQ(arm_->framesReceived(), 1u);
}

TEST_F(SimArmBus, Type2StatusAndTorqueFollowEnableAndDisable) {
  attach();
  const int wrist = 4;
  auto& driver = host_->driver(wrist);
  ask(driver.packMotorMsg(0, 0, 0, 0, 3.0));
  EXPECT_EQ(host_->errorCode(wrist), 0);
  EXPECT_FALSE(arm_->motorEnabled(wrist));
  EXPECT_EQ(arm_->jointState(wrist).torque, 0.0);  // a disabled motor ignores the command

  ask(driver.packEnableMotor());
  EXPECT_EQ(host_->errorCode(wrist), 1);
  ask(driver.packMotorMsg(0, 0, 0, 0, 3.0));
  std::this_thread::sleep_for(milliseconds(20));
  ask(driver.packMotorMsg(0, 0, 0, 0, 3.0));
  EXPECT_NEAR(arm_->jointState(wrist).torque, 3.0 / 1.32, 0.01);  // 1.32 command units per N·m
  EXPECT_NEAR(host_->status(wrist).current, 3.0, 0.01);           // the current in command units

  ask(driver.packDisableMotor());
  EXPECT_EQ(host_->errorCode(wrist), 0);
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(arm_->jointState(wrist).torque, 0.0);
}

TEST_F(SimArmBus, SetZeroMovesThatMotorsZero) {
  SimulatedArmOptions options;
  options.start_pose = {0, 0, 0, 0.7, 0, 0, 0.4};
  attach(options);
  auto& gripper = host_->driver(6);
  ask(gripper.packEnableMotor());
  EXPECT_NEAR(host_->status(6).position, 0.4, kPositionStep);
  ask(gripper.packSetZero());
  EXPECT_NEAR(host_->status(6).position, 0.0, kPositionStep);
  EXPECT_NEAR(arm_->jointState(6).position, 0.4, 1e-9);  // the joint did not move
  EXPECT_NEAR(arm_->motorZero(6), 0.4, 1e-9);
  EXPECT_EQ(arm_->motorZero(5), 0.0);  // the other motors keep theirs

  // Position commands now count from the new zero.
  host_->runFor(milliseconds(600), [&] { host_->command(6, 5.0, 0.2, 0.3, 0.0, 0.0); });
  EXPECT_NEAR(arm_->jointState(6).position, 0.7, 0.01);
  EXPECT_NEAR(host_->status(6).position, 0.3, 0.01);
}

// ----------------------------------------------------------------- physics

TEST_F(SimArmBus, HeldCommandWithGravityFeedForwardKeepsTheArmStill) {
  SimulatedArmOptions options;
  options.start_pose = kBent;
  attach(options);
  const auto gravity = kav::sim::ArmPhysics(kav::urdf_xml_g, kBent).gravityTorques(armPart(kBent));
  enableAll();
  auto hold = [&] {
    for (int j = 0; j < kSimArmJoints; ++j) {
      host_->command(j, kHomeKp[j], kHomeKd[j], kBent[j], 0.0, kav::torqueCommand(j, gravity[j]));
    }
  };
  host_->runFor(milliseconds(200), hold);  // takes up the sag since the start
  std::array<double, kSimArmJoints> before{};
  for (int j = 0; j < kSimArmJoints; ++j) before[j] = host_->status(j).position;
  host_->runFor(milliseconds(2000), hold);
  for (int j = 0; j < kSimArmJoints; ++j) {
    EXPECT_LT(std::abs(host_->status(j).position - before[j]), 0.01) << "joint " << j;
    EXPECT_NEAR(arm_->jointState(j).position, kBent[j], 0.01) << "joint " << j;
  }
}

TEST_F(SimArmBus, PositionCommandWithGoHomeGainsSettles) {
  SimulatedArmOptions options;
  options.start_pose = kBent;
  attach(options);
  // The controller's feed-forward: its own, scaled gravity model at the
  // measured positions, none on joints 1 and 2 while going home.
  kav::KinematicDynamicSolver model(kav::urdf_xml_g);
  const Pose target{0.5, 0.3, 0.4, -0.2, 0.3, -0.5, 0.0};
  enableAll();
  const auto start = std::chrono::steady_clock::now();
  host_->runFor(milliseconds(3000), [&] {
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double along = std::min(1.0, t / 1.5);  // a ramp to the target, then hold
    KDL::JntArray q(kSimArmJoints);
    for (int j = 0; j < kSimArmJoints; ++j) q(j) = host_->status(j).position;
    const KDL::JntArray gravity = model.computeGravityCompensationTorque(q);
    for (int j = 0; j < kSimArmJoints; ++j) {
      const double set_point = kBent[j] + along * (target[j] - kBent[j]);
      host_->command(j, kHomeKp[j], kHomeKd[j], set_point, 0.0, j < 2 ? 0.0 : gravity(j));
    }
  });
  for (int j = 0; j < kSimArmJoints; ++j) {
    EXPECT_LT(std::abs(host_->status(j).position - target[j]), 0.08) << "joint " << j;
    EXPECT_LT(std::abs(host_->status(j).velocity), 0.1) << "joint " << j;
  }
}

class GripperSearch : public SimArmBus, public ::testing::WithParamInterface<int> {};

TEST_P(GripperSearch, GripperStopsAtItsEndStop) {
  const int variant = GetParam();
  SimulatedArmOptions options;
  options.variant = variant;
  attach(options);
  const double stop = variant == 2 ? 1.0 : -1.0;
  EXPECT_EQ(arm_->gripperStop(), stop);
  const double search_velocity = variant == 2 ? 2.0 : -5.0;  // the controller's search
  ask(host_->driver(6).packEnableMotor());
  host_->runFor(milliseconds(1500), [&] { host_->command(6, 0.0, 0.2, 0.0, search_velocity, 0.0); });
  EXPECT_NEAR(host_->status(6).position, stop, kPositionStep);
  EXPECT_LT(std::abs(host_->status(6).velocity), 0.05);
  EXPECT_EQ(arm_->jointState(6).position, stop);
  // Pressing against the stop: k_d times the commanded velocity.
  EXPECT_NEAR(host_->status(6).current, 0.2 * search_velocity, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Variants, GripperSearch, ::testing::Values(0, 2));

// ----------------------------------------------------------------- faults

TEST_F(SimArmBus, SilentMotorsGoOfflineAfterTheirLimitsAndTheOthersStayOnline) {
  attach();
  enableAll();
  arm_->setMotorSilent(1, true);  // type 4: 100 ms limit
  arm_->setMotorSilent(4, true);  // type 2: 800 ms limit
  auto damp = [&] {
    for (int j = 0; j < kSimJoints; ++j) host_->command(j, 0, 1.0, 0, 0, 0);
  };
  host_->runFor(milliseconds(300), damp);
  EXPECT_FALSE(host_->online(1));
  EXPECT_TRUE(host_->online(4));  // within its longer limit
  host_->runFor(milliseconds(700), damp);
  EXPECT_FALSE(host_->online(4));
  for (int j : {0, 2, 3, 5, 6}) EXPECT_TRUE(host_->online(j)) << "joint " << j;
  // A silent motor still acts on what it receives.
  EXPECT_EQ(arm_->receivedCommands(1).back().command.k_d, arm_->receivedCommands(0).back().command.k_d);

  arm_->setMotorSilent(1, false);
  const long before = host_->framesReceived();
  host_->exchange({host_->driver(1).packMotorMsg(0, 1, 0, 0, 0)}, 1);
  EXPECT_EQ(host_->framesReceived(), before + 1);
  EXPECT_EQ(host_->rawFrames().back().can_id, 2u);
}

TEST_F(SimArmBus, InjectedErrorCodesReachTheDrivers) {
  attach();
  enableAll();
  arm_->setMotorError(0, 5);
  arm_->setMotorError(5, 9);
  host_->toAll([](MotorDlcBase& d) { return d.packMotorMsg(0, 1, 0, 0, 0); });
  EXPECT_EQ(host_->errorCode(0), 5);
  EXPECT_EQ(host_->errorCode(5), 9);
  EXPECT_EQ(host_->errorCode(1), 0);
  EXPECT_EQ(host_->errorCode(4), 1);

  // A latched fault goes with the clear-error command; the other one stays.
  arm_->setMotorError(4, 3, ErrorPersistence::kUntilClearError);
  host_->toAll([](MotorDlcBase& d) { return d.packClearError(); });  // type 4: the empty frame
  EXPECT_EQ(host_->errorCode(4), 1);
  EXPECT_EQ(host_->errorCode(5), 9);

  arm_->setMotorError(0, 0);
  arm_->setMotorError(5, 0);
  host_->toAll([](MotorDlcBase& d) { return d.packMotorMsg(0, 1, 0, 0, 0); });
  EXPECT_EQ(host_->errorCode(0), 0);
  EXPECT_EQ(host_->errorCode(5), 1);
}

TEST_F(SimArmBus, InjectedCurrentIsReportedAndClampedToTheField) {
  attach();
  enableAll();
  // A motor answers with the torque of its last physics step, which may still be that of the
  // previous law (enabling type 4 motors damps them). Go limp and let the physics step with it:
  // from then on every uninjected motor applies only the decoded zero feed-forward, however the
  // arm falls and however late this machine runs the simulator's threads.
  const auto limp = [](MotorDlcBase& d) { return d.packMotorMsg(0, 0, 0, 0, 0); };
  host_->toAll(limp);
  ASSERT_TRUE(kav_test::waitFor(
      [&] {
        for (const auto& state : arm_->jointStates()) {
          if (std::abs(state.torque) > 0.02) return false;
        }
        return true;
      },
      std::chrono::seconds(2)));

  arm_->setMotorCurrent(1, 14.0);
  arm_->setMotorCurrent(4, -12.0);  // beyond the type 2 field of ±10
  host_->toAll(limp);
  EXPECT_NEAR(host_->status(1).current, 14.0, 60.0 / 4095);
  EXPECT_DOUBLE_EQ(host_->status(4).current, -10.0);
  EXPECT_LT(std::abs(host_->status(0).current), 0.05);

  arm_->setMotorCurrent(1, std::nullopt);
  host_->toAll(limp);
  EXPECT_LT(std::abs(host_->status(1).current), 0.05);
}

TEST_F(SimArmBus, SilentBusTakesEveryMotorAndTheLinkOffline) {
  attach();
  enableAll();
  arm_->clearReceivedCommands();
  arm_->setBusSilent(true);
  host_->runFor(milliseconds(2500), [&] {
    for (int j = 0; j < kSimJoints; ++j) host_->command(j, 0, 1.0, 0, 0, 0);
  });
  for (int j = 0; j < kSimJoints; ++j) {
    EXPECT_FALSE(host_->online(j)) << "joint " << j;
    EXPECT_TRUE(arm_->receivedCommands(j).empty()) << "joint " << j;
  }
  EXPECT_FALSE(host_->bus().checkOnline());

  arm_->setBusSilent(false);
  const auto sent = arm_->framesSent();
  for (int attempt = 0; attempt < 100 && arm_->framesSent() == sent; ++attempt) {
    // The transport may be reconnecting after the silence; keep asking.
    host_->command(0, 0, 1.0, 0, 0, 0);
    std::this_thread::sleep_for(milliseconds(50));
  }
  EXPECT_GT(arm_->framesSent(), sent);
}

TEST_F(SimArmBus, AShareOfFramesIsDropped) {
  attach();
  arm_->setDropShare(1.0);
  host_->runFor(milliseconds(200), [&] { host_->command(0, 0, 1.0, 0, 0, 0); });
  EXPECT_EQ(host_->framesReceived(), 0);

  arm_->setDropShare(0.5);
  const int sent = 400;
  for (int i = 0; i < sent; ++i) {
    host_->command(i % 3, 0, 1.0, 0, 0, 0);
    if (i % 20 == 19) std::this_thread::sleep_for(milliseconds(5));
  }
  host_->waitForFrames(sent, milliseconds(500));
  // Half the commands arrive and half of their answers get back: about a
  // quarter (the draws come from a seeded generator).
  EXPECT_GT(host_->framesReceived(), sent / 8);
  EXPECT_LT(host_->framesReceived(), sent / 2);
  const auto accepted =
      arm_->receivedCommands(0).size() + arm_->receivedCommands(1).size() + arm_->receivedCommands(2).size();
  EXPECT_GT(accepted, sent / 3u);
  EXPECT_LT(accepted, 2u * sent / 3u);

  arm_->clearFaults();
  const long before = host_->framesReceived();
  host_->toAll([](MotorDlcBase& d) { return d.packMotorMsg(0, 1, 0, 0, 0); });
  EXPECT_EQ(host_->framesReceived(), before + 7);
}

// ----------------------------------------------------------------- observation

TEST_F(SimArmBus, ReceivedCommandsAreLoggedDecodedAndBounded) {
  SimulatedArmOptions options;
  options.log_capacity = 3;
  attach(options);
  ask(host_->driver(0).packMotorMsg(150, 1.0, 0.5, -1.0, 2.5));
  ask(host_->driver(3).packClearError());
  ask(host_->driver(3).packEnableMotor());
  ask(host_->driver(3).packMotorMsg(50, 0.8, -0.25, 2.0, -1.5));

  const auto joint0 = arm_->receivedCommands(0);
  ASSERT_EQ(joint0.size(), 1u);
  const auto& c = joint0[0].command;
  EXPECT_EQ(c.kind, CommandKind::kHybrid);
  EXPECT_NEAR(c.k_p, 150, 500.0 / 4095);
  EXPECT_NEAR(c.k_d, 1.0, 50.0 / 4095);
  EXPECT_NEAR(c.position, 0.5, kPositionStep);
  EXPECT_NEAR(c.velocity, -1.0, 36.0 / 4095);
  EXPECT_NEAR(c.torque, 2.5, 60.0 / 4095);

  const auto joint3 = arm_->receivedCommands(3);
  ASSERT_EQ(joint3.size(), 3u);
  EXPECT_EQ(joint3[0].command.kind, CommandKind::kClearError);
  EXPECT_EQ(joint3[1].command.kind, CommandKind::kEnable);
  EXPECT_EQ(joint3[2].command.kind, CommandKind::kHybrid);
  EXPECT_NEAR(joint3[2].command.velocity, 2.0, 90.0 / 4095);
  EXPECT_LE(joint3[0].time, joint3[2].time);

  ask(host_->driver(3).packDisableMotor());  // the oldest entry gives way
  const auto bounded = arm_->receivedCommands(3);
  ASSERT_EQ(bounded.size(), 3u);
  EXPECT_EQ(bounded[0].command.kind, CommandKind::kEnable);
  EXPECT_EQ(bounded[2].command.kind, CommandKind::kDisable);

  arm_->clearReceivedCommands();
  EXPECT_TRUE(arm_->receivedCommands(0).empty());
  EXPECT_EQ(arm_->framesReceived(), 5u);
}

TEST_F(SimArmBus, DelayedRepliesAllArriveInOrder) {
  SimulatedArmOptions options;
  options.reply_latency = std::chrono::microseconds(20000);
  attach(options);
  host_->toAll([](MotorDlcBase& d) { return d.packMotorMsg(0, 0, 0, 0, 0); });
  const auto frames = host_->rawFrames();
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[2].can_id, 4u);
  EXPECT_EQ(frames[6].data[0] & 0x0F, 8);
}

TEST_F(SimArmBus, NoiseIsOffByDefaultAndSeededWhenAsked) {
  for (bool noisy : {false, true}) {
    SimulatedArmOptions options;
    if (noisy) options.noise_seed = 7;
    arm_.reset();
    host_.reset();
    attach(options);
    // The gripper is limp, without gravity, at rest: a still joint.
    std::vector<double> readings;
    for (int i = 0; i < 20; ++i) {
      ask(host_->driver(6).packMotorMsg(0, 0, 0, 0, 0));
      readings.push_back(host_->status(6).position);
    }
    double spread = 0.0;
    for (double r : readings) spread = std::max(spread, std::abs(r - readings[0]));
    if (noisy) {
      EXPECT_GT(spread, 0.0);
      EXPECT_LT(spread, 0.003);
    } else {
      EXPECT_EQ(spread, 0.0);
    }
  }
}

TEST_F(SimArmBus, AnArmRejoinsTheBusAfterBeingDropped) {
  attach();
  host_.reset();
  hub_.dropMembers();
  host_ = std::make_unique<ArmBusHost>(hub_.endpoint());
  const auto sent = arm_->framesSent();
  // A host that joined before the hub dropped its members is dropped too and
  // joins again after its silence limit; keep asking meanwhile.
  for (int attempt = 0; attempt < 100 && host_->framesReceived() == 0; ++attempt) {
    host_->command(0, 0, 1.0, 0, 0, 0);
    std::this_thread::sleep_for(milliseconds(50));
  }
  EXPECT_GT(host_->framesReceived(), 0);
  EXPECT_GT(arm_->framesSent(), sent);
}

// ----------------------------------------------------------------- bad input

TEST_F(SimArmBus, UnusableSetUpAndFaultRequestsAreRefused) {
  using std::invalid_argument;
  EXPECT_THROW(SimulatedArm(""), invalid_argument);
  EXPECT_THROW(SimulatedArm("unix:@"), invalid_argument);
  EXPECT_THROW(SimulatedArm("an-interface-name-too-long"), invalid_argument);
  EXPECT_THROW(SimulatedArm("unix:@kav-nobody-listens-" + std::to_string(::getpid())), std::runtime_error);
  SimulatedArmOptions bad;
  bad.reply_latency = std::chrono::microseconds(-1);
  EXPECT_THROW(SimulatedArm(hub_.endpoint(), bad), invalid_argument);
  bad = SimulatedArmOptions();
  bad.description = "<robot name=\"broken\">";
  EXPECT_THROW(SimulatedArm(hub_.endpoint(), bad), invalid_argument);
  bad = SimulatedArmOptions();
  bad.start_pose[6] = -1.5;  // beyond the gripper's stop
  EXPECT_THROW(SimulatedArm(hub_.endpoint(), bad), invalid_argument);
  bad.variant = 2;  // whose stop is at +1.0
  EXPECT_NO_THROW(SimulatedArm(hub_.endpoint(), bad));

  attach();
  EXPECT_THROW(arm_->jointState(7), invalid_argument);
  EXPECT_THROW(arm_->receivedCommands(-1), invalid_argument);
  EXPECT_THROW(arm_->setMotorSilent(7, true), invalid_argument);
  EXPECT_THROW(arm_->setMotorError(0, 32), invalid_argument);
  EXPECT_THROW(arm_->setMotorError(3, 1), invalid_argument);  // 1 is a healthy type 2 status
  EXPECT_THROW(arm_->setMotorError(3, 16), invalid_argument);
  EXPECT_THROW(arm_->setMotorError(0, 5, ErrorPersistence::kUntilClearError), invalid_argument);
  EXPECT_THROW(arm_->setMotorCurrent(2, std::nan("")), invalid_argument);
  EXPECT_THROW(arm_->setDropShare(1.5), invalid_argument);
  EXPECT_THROW(arm_->setDropShare(std::nan("")), invalid_argument);
  EXPECT_THROW(SimulatedArm::motorId(7), invalid_argument);
  // Nothing was changed by the refused requests.
  host_->toAll([](MotorDlcBase& d) { return d.packMotorMsg(0, 1, 0, 0, 0); });
  EXPECT_EQ(host_->framesReceived(), 7);
  EXPECT_EQ(host_->errorCode(0), 0);
}

}  // namespace
