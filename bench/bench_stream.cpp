// A servo node's stream followed through the bridge's JointStream: single-
// point trajectories, one publish period ahead, along a cosine on every
// joint (0.2 rad, 0.2 Hz: 0.25 rad/s and 0.32 rad/s² at most), from the
// commands the motors received cycle by cycle.
//
//   bench_stream [--seconds S] [--rate HZ] [--real]
//
// Default: 60 s at 30 Hz on the lockstep rig; --real runs the controller and
// the simulated arm on real threads (a private local-socket bus), messages
// timed by the machine's clock. Prints the messages refused, the largest
// velocity change between consecutive commands (the interpolation's own
// ceiling is 0.5 rad/s² x 5 ms = 0.0025 rad/s, the wire's velocity step
// 0.0088 rad/s on joints 1-3 and 0.022 on 4-6) and over 10 cycles, and how far
// the commanded set-points keep from the course and its speed once joined.
#include <config/ArmConfig.h>
#include <controller/ControllerBase.h>
#include <interfaces/InterfacesThread.h>
#include <sim/BusHub.h>
#include <sim/Lockstep.h>
#include <sim/SimulatedArm.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Stream.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kUrdf = KAV_SOURCE_DIR "/share/urdf/vorlan_v1.1_aa.urdf";
const std::vector<double> kStart{0.3, 0.8, 0.6, 0.0, 0.2, 0.0};
constexpr double kAmplitude = 0.2, kOmega = 2 * M_PI * 0.2;

double course(double t, int j) { return kStart[j] + kAmplitude * (1 - std::cos(kOmega * t)); }
double speed(double t) { return kAmplitude * kOmega * std::sin(kOmega * t); }
double seconds(Clock::time_point time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// The rig or real threads: the arm, the motors' record, and time.
struct Host {
  virtual ~Host() = default;
  virtual kav::t8::InterfacesThread& arm() = 0;
  virtual kav::sim::SimulatedArm& sim() = 0;
  virtual double now() const = 0;
  virtual void advanceTo(double t) = 0;
};

struct RigHost final : Host {
  RigHost() : rig(kUrdf, options()) {}
  static kav::sim::LockstepOptions options() {
    kav::sim::LockstepOptions o;
    o.record_frames = false;
    return o;
  }
  kav::t8::InterfacesThread& arm() override { return rig.arm(); }
  kav::sim::SimulatedArm& sim() override { return rig.simulatedArm(); }
  double now() const override { return rig.now(); }
  void advanceTo(double t) override { rig.advance(std::max(0.0, t - rig.now())); }
  kav::sim::Lockstep rig;
};

struct RealHost final : Host {
  RealHost() : simulated(hub.endpoint()), facade(kUrdf, hub.endpoint(), 0) {}
  kav::t8::InterfacesThread& arm() override { return facade; }
  kav::sim::SimulatedArm& sim() override { return simulated; }
  double now() const override { return seconds(Clock::now()); }
  void advanceTo(double t) override {
    std::this_thread::sleep_until(
        Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t))));
  }
  kav::sim::BusHub hub;
  kav::sim::SimulatedArm simulated;
  kav::t8::InterfacesThread facade;
};

}  // namespace

int main(int argc, char** argv) {
  double duration = 60.0, rate = 30.0;
  bool real = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
      duration = std::stod(argv[++i]);
    } else if (!std::strcmp(argv[i], "--rate") && i + 1 < argc) {
      rate = std::stod(argv[++i]);
    } else if (!std::strcmp(argv[i], "--real")) {
      real = true;
    } else {
      std::fprintf(stderr, "usage: bench_stream [--seconds S] [--rate HZ] [--real]\n");
      return 2;
    }
  }
  std::unique_ptr<Host> host =
      real ? std::unique_ptr<Host>(new RealHost) : std::unique_ptr<Host>(new RigHost);
  kav::t8::InterfacesThread& arm = host->arm();
  arm.setJointPositions(arm.getJointPositons());
  arm.setArmStatus(kav::t8::ControllerBase::POSITION_CONTROL);
  arm.moveJoints(kStart);
  host->advanceTo(host->now() + 8.0);
  if (!arm.motionDone()) throw std::runtime_error("the arm did not reach the start");
  host->sim().clearReceivedCommands();

  const double period = 1.0 / rate, begin = host->now();
  const int messages = static_cast<int>(duration * rate);
  kav::bridge::JointStream stream;
  int refused = 0;
  for (int k = 1; k <= messages; ++k) {
    kav::t8::TrajectoryPoint point;
    for (int j = 0; j < 6; ++j) point.positions.push_back(course(k * period, j));
    point.time_from_start = period;
    try {
      stream.follow({point}, 0.0, host->now(),
                    [&](const auto& points) { arm.followJointTrajectory(points); });
    } catch (const std::exception& error) {
      if (++refused <= 3) std::printf("message %d refused: %s\n", k, error.what());
    }
    host->advanceTo(begin + k * period);
  }
  host->advanceTo(host->now() + 3.0);

  std::printf("%s, %d messages at %.0f Hz over %.0f s, %d refused\n", real ? "real threads" : "lockstep rig",
              messages, rate, duration, refused);
  std::printf(
      "joint  max |dv| per cycle  per 10 cycles  off course  off speed   (rad/s, rad/s, mrad, rad/s)\n");
  for (int j = 0; j < 6; ++j) {
    const auto commands = host->sim().receivedCommands(j);
    double step = 0.0, step10 = 0.0, off_course = 0.0, off_speed = 0.0;
    for (std::size_t i = 1; i < commands.size(); ++i) {
      step = std::max(step, std::fabs(commands[i].command.velocity - commands[i - 1].command.velocity));
      if (i >= 10) {
        step10 =
            std::max(step10, std::fabs(commands[i].command.velocity - commands[i - 10].command.velocity));
      }
      const double t = seconds(commands[i].time) - begin;
      if (t < 1.0 || t > duration) continue;
      off_course = std::max(off_course, std::fabs(commands[i].command.position - course(t, j)));
      off_speed = std::max(off_speed, std::fabs(commands[i].command.velocity - speed(t)));
    }
    std::printf("%5d  %18.4f  %13.4f  %10.2f  %9.4f\n", j + 1, step, step10, off_course * 1000, off_speed);
  }
  return refused == 0 ? 0 : 1;
}
