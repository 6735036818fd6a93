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
// - raw targets: setJointPositions across the workspace, approached at the
//   interpolation ceilings; the largest estimate per joint, contact, reflexes;
// - clamp: each joint driven in POSITION_CONTROL at the ceilings into a spring
//   obstacle 0.05 rad ahead (100 and 1000 N·m/rad): the time from the first
//   touch to the first compliant command on that joint, and the peak torque
//   the obstacle took.
//
//   bench_collision [--seconds N] [--raw-seconds N] [--trials N] [--noise] [--model-error]
//                   [--real [--hogs N]] [--only false|raw|clamp|detection]
//
// --real: the free-motion parts (random motions, raw targets) on real threads
// (a simulated arm on a local-socket bus), beside N busy threads.
//
// --model-error: the simulated arm's link masses off by +-10 % (alternating),
// its friction doubled and 0.05 N·m of further noise on its currents.
#include <config/ArmConfig.h>
#include <controller/ControllerBase.h>
#include <interfaces/InterfacesThread.h>
#include <sim/BusHub.h>
#include <sim/Lockstep.h>
#include <sim/SimulatedArm.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
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

// Where the false-alarm runs take place: the lockstep rig (simulated time) or
// real threads (a simulated arm on a local-socket bus, the machine's clock).
class Host {
 public:
  virtual ~Host() = default;
  virtual kav::t8::InterfacesThread& arm() = 0;
  virtual double now() const = 0;
  virtual void advance(double seconds) = 0;
  void holdRest() {
    arm().setJointPositions(kRest);
    arm().setArmStatus(ControllerBase::POSITION_CONTROL);
    advance(4.0);
  }
};

class RigHost final : public Host {
 public:
  explicit RigHost(const kav::sim::LockstepOptions& options) : rig_(kUrdf, options) {}
  kav::t8::InterfacesThread& arm() override { return rig_.arm(); }
  double now() const override { return rig_.now(); }
  void advance(double seconds) override { rig_.advance(seconds); }

 private:
  kav::sim::Lockstep rig_;
};

class RealHost final : public Host {
 public:
  explicit RealHost(const kav::sim::SimulatedArmOptions& options)
      : sim_(hub_.endpoint(), options), arm_(kUrdf, hub_.endpoint(), 0) {}
  kav::t8::InterfacesThread& arm() override { return arm_; }
  double now() const override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  void advance(double seconds) override {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }

