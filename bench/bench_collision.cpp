// Collision detection on the lockstep rig (simulated time):
// - false alarms: random joint moves, joint trajectories and straight lines
//   at the full motion limits; the largest external torque estimate per
//   joint, the share of cycles with contact, and every reflex (each a false
//   alarm here, recovered from so that the run goes on);
// - detection: steps of external torque (twice the reflex threshold, either
//   sign, at a random moment of the cycle) on each joint, at rest and during
//   a moveJoints at the full limits: the time from the step to the first
//   compliant command on that joint;
// - recovery: the simulated time recover() takes after each of those reflexes.
//
//   bench_collision [--seconds N] [--trials N] [--noise] [--model-error]
//
// --model-error: the simulated arm's link masses off by +-10 % (alternating),
// its friction doubled and 0.05 N·m of further noise on its currents.
#include <config/ArmConfig.h>
#include <controller/ControllerBase.h>
#include <sim/Lockstep.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchStats.h"

namespace {

using kav::config::kArmJoints;
using kav::t8::ControllerBase;
using Joints = std::vector<double>;
using kav_bench::percentile;

const std::string kUrdf = std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf";
const Joints kRest{0.2, 0.6, 0.5, 0.1, 0.2, 0.1};
const Joints kFar{1.2, 1.4, 1.2, 0.8, -0.6, 0.9};

void printDistribution(const char* what, const std::vector<double>& seconds, int missed) {
  std::printf("  %s: n %zu, p50 %.1f ms, p95 %.1f ms, worst %.1f ms", what, seconds.size(),
              1e3 * percentile(seconds, 0.5), 1e3 * percentile(seconds, 0.95),
              1e3 * percentile(seconds, 1.0));
  if (missed >= 0) std::printf(", missed %d", missed);
  std::printf("\n");
}

Joints randomTarget(std::mt19937_64& rng) {
  Joints target(kArmJoints);
  for (int j = 0; j < kArmJoints; ++j) {
    // Within the joint limits, 0.1 rad inside them.
    std::uniform_real_distribution<double> in(kav::config::kJointLower[j] + 0.1,
                                              kav::config::kJointUpper[j] - 0.1);
    target[j] = in(rng);
  }
  // Keep the upper arm above the base: joints 2 and 3 within a folded range.
  target[1] = std::clamp(target[1], 0.2, 2.8);
  target[2] = std::clamp(target[2], 0.2, 2.6);
  return target;
}

kav::sim::LockstepOptions rigOptions(bool noise, bool model_error) {
  kav::sim::LockstepOptions options;
  options.noise = noise;
  options.record_frames = false;
  if (model_error) {
    options.physics.mass_scale = {1.1, 0.9, 1.1, 0.9, 1.1, 0.9};
    for (double& friction : options.physics.friction) friction *= 2.0;
    options.current_noise = 0.05;
  }
  return options;
}

void holdRest(kav::sim::Lockstep& rig) {
  rig.arm().setJointPositions(kRest);
  rig.arm().setArmStatus(ControllerBase::POSITION_CONTROL);
  rig.advance(4.0);
}

// A spline through three random points, each within 0.6 rad of the one
// before; its times are stretched until the motion limits accept it.
bool startTrajectory(kav::t8::InterfacesThread& arm, std::mt19937_64& rng) {
  std::vector<kav::motion::TrajectoryPoint> points;
  Joints at = arm.getJointPositons();
  at.resize(kArmJoints);
  std::uniform_real_distribution<double> step(-0.6, 0.6);
  double time = 0.0;
  for (int point = 0; point < 3; ++point) {
    Joints next = at;
    double widest = 0.0;
    for (int j = 0; j < kArmJoints; ++j) {
      next[j] =
          std::clamp(at[j] + step(rng), kav::config::kJointLower[j] + 0.1, kav::config::kJointUpper[j] - 0.1);
      widest = std::max(widest, std::fabs(next[j] - at[j]));
    }
    next[1] = std::clamp(next[1], 0.2, 2.8);
    next[2] = std::clamp(next[2], 0.2, 2.6);
    time += 0.3 + 2.0 * widest / kav::config::kMaxVelocity;
    points.push_back({next, {}, {}, time});
    at = next;
  }
  for (int attempt = 0; attempt < 6; ++attempt) {
    try {
      arm.followJointTrajectory(points);
      return true;
    } catch (const std::invalid_argument&) {
      for (auto& point : points) point.time_from_start *= 1.5;
    }
  }
  return false;
}

// A straight line of 5-20 cm from the present pose in a random direction,
// as fast as the line's acceleration lets it get on that length.
bool startLine(kav::t8::InterfacesThread& arm, std::mt19937_64& rng) {
  std::normal_distribution<double> direction(0.0, 1.0);
  std::uniform_real_distribution<double> length(0.05, 0.2);
  for (int attempt = 0; attempt < 10; ++attempt) {
    Eigen::Vector3d d(direction(rng), direction(rng), direction(rng));
    if (d.norm() < 1e-6) continue;
    const double l = length(rng);
    Eigen::Isometry3d pose = arm.getEndPose();
    pose.translation() += l * d.normalized();
    try {
      arm.moveLinear(pose, std::sqrt(kav::config::kLineAcceleration * l));
      return true;
    } catch (const std::invalid_argument&) {
    }
  }
  return false;
}

void falseAlarms(double seconds, const kav::sim::LockstepOptions& options) {
  const auto wall_start = std::chrono::steady_clock::now();
  kav::sim::Lockstep rig(kUrdf, options);
  auto& arm = rig.arm();
  holdRest(rig);
  std::mt19937_64 rng(7);
  std::array<double, kArmJoints> worst{};
  long cycles = 0, contact = 0;
  std::array<int, 3> started{};
  int alarms = 0, kind = 0;
  std::size_t codes_seen = arm.getErrorCode().size();
  const double end = rig.now() + seconds;
  while (rig.now() < end) {
    if (arm.motionDone()) {
      kind = (kind + 1) % 3;
      bool ok = kind == 1 ? startTrajectory(arm, rng) : kind == 2 ? startLine(arm, rng) : false;
      if (!ok) {
        kind = 0;
        arm.moveJoints(randomTarget(rng), 1.0);
      }
      ++started[kind];
    }
    rig.advance(0.005);
    const auto r = arm.getExternalTorques();
    for (int j = 0; j < kArmJoints; ++j) worst[j] = std::max(worst[j], std::fabs(r[j]));
    ++cycles;
    contact += arm.contactDetected() ? 1 : 0;
    const std::vector<int> codes = arm.getErrorCode();
    if (codes.size() > codes_seen || !arm.controlActive()) {
      ++alarms;
      std::printf("  at %.1f s (motion kind %d): codes", rig.now(), kind);
      for (std::size_t i = codes_seen; i < codes.size(); ++i) std::printf(" %d", codes[i]);
      std::printf("; torques");
      for (double t : r) std::printf(" %.2f", t);
      std::printf("\n");
      arm.recover();
      codes_seen = arm.getErrorCode().size();
    }
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  std::printf(
      "random motions at the full limits, %.0f s simulated in %.0f s: %d moveJoints, %d trajectories, "
      "%d lines\n",
      seconds, wall, started[0], started[1], started[2]);
  std::printf("  largest |external torque| per joint (N·m):");
  for (double w : worst) std::printf(" %.2f", w);
  std::printf("\n  contact in %.3f %% of %ld cycles, reflexes and faults %d\n",
              100.0 * static_cast<double>(contact) / static_cast<double>(std::max(1L, cycles)), cycles,
              alarms);
}

// Seconds from the step to the first command with no stiffness on that joint,
// or -1 when none came within 200 ms.
double latency(kav::sim::Lockstep& rig, int joint, double torque) {
  auto& sim = rig.simulatedArm();
  sim.clearReceivedCommands();
  const double step = rig.now();
  sim.setExternalTorque(joint, torque);
  double first = -1.0;
  for (int cycle = 0; cycle < 40 && first < 0; ++cycle) {
    rig.advance(0.005);
    for (const auto& received : sim.receivedCommands(joint)) {
      if (received.command.k_p == 0.0) {
        first = std::chrono::duration<double>(received.time.time_since_epoch()).count();
        break;
      }
    }
  }
  sim.setExternalTorque(joint, 0.0);
  return first < 0 ? -1.0 : first - step;
}

void detection(bool moving, int trials, std::vector<double>& recoveries) {
  std::printf(
      "detection, steps of twice the reflex threshold %s: from the step to the first compliant command\n",
      moving ? "during a moveJoints at the full limits" : "at rest");
  std::vector<double> all;
  int missed_all = 0;
  std::mt19937_64 rng(moving ? 11 : 5);
  std::uniform_real_distribution<double> in_cycle(0.0, 0.005), into_motion(0.3, 1.5);
  for (int joint = 0; joint < kArmJoints; ++joint) {
    kav::sim::LockstepOptions options;
    options.record_frames = false;
    kav::sim::Lockstep rig(kUrdf, options);
    auto& arm = rig.arm();
    holdRest(rig);
    std::vector<double> seconds;
    int missed = 0;
    for (int trial = 0; trial < trials; ++trial) {
      if (moving) {
        arm.moveJoints(trial % 2 == 0 ? kFar : kRest, 1.0);
        rig.advance(into_motion(rng));
      }
      rig.advance(in_cycle(rng));
      const double sign = trial % 2 == 0 ? 1.0 : -1.0;
      const double s = latency(rig, joint, sign * 2 * kav::config::kCollisionThreshold[joint]);
      if (s < 0) {
        ++missed;
      } else {
        seconds.push_back(s);
      }
      rig.advance(0.1);
      const double before = rig.now();
      arm.recover();
      recoveries.push_back(rig.now() - before);
      rig.advance(0.3);
    }
    std::printf("  joint %d: p95 %.1f ms, worst %.1f ms%s\n", joint + 1, 1e3 * percentile(seconds, 0.95),
                1e3 * percentile(seconds, 1.0), missed ? (", missed " + std::to_string(missed)).c_str() : "");
    all.insert(all.end(), seconds.begin(), seconds.end());
    missed_all += missed;
  }
  printDistribution("all joints", all, missed_all);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60.0;
  int trials = 20;
  bool noise = false, model_error = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--trials") == 0 && i + 1 < argc) {
      trials = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--noise") == 0) {
      noise = true;
    } else if (std::strcmp(argv[i], "--model-error") == 0) {
      model_error = true;
    } else {
      std::fprintf(stderr, "usage: bench_collision [--seconds N] [--trials N] [--noise] [--model-error]\n");
      return 2;
    }
  }
  std::printf("measurement noise %s, model error %s\n", noise ? "on" : "off", model_error ? "on" : "off");
  if (seconds > 0) falseAlarms(seconds, rigOptions(noise, model_error));
  std::vector<double> recoveries;
  detection(false, trials, recoveries);
  detection(true, trials, recoveries);
  std::printf("recovery (simulated time of recover() after each of those reflexes):\n");
  printDistribution("recover()", recoveries, -1);
  return 0;
}
