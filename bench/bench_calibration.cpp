// How well an identified model fits the simulated arm it was identified on,
// on the lockstep rig (simulated time). The simulated arm carries the hidden
// errors of the identification's figures (docs/benchmarks.md):
//
//   --mass-scale 1.15,0.85,1.15,0.85,1.15,0.85 --friction-scale 2
//   --coulomb 0.3,0.3,0.3,0.3,0.3,0.3 --torque-constant 1.1,0.9,1.1,0.9,1.1,0.9
//   --payload 0.5,0,0,0.08
//
// For the description's model and for the calibration (--dynamics FILE, from
// kav identify --lockstep with those options):
// - the holding commands at 50 random poses against the truth's, per joint
//   the largest error over the poses relative to the joint's largest holding
//   command;
// - G_COMPENSATION from rest at ten poses: the largest move of any joint in 5 s;
// - the observer's largest |estimate| per joint in free motion through the
//   ten poses (the reflex thresholds raised so that the motion runs through);
// - with --payload FILE (kav identify --payload-only): the payload against the truth's.
//
//   bench_calibration --dynamics FILE [--payload FILE]
#include <controller/ControllerBase.h>
#include <sim/ArmPhysics.h>
#include <sim/Lockstep.h>
#include <solver/ArmDynamics.h>
#include <solver/DynamicsCalibration.h>
#include <solver/kinematic_dynamic_solver.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <kdl/tree.hpp>
#include <random>
#include <string>
#include <vector>