 private:
  kav::sim::BusHub hub_;
  kav::sim::SimulatedArm sim_;
  kav::t8::InterfacesThread arm_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Busy threads at normal priority beside the controller, as other programs
// on a loaded machine would be.
class Hogs {
 public:
  explicit Hogs(int count) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this] {
        volatile double x = 1.0;
        while (!stop_.load(std::memory_order_relaxed)) x = x * 1.0000001 + 1e-9;
      });
    }
  }
  ~Hogs() {
    stop_.store(true);
    for (auto& thread : threads_) thread.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

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

// What a free-motion run saw: the largest estimate per joint, the cycles
// with contact, and every reflex or fault (each a false alarm, printed and
// recovered from so that the run goes on).
class FreeMotionTally {
 public:
  explicit FreeMotionTally(kav::t8::InterfacesThread& arm)
      : arm_(arm), codes_seen_(arm.getErrorCode().size()) {}

  // One poll after a step of the run; true when it found an alarm.
  bool poll(double now, const char* what) {
    const auto r = arm_.getExternalTorques();
    for (int j = 0; j < kArmJoints; ++j) worst_[j] = std::max(worst_[j], std::fabs(r[j]));
    ++cycles_;
    contact_ += arm_.contactDetected() ? 1 : 0;
    const std::vector<int> codes = arm_.getErrorCode();
    if (codes.size() <= codes_seen_ && arm_.controlActive()) return false;
    ++alarms_;
    std::printf("  at %.1f s%s: codes", now, what);
    for (std::size_t i = codes_seen_; i < codes.size(); ++i) std::printf(" %d", codes[i]);
    std::printf("; torques");
    for (double t : r) std::printf(" %.2f", t);
    std::printf("\n");
    arm_.recover();
    codes_seen_ = arm_.getErrorCode().size();
    return true;
  }

  void print() const {
    std::printf("  largest |external torque| per joint (N·m):");
    for (double w : worst_) std::printf(" %.2f", w);
    std::printf("\n  contact in %.3f %% of %ld cycles, reflexes and faults %d\n",
                100.0 * static_cast<double>(contact_) / static_cast<double>(std::max(1L, cycles_)), cycles_,
                alarms_);
  }

 private:
  kav::t8::InterfacesThread& arm_;
  std::size_t codes_seen_;
  std::array<double, kArmJoints> worst_{};
  long cycles_ = 0, contact_ = 0;
  int alarms_ = 0;
};

void falseAlarms(double seconds, Host& rig, double poll) {
  const auto wall_start = std::chrono::steady_clock::now();
  auto& arm = rig.arm();
  rig.holdRest();
  std::mt19937_64 rng(7);
  FreeMotionTally tally(arm);
  std::array<int, 3> started{};
  int kind = 0;
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
    rig.advance(poll);
    const char* kinds[] = {" (moveJoints)", " (trajectory)", " (line)"};
    tally.poll(rig.now(), kinds[kind]);
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  std::printf(
      "random motions at the full limits, %.0f s simulated in %.0f s: %d moveJoints, %d trajectories, "
      "%d lines\n",
      seconds, wall, started[0], started[1], started[2]);
  tally.print();
}

void rawTargets(double seconds, Host& rig, double poll) {
  auto& arm = rig.arm();
  rig.holdRest();
  std::mt19937_64 rng(3);
  FreeMotionTally tally(arm);
  int targets = 0;
  const double end = rig.now() + seconds;
  std::uniform_real_distribution<double> step(-0.6, 0.6);
  while (rig.now() < end) {
    // Steps of up to 0.6 rad per joint, wandering across the workspace 0.6 rad
    // inside the limits: the arm overshoots a raw target by up to 0.5 rad,
    // and a step from far away throws it at its end stops at many rad/s.
    Joints target = arm.getJointPositons();
    target.resize(kArmJoints);
    for (int j = 0; j < kArmJoints; ++j) {
      target[j] = std::clamp(target[j] + step(rng), kav::config::kJointLower[j] + 0.6,
                             kav::config::kJointUpper[j] - 0.6);
    }
    target[1] = std::clamp(target[1], 0.7, 2.8);
    target[2] = std::clamp(target[2], 0.6, 2.4);
    arm.setJointPositions(target);
    ++targets;
    const double give_up = rig.now() + 6.0;
    bool reached = false;
    while (!reached && rig.now() < give_up && rig.now() < end) {
      rig.advance(poll);
      if (tally.poll(rig.now(), "")) break;
      const Joints at = arm.getJointPositons();
      reached = true;
      for (int j = 0; j < kArmJoints; ++j) reached = reached && std::fabs(at[j] - target[j]) < 0.01;
    }
  }
  std::printf("raw setJointPositions targets at the interpolation ceilings, %.0f s simulated: %d targets\n",
              seconds, targets);
  tally.print();
}

// Each joint driven from the rest pose toward a target 0.5 rad away, into a
// spring obstacle 0.05 rad ahead.
void clamp(double stiffness, const kav::sim::LockstepOptions& options) {
  std::printf("clamp, spring obstacle of %.0f N·m/rad 0.05 rad ahead, POSITION_CONTROL at the ceilings:\n",
              stiffness);
  for (int joint = 0; joint < kArmJoints; ++joint) {
    for (int side : {1, -1}) {
      kav::sim::Lockstep rig(kUrdf, options);
      auto& arm = rig.arm();
      auto& sim = rig.simulatedArm();
      holdRest(rig);
      const Joints rest = arm.getJointPositons();
      sim.setObstacle(joint, rest[joint] + side * 0.05, stiffness, side);
      Joints target = kRest;
      target[joint] = rest[joint] + side * 0.5;
      sim.clearReceivedCommands();
      arm.setJointPositions(target);
      double touch = -1.0, reflex = -1.0, peak = 0.0;
      const double until = rig.now() + 3.0;
      while (rig.now() < until && (reflex < 0 || rig.now() < reflex + 0.3)) {
        rig.advance(0.001);
        const double torque = sim.obstacleTorque(joint);
        if (touch < 0 && torque != 0.0) touch = rig.now();
        peak = std::max(peak, std::fabs(torque));
        if (reflex < 0) {
          for (const auto& received : sim.receivedCommands(joint)) {
            if (received.command.k_p == 0.0) {
              reflex = std::chrono::duration<double>(received.time.time_since_epoch()).count();
              break;
            }
          }
          sim.clearReceivedCommands();
        }
      }
      const std::string last = arm.lastReflex();
      std::printf("  joint %d %s: ", joint + 1, side > 0 ? "+" : "-");
      if (touch < 0) {
        std::printf("never touched\n");
      } else if (reflex < 0) {
        std::printf("no reflex within 3 s; peak %.1f N·m; control %s\n", peak,
                    arm.controlActive() ? "active" : "ended");
      } else if (last.empty()) {
        std::printf("no reflex; damping %.1f ms after the touch (control ended), peak %.1f N·m\n",
                    1e3 * (reflex - touch), peak);
      } else {
        const bool here = last.find("joint " + std::to_string(joint + 1) + ":") != std::string::npos;
        std::printf("reflex %.1f ms after the touch%s, peak %.1f N·m\n", 1e3 * (reflex - touch),
                    here ? "" : (" on another joint: " + last).c_str(), peak);
      }
    }
  }
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
  double seconds = 60.0, raw_seconds = 120.0;
  int trials = 20;
  std::string only;
  bool real = false;
  int hogs = 0;
  bool noise = false, model_error = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--raw-seconds") == 0 && i + 1 < argc) {
      raw_seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--real") == 0) {
      real = true;
    } else if (std::strcmp(argv[i], "--hogs") == 0 && i + 1 < argc) {
      hogs = std::max(0, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else if (std::strcmp(argv[i], "--trials") == 0 && i + 1 < argc) {
      trials = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--noise") == 0) {
      noise = true;
    } else if (std::strcmp(argv[i], "--model-error") == 0) {
      model_error = true;
    } else {
      std::fprintf(stderr,
                   "usage: bench_collision [--seconds N] [--raw-seconds N] [--trials N] [--noise] "
                   "[--model-error] [--real [--hogs N]] [--only false|raw|clamp|detection]\n");
      return 2;
    }
  }
  std::printf("measurement noise %s, model error %s\n", noise ? "on" : "off", model_error ? "on" : "off");
  const auto part = [&only](const char* name) { return only.empty() || only == name; };
  if (real) {
    // Free motion on real threads only: clamps and steps are timed on the rig.
    std::printf("real threads, %d busy threads beside\n", hogs);
    Hogs busy(hogs);
    kav::sim::SimulatedArmOptions options;
    if (noise) options.noise_seed = 1;
    if (part("false") && seconds > 0) {
      RealHost host(options);
      falseAlarms(seconds, host, 0.001);
    }
    if (part("raw") && raw_seconds > 0) {
      RealHost host(options);
      rawTargets(raw_seconds, host, 0.001);
    }
    return 0;
  }
  if (part("false") && seconds > 0) {
    RigHost host(rigOptions(noise, model_error));
    falseAlarms(seconds, host, 0.005);
  }
  if (part("raw") && raw_seconds > 0) {
    RigHost host(rigOptions(noise, model_error));
    rawTargets(raw_seconds, host, 0.005);
  }
  if (part("clamp")) {
    clamp(100.0, rigOptions(noise, model_error));
    clamp(1000.0, rigOptions(noise, model_error));
  }
  if (part("detection")) {
    std::vector<double> recoveries;
    detection(false, trials, recoveries);
    detection(true, trials, recoveries);
    std::printf("recovery (simulated time of recover() after each of those reflexes):\n");
    printDistribution("recover()", recoveries, -1);
  }
  return 0;
}
