// The lockstep rig: an arm's whole life frame by frame on simulated time,
// the same log from the same script, and no thread of its own.
#include <config/ArmConfig.h>
#include <dirent.h>
#include <sim/BusHub.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "rig_fixture.h"

using namespace kav_test;
using kav::config::kMotors;
using kav::sim::BusRecord;
using kav::sim::CommandKind;
using kav::sim::MotorCommand;

namespace {

constexpr double kSlot = 200e-6;  // between the frames of a round
constexpr double kPeriod = 5e-3;  // between rounds and cycles
constexpr double kTime = 1e-9;    // simulated times are whole nanoseconds

int threadsOfThisProcess() {
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
  closedir(tasks);
  return count;
}

MotorCommand decoded(const BusRecord& record, int motor) {
  const auto command = kav::hw_interface::decodeCommand(kav::config::kMotorProtocols[motor], frameOf(record));
  EXPECT_TRUE(command.has_value()) << "frame to motor " << motor + 1 << " does not decode";
  return command.value_or(MotorCommand{});
}

// The seven frames of the round that starts at @p first, motor by motor, at
// their slots of @p start.
void expectRound(const std::vector<BusRecord>& frames, std::size_t first, double start, const char* what) {
  ASSERT_LE(first + kMotors, frames.size()) << what;
  for (int motor = 0; motor < kMotors; ++motor) {
    const BusRecord& record = frames[first + motor];
    EXPECT_NEAR(record.time, start + motor * kSlot, kTime) << what << ", motor " << motor + 1;
    const bool type4 = kav::config::kMotorProtocols[motor] == kav::config::MotorProtocol::kType4;
    // A type 4 motor's clear-error frame is the empty frame of identifier 0.
    if (!(type4 && record.id == 0)) {
      EXPECT_EQ(record.id, static_cast<std::uint32_t>(kav::config::kMotorIds[motor])) << what;
    }
  }
}

bool sameLog(const std::vector<BusRecord>& a, const std::vector<BusRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].time != b[i].time || a[i].id != b[i].id || a[i].dlc != b[i].dlc || a[i].data != b[i].data ||
        a[i].from_host != b[i].from_host)
      return false;
  }
  return true;
}

}  // namespace

