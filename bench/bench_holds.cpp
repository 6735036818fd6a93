// How still the arm stays where the controller holds it without stiffness,
// on the lockstep rig (simulated time):
// - G_COMPENSATION from rest at ten poses over the workspace: the largest
//   distance any joint moves from where it started within 5 s;
// - the reflex's compliant hold: a push on each joint fires the reflex and
//   stops; after 1 s for its momentum to die, the largest move in the next
//   second;
// - recover() after each of those reflexes: the largest move from the call
//   until 0.5 s after it;
// - recover() while one arm motor is silent (each in turn): refused, and
//   accepted once it answers again.
//
//   bench_holds [--mass-error]
//
// --mass-error: the simulated arm's link masses off by +-10 % (alternating).
#include <config/ArmConfig.h>
#include <controller/ControllerBase.h>
#include <sim/Lockstep.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using kav::config::kArmJoints;
using kav::t8::ControllerBase;
using Joints = std::vector<double>;

const std::string kUrdf = std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf";
const Joints kRest{0.2, 0.6, 0.5, 0.1, 0.2, 0.1};
const std::vector<Joints> kPoses{
    {0.2, 0.6, 0.5, 0.1, 0.1, 0.1},    {0.0, 0.0, 0.0, 0.0, 0.0, 0.0},    {1.0, 1.2, 0.8, 0.5, -0.6, 0.9},
    {-1.5, 0.4, 1.5, -0.8, 0.7, -1.2}, {2.0, 2.0, 1.0, 1.0, 0.3, 0.5},    {-2.5, 1.5, 2.0, -0.3, -1.0, 1.5},
    {0.5, 2.8, 2.5, 0.9, 1.2, -0.8},   {-0.8, 0.9, 0.2, -1.1, -0.4, 0.2}, {1.5, 0.3, 2.4, 0.2, 0.9, -1.5},
    {-2.0, 2.4, 0.6, 0.6, -1.3, 1.0},
};

kav::sim::LockstepOptions rigOptions(bool mass_error) {
  kav::sim::LockstepOptions options;
  options.record_frames = false;
  if (mass_error) options.physics.mass_scale = {1.1, 0.9, 1.1, 0.9, 1.1, 0.9};
  return options;
}

std::array<double, kArmJoints> truePose(kav::sim::Lockstep& rig) {
  std::array<double, kArmJoints> q{};
  for (int j = 0; j < kArmJoints; ++j) q[j] = rig.simulatedArm().jointState(j).position;
  return q;
}

// Runs @p seconds in cycles; the largest distance of any joint from @p from
// on the way, and the joint it was.
double largestMove(kav::sim::Lockstep& rig, const std::array<double, kArmJoints>& from, double seconds,
                   int* joint) {
  double largest = 0.0;
  const double end = rig.now() + seconds;
  while (rig.now() < end) {
    rig.advance(0.005);
    const auto q = truePose(rig);
    for (int j = 0; j < kArmJoints; ++j) {
      const double move = std::fabs(q[j] - from[j]);
      if (move > largest) {
        largest = move;
        *joint = j + 1;
      }
    }
  }
  return largest;
}

// POSITION_CONTROL to @p pose, until the arm rests there.
void moveTo(kav::sim::Lockstep& rig, const Joints& pose) {
  rig.arm().setJointPositions(pose);
  rig.arm().setArmStatus(ControllerBase::POSITION_CONTROL);
  for (int i = 0; i < 3000; ++i) {
    rig.advance(0.005);
    bool still = true;
    for (int j = 0; j < kArmJoints; ++j) {
      const auto s = rig.simulatedArm().jointState(j);
      still = still && std::fabs(s.velocity) < 1e-3 && std::fabs(s.position - pose[j]) < 0.02;
    }
    if (still) break;
  }
  rig.advance(0.5);
}

void gravityCompensation(bool mass_error) {
  std::printf("G_COMPENSATION from rest, 5 s: largest move of any joint per pose\n");
  double worst = 0.0;
  for (const Joints& pose : kPoses) {
    kav::sim::Lockstep rig(kUrdf, rigOptions(mass_error));
    moveTo(rig, pose);
    rig.arm().setArmStatus(ControllerBase::G_COMPENSATION);
    int joint = 0;
    const double move = largestMove(rig, truePose(rig), 5.0, &joint);
    worst = std::max(worst, move);
    std::printf("  (%5.2f %5.2f %5.2f %5.2f %5.2f %5.2f): %.4f rad (joint %d)\n", pose[0], pose[1], pose[2],
                pose[3], pose[4], pose[5], move, joint);
  }
  std::printf("  worst %.4f rad\n", worst);
}

