// Cost of the simulated arm's per-step and per-frame work: one physics step
// of the arm model, and the decoding and encoding of one frame.
#include <benchmark/benchmark.h>
#include <can_motor_dlc/Mtp2Dlc.h>
#include <config/ArmConfig.h>
#include <sim/ArmPhysics.h>
#include <sim/MotorWire.h>
#include <solver/kinematic_solver.h>

#include <array>

namespace {

using kav::sim::JointDrive;
using kav::sim::kSimJoints;

void ArmPhysicsStep(benchmark::State& state) {
  kav::sim::ArmPhysics arm(kav::urdf_xml_g, {0.2, 1.0, 0.8, 0.3, -0.4, 0.5, 0.0});
  std::array<JointDrive, kSimJoints> drives{};
  for (int j = 0; j < kav::sim::kSimArmJoints; ++j)
    drives[j] = {kav::config::kPositionGains.k_p[j], 1.0, 0.3, 0.0, 0.5};
  drives[kav::sim::kSimArmJoints] = {0.0, 1.0, 0.3, 0.0, 0.5};
  for (auto _ : state) {
    arm.step(drives, 1e-3);
    benchmark::DoNotOptimize(arm.state());
  }
}
BENCHMARK(ArmPhysicsStep);

void DecodeCommand(benchmark::State& state) {
  kav::hw_interface::MotorType2 driver(5);
  const kav::hw_interface::CanFrame frame = driver.packMotorMsg(50, 0.8, 0.3, 0.1, 0.5);
  for (auto _ : state) {
    benchmark::DoNotOptimize(kav::sim::decodeCommand(kav::sim::MotorProtocol::kType2, frame));
  }
}
BENCHMARK(DecodeCommand);

void EncodeFeedback(benchmark::State& state) {
  const kav::sim::MotorFeedback feedback{1, 0.3, -0.2, 1.5, 30};
  for (auto _ : state) {
    benchmark::DoNotOptimize(kav::sim::encodeFeedback(kav::sim::MotorProtocol::kType2, 5, feedback));
  }
}
BENCHMARK(EncodeFeedback);

}  // namespace

BENCHMARK_MAIN();