TEST(Lockstep, AnArmsWholeLifeFrameByFrame) {
  const int threads = threadsOfThisProcess();
  Rig rig;
  auto& arm = rig.arm();
  // Before any cycle ran, hosts read the bring-up's last feedback: the
  // gripper at its zero (not minus the zero, as an empty reading would be).
  EXPECT_NEAR(arm.getJointPositons()[6], 0.0, 1e-9);
  rig.run(0.001);  // the first cycle: at once after the bring-up
  const auto startup = rig.hostFrames();

  // Bring-up: 100 ms of listening, then three clear-error and three enable
  // rounds and 100 damping rounds, one per period, then 711 homing rounds
  // (the first cycle past 3.55 s), and the gripper's damping frame.
  ASSERT_EQ(startup.size(), 5720u + 7);
  const double listen = 0.1;
  for (int round = 0; round < 106; ++round)
    expectRound(startup, 7 * round, listen + round * kPeriod, "start-up");
  for (int motor = 3; motor < kMotors; ++motor) {
    EXPECT_EQ(decoded(startup[motor], motor).kind, CommandKind::kClearError);
    EXPECT_EQ(decoded(startup[21 + motor], motor).kind, CommandKind::kEnable);
  }
  for (int motor = 0; motor < 3; ++motor) {
    EXPECT_EQ(startup[motor].dlc, 0) << "type 4 motors have no clear-error frame";
    EXPECT_EQ(decoded(startup[21 + motor], motor).k_d, decoded(startup[35 + motor], motor).k_d);
  }
  const double homing = listen + 106 * kPeriod;
  for (int motor = 0; motor < 6; ++motor) {
    EXPECT_EQ(decoded(startup[42 + motor], motor).k_p, 0.0);
    EXPECT_NEAR(decoded(startup[42 + motor], motor).k_d, kav::config::kDampingKd[motor], 0.02);
    EXPECT_NEAR(decoded(startup[742 + motor], motor).k_p, kav::config::kGoHomeGains.k_p[motor], 0.2);
  }
  expectRound(startup, 742, homing, "first homing round");
  expectRound(startup, 742 + 7 * 710, homing + 710 * kPeriod, "last homing round");
  EXPECT_NEAR(decoded(startup[742 + 6], 6).velocity, kav::config::kGripperSearchVelocity, 0.05);
  const BusRecord& settle = startup[742 + 7 * 711];
  EXPECT_EQ(settle.id, 8u);
  EXPECT_NEAR(settle.time, homing + 711 * kPeriod, kTime);
  EXPECT_NEAR(decoded(settle, 6).k_d, kav::config::kGripperSettleKd, 0.01);
  // The first cycle follows the gripper's frame slot; GO_HOME is selected.
  const double first_cycle = settle.time + kSlot;
  expectRound(startup, 5720, first_cycle, "first cycle");
  EXPECT_EQ(arm.getArmStatus(), 1);
  EXPECT_TRUE(arm.getErrorCode().empty());

  // Each state: one cycle every 5 ms on the schedule of the first, and the
  // bytes of the laws that do not depend on the measurement.
  const auto motor1 = [](double k_p, double k_d) {
    return kav::hw_interface::packHybridCommand(kav::config::MotorProtocol::kType4, 1, k_p, k_d, 0, 0, 0);
  };
  for (int state : {0, 2, 6}) {
    arm.setArmStatus(state);
    const double from = rig.now();
    rig.run(0.1);
    const auto frames = rig.hostFrames(from);
    ASSERT_EQ(frames.size() % 7, 0u) << "state " << state;
    ASSERT_EQ(frames.size() / 7, 20u) << "state " << state;
    const double cycle = first_cycle + std::ceil((from - first_cycle) / kPeriod - 1e-6) * kPeriod;
    for (int n = 0; n < 20; ++n) expectRound(frames, 7 * n, cycle + n * kPeriod, "cycle");
    const auto expected = state == 0 ? motor1(0, 0) : motor1(0, kav::config::kDampingKd[0]);
    EXPECT_EQ(std::memcmp(frames[7 * 19].data.data(), expected.data, 8), 0) << "state " << state;
  }

  // A new gripper mode and its value take effect together, at the cycle
  // after the next exchange: never the torque mode with the torque of before.
  arm.setArmStatus(5);
  rig.run(0.01);
  const double gripper_before = decoded(rig.hostFrames().back(), 6).torque;
  arm.setCatchTorque(1.5);
  const double switched = rig.now();
  rig.run(0.0099);
  const auto after_switch = rig.hostFrames(switched);
  ASSERT_EQ(after_switch.size(), 14u);
  EXPECT_EQ(decoded(after_switch[6], 6).torque, gripper_before);
  EXPECT_NEAR(decoded(after_switch[13], 6).torque, 1.5, 0.01);
  arm.setCatch(0.0);

  // A motion waited for: it ends at rest on its target.
  arm.moveJoints({0.2, 0.6, 0.5, 0.1, -0.1, 0.1}, 1.0);
  ASSERT_TRUE(arm.waitMotion(10.0));
  EXPECT_TRUE(arm.motionDone());
  rig.run(1.0);
  const auto q = arm.getJointPositons();
  EXPECT_NEAR(q[1], 0.6, 0.03);
  EXPECT_NEAR(q[3], 0.1, 0.03);

  // A motor fault while moving: the cycle that reads it is the last with a
  // position command; the next one damps, then nothing is sent.
  arm.moveJoints({-0.2, 0.8, 0.6, -0.1, 0.1, -0.1}, 1.0);
  rig.run(0.3);
  const double injected = rig.now();
  rig.sim().setMotorError(0, 3);
  rig.run(0.5);
  const auto fault = rig.hostFrames(injected);
  ASSERT_EQ(fault.size(), 14u) << "one position round, one damping round";
  EXPECT_NEAR(decoded(fault[0], 0).k_p, kav::config::kPositionGains.k_p[0], 0.2);
  for (int motor = 0; motor < 6; ++motor) {
    EXPECT_EQ(decoded(fault[7 + motor], motor).k_p, 0.0);
    EXPECT_NEAR(decoded(fault[7 + motor], motor).k_d, kav::config::kDampingKd[motor], 0.02);
  }
  EXPECT_NEAR(fault[7].time - fault[0].time, kPeriod, kTime);
  EXPECT_FALSE(arm.controlActive());
  EXPECT_EQ(arm.getErrorCode().back(), 1 * 16 + 3);
  EXPECT_THROW(arm.setArmStatus(5), std::runtime_error);

  // Shutdown: 100 damping rounds, one per period, then the bus is closed.
  const double stop = rig.now();
  testing::internal::CaptureStdout();
  rig.rig().shutDown();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("DisableMotor\n"), std::string::npos);
  const auto shutdown = rig.hostFrames(stop);
  ASSERT_EQ(shutdown.size(), 7u * 100);
  for (int round = 0; round < 100; ++round) {
    expectRound(shutdown, 7 * round, shutdown.front().time + round * kPeriod, "damping hold");
    EXPECT_EQ(decoded(shutdown[7 * round + 1], 1).k_p, 0.0);
  }
  EXPECT_EQ(threadsOfThisProcess(), threads) << "the rig started a thread";
}