namespace {

using kav::ArmDynamics;
using kav::config::kArmJoints;
using kav::t8::ControllerBase;
using Joints = std::vector<double>;

const std::string kUrdf = std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf";
const std::vector<Joints> kPoses{
    {0.2, 0.6, 0.5, 0.1, 0.1, 0.1},    {0.0, 0.0, 0.0, 0.0, 0.0, 0.0},    {1.0, 1.2, 0.8, 0.5, -0.6, 0.9},
    {-1.5, 0.4, 1.5, -0.8, 0.7, -1.2}, {2.0, 2.0, 1.0, 1.0, 0.3, 0.5},    {-2.5, 1.5, 2.0, -0.3, -1.0, 1.5},
    {0.5, 2.8, 2.5, 0.9, 1.2, -0.8},   {-0.8, 0.9, 0.2, -1.1, -0.4, 0.2}, {1.5, 0.3, 2.4, 0.2, 0.9, -1.5},
    {-2.0, 2.4, 0.6, 0.6, -1.3, 1.0},
};

kav::sim::PhysicsParameters hiddenErrors() {
  kav::sim::PhysicsParameters p;
  p.mass_scale = {1.15, 0.85, 1.15, 0.85, 1.15, 0.85};
  for (int i = 0; i < kArmJoints; ++i) {
    p.friction[i] = 2.0 * kav::config::kViscousFriction[i];
    p.coulomb[i] = 0.3;
  }
  p.torque_constant_scale = {1.1, 0.9, 1.1, 0.9, 1.1, 0.9};
  p.payload_mass = 0.5;
  p.payload_centre = {0.0, 0.0, 0.08};
  return p;
}

KDL::Chain describedChain() {
  KDL::Tree tree;
  KDL::Chain chain;
  if (!kav::parseDescriptionFile(kUrdf, tree) || !tree.getChain("base_link", "link6", chain)) {
    throw std::runtime_error("cannot read " + kUrdf);
  }
  return chain;
}

void holdingCommands(const kav::DynamicsCalibration* calibration) {
  const KDL::Chain chain = describedChain();
  std::ifstream in(kUrdf);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const kav::sim::PhysicsParameters truth_parameters = hiddenErrors();
  kav::sim::ArmPhysics truth(text, {}, truth_parameters);
  std::unique_ptr<ArmDynamics> model =
      calibration ? std::make_unique<ArmDynamics>(chain, *calibration, kav::Payload())
                  : std::make_unique<ArmDynamics>(chain);
  std::mt19937 random(11);
  std::array<double, kArmJoints> largest{}, worst{};
  for (int n = 0; n < 50; ++n) {
    std::array<double, kArmJoints> q{};
    ArmDynamics::Vector qv, g;
    for (int j = 0; j < kArmJoints; ++j) {
      q[j] = std::uniform_real_distribution<double>(kav::config::kJointLower[j],
                                                    kav::config::kJointUpper[j])(random);
      qv(j) = q[j];
    }
    const auto t = truth.gravityTorques(q);
    model->gravity(qv, g);
    for (int j = 0; j < kArmJoints; ++j) {
      const double expected =
          t[j] * kav::config::kTorqueCommandPerNewtonMetre[j] / truth_parameters.torque_constant_scale[j];
      largest[j] = std::max(largest[j], std::fabs(expected));
      worst[j] = std::max(worst[j], std::fabs(model->command(j, g(j)) - expected));
    }
  }
  std::printf("holding commands at 50 random poses, %s: largest error / largest command per joint\n",
              calibration ? "calibrated" : "description's model");
  for (int j = 0; j < kArmJoints; ++j) {
    std::printf("  joint %d: %.4f of %.3f (%.2f %%)\n", j + 1, worst[j], largest[j],
                largest[j] > 1e-6 ? 100.0 * worst[j] / largest[j] : 0.0);
  }
}

kav::sim::LockstepOptions rigOptions() {
  kav::sim::LockstepOptions options;
  options.record_frames = false;
  options.physics = hiddenErrors();
  return options;
}

std::array<double, kArmJoints> truePose(kav::sim::Lockstep& rig) {
  std::array<double, kArmJoints> q{};
  for (int j = 0; j < kArmJoints; ++j) q[j] = rig.simulatedArm().jointState(j).position;
  return q;
}

void gravityCompensation(const std::string& dynamics) {
  std::printf("G_COMPENSATION from rest, 5 s, %s: largest move of any joint per pose\n",
              dynamics.empty() ? "description's model" : "calibrated");
  double worst = 0.0;
  for (const Joints& pose : kPoses) {
    kav::sim::Lockstep rig(kUrdf, rigOptions());
    if (!dynamics.empty()) rig.arm().loadDynamics(dynamics);
    rig.arm().moveJoints(pose);
    rig.arm().waitMotion(60.0);
    rig.advance(1.0);
    rig.arm().setArmStatus(ControllerBase::G_COMPENSATION);
    const auto from = truePose(rig);
    double move = 0.0;
    int joint = 0;
    for (int k = 0; k < 1000; ++k) {
      rig.advance(0.005);
      const auto q = truePose(rig);
      for (int j = 0; j < kArmJoints; ++j) {
        if (std::fabs(q[j] - from[j]) > move) move = std::fabs(q[j] - from[j]), joint = j + 1;
      }
    }
    worst = std::max(worst, move);
    std::printf("  (%5.2f %5.2f %5.2f %5.2f %5.2f %5.2f): %.4f rad (joint %d)\n", pose[0], pose[1], pose[2],
                pose[3], pose[4], pose[5], move, joint);
  }
  std::printf("  worst %.4f rad\n", worst);
}

void freeMotion(const std::string& dynamics) {
  kav::sim::Lockstep rig(kUrdf, rigOptions());
  if (!dynamics.empty()) rig.arm().loadDynamics(dynamics);
  rig.arm().setCollisionThresholds(Joints(kArmJoints, 99.0), Joints(kArmJoints, 100.0));
  std::array<double, kArmJoints> largest{};
  for (const Joints& pose : kPoses) {
    rig.arm().moveJoints(pose);
    while (!rig.arm().motionDone()) {
      rig.advance(0.005);
      const std::vector<double> r = rig.arm().getExternalTorques();
      for (int j = 0; j < kArmJoints; ++j) largest[j] = std::max(largest[j], std::fabs(r[j]));
    }
  }
  std::printf("observer in free motion through the ten poses, %s: largest |estimate| [N·m]\n ",
              dynamics.empty() ? "description's model" : "calibrated");
  for (int j = 0; j < kArmJoints; ++j) std::printf(" %.3f", largest[j]);
  std::printf("  (default reflex thresholds:");
  for (int j = 0; j < kArmJoints; ++j) std::printf(" %.1f", kav::config::kCollisionThreshold[j]);
  std::printf(")\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string dynamics, payload;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--dynamics") == 0) dynamics = argv[i + 1];
    if (std::strcmp(argv[i], "--payload") == 0) payload = argv[i + 1];
  }
  if (dynamics.empty()) {
    std::fprintf(stderr, "usage: bench_calibration --dynamics FILE [--payload FILE]\n");
    return 2;
  }
  try {
    const kav::DynamicsCalibration calibration = kav::readCalibrationFile(dynamics, true);
    holdingCommands(nullptr);
    holdingCommands(&calibration);
    gravityCompensation("");
    gravityCompensation(dynamics);
    freeMotion("");
    freeMotion(dynamics);
    if (!payload.empty()) {
      const kav::PayloadCalibration p = kav::readCalibrationFile(payload, false).payload;
      std::printf(
          "payload: %.4f kg (truth 0.5, %.2f %%), centre (%.4f, %.4f, %.4f) m (truth (0, 0, 0.08), off by "
          "%.4f m)\n",
          p.mass, 100.0 * (p.mass - 0.5) / 0.5, p.centre_of_mass.x(), p.centre_of_mass.y(),
          p.centre_of_mass.z(), (p.centre_of_mass - Eigen::Vector3d(0, 0, 0.08)).norm());
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_calibration: %s\n", error.what());
    return 1;
  }
  return 0;
}
