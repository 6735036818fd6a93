// Timing of the analytic arm mathematics: forward kinematics, the
// Levenberg-Marquardt inverse kinematics from a nearby seed, and the
// point-mass gravity model.
#include <benchmark/benchmark.h>
#include <solver/Exercise.h>
#include <solver/Interpolation.h>

#include <vector>

namespace {

using namespace kav::solve;

double kJoints[6] = {0.2, 1.5, 1.0, 0.3, -0.4, 0.5};

void BM_q7_fk(benchmark::State& state) {
  double q[6], pose[6];
  for (int i = 0; i < 6; ++i) q[i] = kJoints[i];
  for (auto _ : state) {
    q7_fk(q, pose);
    benchmark::DoNotOptimize(pose);
  }
}
BENCHMARK(BM_q7_fk);

// Model-convention ik_LM on the end frame of kJoints, seeded 0.1 rad away
// on every joint (alternating signs).
void BM_ik_LM_nearby_seed(benchmark::State& state) {
  float goal[6], seed[6], q[6];
  for (int i = 0; i < 6; ++i) {
    goal[i] = static_cast<float>(kJoints[i]);
    seed[i] = goal[i] + (i % 2 ? -0.1f : 0.1f);
  }
  float T[4][4];
  fk(goal, T);
  IkStatus status;
  for (auto _ : state) {
    ik_LM(T, seed, q, &status);
    benchmark::DoNotOptimize(q);
  }
  if (status.exit != IkExit::kConverged) state.SkipWithError("did not converge");
  state.counters["iterations"] = status.iterations;
}
BENCHMARK(BM_ik_LM_nearby_seed)->Unit(benchmark::kMicrosecond);

// The same through the arm-convention front end.
void BM_q7_ik_lm_nearby_seed(benchmark::State& state) {
  double pose[6], seed[6], q[6];
  q7_fk(kJoints, pose);
  for (int i = 0; i < 6; ++i) seed[i] = kJoints[i] + (i % 2 ? -0.1 : 0.1);
  for (auto _ : state) {
    q7_ik_lm(seed, pose, q);
    benchmark::DoNotOptimize(q);
  }
}
BENCHMARK(BM_q7_ik_lm_nearby_seed)->Unit(benchmark::kMicrosecond);

void BM_q7_get_Tau(benchmark::State& state) {
  double q[6];
  for (int i = 0; i < 6; ++i) q[i] = kJoints[i];
  for (auto _ : state) {
    std::vector<double> tau = q7_get_Tau(q, 0);
    benchmark::DoNotOptimize(tau.data());
  }
}
BENCHMARK(BM_q7_get_Tau);

}  // namespace

BENCHMARK_MAIN();