TEST(Lockstep, AWholeArmLifeOnA1MbitBusRefusesNoFrame) {
  // Bring-up (clear, enable, damping rounds, homing), every state, shutdown,
  // on a bus timed like the arm's: the traffic fits the bus and its
  // transmit queues (10 frames a node) at every moment.
  kav::sim::LockstepOptions options;
  options.bitrate = 1000000;
  Rig rig(options);
  auto& arm = rig.arm();
  arm.setJointPositions({0.3, 0.6, 0.5, 0.2, -0.3, 0.4});
  for (int state : {0, 3, 5, 2, 1}) {
    arm.setArmStatus(state);
    rig.run(0.4);
  }
  EXPECT_TRUE(arm.getErrorCode().empty());
  rig.rig().shutDown();
  EXPECT_EQ(rig.rig().framesRefusedByBus(), 0u);
  EXPECT_EQ(rig.sim().framesRefused(), 0u);
  double busy = 0;
  for (const BusRecord& record : rig.rig().frames()) busy += kav::sim::canFrameBits(frameOf(record)) / 1e6;
  const double load = busy / rig.now();
  EXPECT_GT(load, 0.05);
  EXPECT_LT(load, 0.45);
}

TEST(Lockstep, TheSameOptionsAndCallsLogTheSameFrames) {
  // The busiest paths: a timed 1 Mbit/s bus, replies after 300 us, noise.
  kav::sim::LockstepOptions options;
  options.bitrate = 1000000;
  options.reply_latency = std::chrono::microseconds(300);
  options.noise = true;
  options.seed = 7;
  auto script = [&] {
    auto rig = std::make_unique<Rig>(options);
    auto& arm = rig->arm();
    arm.setJointPositions({0.3, 0.8, 0.6, 0.2, -0.2, 0.1});
    arm.setArmStatus(5);
    rig->run(1.0);
    Eigen::Isometry3d pose = arm.getEndPose();
    pose.translation().x() += 0.03;
    arm.setEndPose(pose);
    arm.setArmStatus(4);
    rig->run(1.0);
    arm.moveJoints({0.0, 0.5, 0.5, 0.0, 0.0, 0.0}, 0.8);
    EXPECT_TRUE(arm.waitMotion(10.0));
    rig->rig().shutDown();
    EXPECT_EQ(rig->rig().framesRefusedByBus(), 0u);
    return rig;
  };
  const auto first = script();
  const auto second = script();
  EXPECT_GT(first->rig().frames().size(), 10000u);
  EXPECT_TRUE(sameLog(first->rig().frames(), second->rig().frames()));
  // Frames on a timed bus end at least one frame time apart.
  const auto& log = first->rig().frames();
  for (std::size_t i = 1; i < log.size(); ++i) ASSERT_GE(log[i].time - log[i - 1].time, 55e-6 - kTime) << i;
}
