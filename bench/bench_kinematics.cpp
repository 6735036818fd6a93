// Timing of the chain solver on the embedded robot description: forward
// kinematics, gravity torques, inverse kinematics from a nearby seed, and
// inverse kinematics of an unreachable pose (which runs until the solver
// gives up).
#include <benchmark/benchmark.h>
#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>

#include <stdexcept>

namespace {

kav::KinematicDynamicSolver& solver() {
  static kav::KinematicDynamicSolver s(kav::urdf_xml_g);
  return s;
}

KDL::JntArray configuration() {
  KDL::JntArray q(6);
  const double values[6] = {0.3, 0.5, -0.4, 0.2, 0.6, -0.3};
  for (int i = 0; i < 6; ++i) q(i) = values[i];
  return q;
}

void BM_ForwardKinematics(benchmark::State& state) {
  const KDL::JntArray q = configuration();
  for (auto _ : state) benchmark::DoNotOptimize(solver().computeForwardKinematics(q));
}
BENCHMARK(BM_ForwardKinematics);

void BM_GravityTorques(benchmark::State& state) {
  const KDL::JntArray q = configuration();
  for (auto _ : state) benchmark::DoNotOptimize(solver().computeGravityCompensationTorque(q));
}
BENCHMARK(BM_GravityTorques);

void BM_ForwardKinematicsAndGravity(benchmark::State& state) {
  const KDL::JntArray q = configuration();
  for (auto _ : state) {
    benchmark::DoNotOptimize(solver().computeForwardKinematics(q));
    benchmark::DoNotOptimize(solver().computeGravityCompensationTorque(q));
  }
}
BENCHMARK(BM_ForwardKinematicsAndGravity);

// Seeds up to 0.2 rad from the solution, as the controller's successive
// targets are.
void BM_InverseKinematicsNearbySeed(benchmark::State& state) {
  const KDL::JntArray q = configuration();
  const KDL::Frame target = solver().computeForwardKinematics(q);
  KDL::JntArray seed = q;
  for (int i = 0; i < 6; ++i) seed(i) += (i % 2 ? -0.2 : 0.2);
  for (auto _ : state) {
    KDL::Frame pose = target;
    benchmark::DoNotOptimize(solver().computeInverseKinematics(pose, seed));
  }
}
BENCHMARK(BM_InverseKinematicsNearbySeed)->Unit(benchmark::kMicrosecond);

void BM_InverseKinematicsUnreachable(benchmark::State& state) {
  const KDL::JntArray seed = configuration();
  for (auto _ : state) {
    KDL::Frame pose(KDL::Vector(1.0, 0.0, 0.0));
    try {
      solver().computeInverseKinematics(pose, seed);
      state.SkipWithError("unreachable pose was solved");
    } catch (const std::runtime_error&) {
    }
  }
}
BENCHMARK(BM_InverseKinematicsUnreachable)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
