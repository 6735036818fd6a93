// Collision detection on the lockstep rig (simulated time): the external
// torque estimates during random joint motions at the full motion limits
// (their largest magnitude per joint, the share of cycles with contact, the
// reflexes, which are false alarms here), and the time from a step of
// external torque (twice the reflex threshold) to the first compliant
// command, per joint, at rest and while moving.
//
//   bench_collision [--seconds N] [--noise] [--model-error]
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
#include <string>
#include <vector>

namespace {

using kav::config::kArmJoints;
using kav::t8::ControllerBase;

const std::string kUrdf = std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf";

int reflexes(const std::vector<int>& codes) {
  return static_cast<int>(
      std::count_if(codes.begin(), codes.end(), [](int c) { return c > 160 && c <= 166; }));
}

std::vector<double> randomTarget(std::mt19937_64& rng) {
  std::vector<double> target(kArmJoints);
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
  if (model_error) {
    options.physics.mass_scale = {1.1, 0.9, 1.1, 0.9, 1.1, 0.9};
    for (double& friction : options.physics.friction) friction *= 2.0;
    options.current_noise = 0.05;
  }
  return options;
}

void falseAlarms(double seconds, const kav::sim::LockstepOptions& options) {
  kav::sim::Lockstep rig(kUrdf, options);
  auto& arm = rig.arm();
  arm.setJointPositions({0.2, 0.6, 0.5, 0.1, 0.2, 0.1});
  arm.setArmStatus(ControllerBase::POSITION_CONTROL);
  rig.advance(4.0);
  std::mt19937_64 rng(7);
  std::array<double, kArmJoints> worst{};
  long cycles = 0, contact = 0;
  int moves = 0;
  const double end = rig.now() + seconds;
  while (rig.now() < end) {
    if (arm.motionDone()) {
      arm.moveJoints(randomTarget(rng), 1.0);
      ++moves;
    }
    rig.advance(0.005);
    const auto r = arm.getExternalTorques();
    for (int j = 0; j < kArmJoints; ++j) worst[j] = std::max(worst[j], std::fabs(r[j]));
    ++cycles;
    contact += arm.contactDetected() ? 1 : 0;
    if (!arm.controlActive() || reflexes(arm.getErrorCode()) > 0) break;
  }
  std::printf("random moveJoints at the full limits, %.0f s simulated, %d motions\n", seconds, moves);
  std::printf("  largest |external torque| per joint (N·m):");
  for (double w : worst) std::printf(" %.2f", w);
  std::printf("\n  contact in %.3f %% of %ld cycles, reflexes %d\n", 100.0 * contact / std::max(1L, cycles),
              cycles, reflexes(arm.getErrorCode()));
}

// Seconds from the step to the first command with no stiffness on that joint.
double latency(kav::sim::Lockstep& rig, int joint) {
  auto& sim = rig.simulatedArm();
  sim.clearReceivedCommands();
  const double step = rig.now();
  sim.setExternalTorque(joint, 2 * kav::config::kCollisionThreshold[joint]);
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

void detection(bool moving) {
  std::printf("detection, step of twice the reflex threshold, %s: ms to the first compliant command\n",
              moving ? "during a moveJoints at the full limits" : "at rest");
  for (int joint = 0; joint < kArmJoints; ++joint) {
    kav::sim::Lockstep rig(kUrdf);
    auto& arm = rig.arm();
    arm.setJointPositions({0.2, 0.6, 0.5, 0.1, 0.2, 0.1});
    arm.setArmStatus(ControllerBase::POSITION_CONTROL);
    rig.advance(4.0);
    if (moving) {
      arm.moveJoints({1.2, 1.4, 1.2, 0.8, -0.6, 0.9}, 1.0);
      rig.advance(1.0);
    }
    const double seconds = latency(rig, joint);
    std::printf("  joint %d: %s\n", joint + 1,
                seconds < 0 ? "no reflex" : std::to_string(seconds * 1e3).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60.0;
  bool noise = false, model_error = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--noise") == 0) {
      noise = true;
    } else if (std::strcmp(argv[i], "--model-error") == 0) {
      model_error = true;
    } else {
      std::fprintf(stderr, "usage: bench_collision [--seconds N] [--noise] [--model-error]\n");
      return 2;
    }
  }
  std::printf("measurement noise %s, model error %s\n", noise ? "on" : "off", model_error ? "on" : "off");
  falseAlarms(seconds, rigOptions(noise, model_error));
  detection(false);
  detection(true);
  return 0;
}