void holdAndRecover(bool mass_error) {
  std::printf("reflex hold (1 s after the push, the next second) and recover() (call to +0.5 s)\n");
  double worst_hold = 0.0, worst_recover = 0.0;
  for (int pushed = 0; pushed < kArmJoints; ++pushed) {
    kav::sim::Lockstep rig(kUrdf, rigOptions(mass_error));
    moveTo(rig, kRest);
    const double push = 2.0 * kav::config::kCollisionThreshold[pushed];
    // The push lasts until the reflex fires (at most 0.1 s).
    rig.simulatedArm().setExternalTorque(pushed, push);
    for (int i = 0; i < 20 && rig.arm().lastReflex().empty(); ++i) rig.advance(0.005);
    rig.simulatedArm().setExternalTorque(pushed, 0.0);
    const bool compliant = !rig.arm().lastReflex().empty();
    rig.advance(1.0);
    int joint = 0;
    const double hold = largestMove(rig, truePose(rig), 1.0, &joint);
    const auto at_call = truePose(rig);
    // A joint left beyond its limits is driven back to them once recovered.
    bool within = true;
    for (int j = 0; j < kArmJoints; ++j)
      within =
          within && at_call[j] >= kav::config::kJointLower[j] && at_call[j] <= kav::config::kJointUpper[j];
    const double called = rig.now();
    rig.arm().recover();
    int recover_joint = 0;
    double recovered = 0.0;
    {
      const auto q = truePose(rig);
      for (int j = 0; j < kArmJoints; ++j) {
        if (std::fabs(q[j] - at_call[j]) > recovered) {
          recovered = std::fabs(q[j] - at_call[j]);
          recover_joint = j + 1;
        }
      }
    }
    const double rest = std::max(0.0, called + 0.5 - rig.now());
    int later_joint = 0;
    const double later = largestMove(rig, at_call, rest, &later_joint);
    if (later > recovered) {
      recovered = later;
      recover_joint = later_joint;
    }
    worst_hold = std::max(worst_hold, hold);
    worst_recover = std::max(worst_recover, recovered);
    std::printf(
        "  push %5.1f N·m on joint %d (reflex %s, left %s the limits): hold %.4f rad (joint %d), recover() "
        "%.4f "
        "rad (joint %d)\n",
        push, pushed + 1, compliant ? "fired" : "MISSED", within ? "within" : "BEYOND", hold, joint,
        recovered, recover_joint);
  }
  std::printf("  worst hold %.4f rad, worst recover() %.4f rad\n", worst_hold, worst_recover);
}

void silentMotors() {
  std::printf("recover() with one arm motor silent\n");
  for (int silent = 0; silent < kArmJoints; ++silent) {
    kav::sim::Lockstep rig(kUrdf, rigOptions(false));
    moveTo(rig, kRest);
    rig.simulatedArm().setMotorSilent(silent, true);
    const int offline = (silent + 1) * 16 + 15;
    for (int i = 0; i < 400; ++i) {
      const auto codes = rig.arm().getErrorCode();
      if (std::find(codes.begin(), codes.end(), offline) != codes.end()) break;
      rig.advance(0.005);
    }
    std::string refused = "NOT REFUSED";
    try {
      rig.arm().recover();
    } catch (const std::runtime_error& error) {
      refused = error.what();
    }
    rig.simulatedArm().setMotorSilent(silent, false);
    std::string accepted = "accepted";
    try {
      rig.arm().recover();
      if (!rig.arm().controlActive()) accepted = "returned without control";
    } catch (const std::runtime_error& error) {
      accepted = std::string("refused: ") + error.what();
    }
    std::printf("  motor %d silent: %s\n    answering again: %s\n", silent + 1, refused.c_str(),
                accepted.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool mass_error = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mass-error") == 0) {
      mass_error = true;
    } else {
      std::fprintf(stderr, "usage: bench_holds [--mass-error]\n");
      return 2;
    }
  }
  std::printf("model error %s\n", mass_error ? "on (link masses +-10 %)" : "off");
  gravityCompensation(mass_error);
  holdAndRecover(mass_error);
  if (!mass_error) silentMotors();
  return 0;
}
