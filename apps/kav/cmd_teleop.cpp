// kav teleop: one arm (the leader) floats in gravity compensation and is
// moved by hand; the other (the follower) tracks its joints every control
// cycle and mirrors its gripper.
#include <controller/ErrorCode.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>

#include <cmath>
#include <memory>
#include <thread>

#include "BringUp.h"
#include "BusDecoder.h"
#include "Commands.h"
#include "Console.h"
#include "Description.h"
#include "ModelErrorOptions.h"
#include "ScriptedHand.h"
#include "StopSignals.h"

namespace kav {
namespace tool {

namespace {

constexpr int kGravityCompensation = 3;
constexpr int kPositionControl = 5;

struct TeleopOptions {
  std::string leader, follower;
  int leader_type = 0, follower_type = 0;
  std::string description;
  bool sim = false;
  double duration = 0.0;          // 0: until interrupted
  ModelErrorOptions model_error;  // of both simulated arms
};

// Two simulated arms on buses of their own, the leader pushed by a hand.
struct SimulatedPair {
  std::unique_ptr<sim::BusHub> leader_bus, follower_bus;
  std::unique_ptr<sim::SimulatedArm> leader, follower;

  SimulatedPair(TeleopOptions* options) {
    leader_bus = options->leader.empty() ? std::make_unique<sim::BusHub>()
                                         : std::make_unique<sim::BusHub>(options->leader);
    follower_bus = options->follower.empty() ? std::make_unique<sim::BusHub>()
                                             : std::make_unique<sim::BusHub>(options->follower);
    sim::SimulatedArmOptions leader_options, follower_options;
    leader_options.variant = options->leader_type;
    follower_options.variant = options->follower_type;
    const sim::ModelError error = options->model_error.parsed(true);
    for (sim::SimulatedArmOptions* arm : {&leader_options, &follower_options}) {
      arm->physics = error.physics;
      arm->current_noise = error.current_noise;
    }
    leader = std::make_unique<sim::SimulatedArm>(leader_bus->endpoint(), leader_options);
    follower = std::make_unique<sim::SimulatedArm>(follower_bus->endpoint(), follower_options);
    options->leader = leader_bus->endpoint();
    options->follower = follower_bus->endpoint();
  }
};

std::string row(const char* name, const std::vector<double>& values) {
  std::string text = format("%-9s", name);
  for (int j = 0; j < config::kMotors; ++j) text += format(" %+8.4f", values[j]);
  return text;
}

std::string teleopScreen(const TeleopOptions& options, double elapsed, const std::vector<double>& leader,
                         const std::vector<double>& follower, const std::vector<double>& error,
                         double worst) {
  std::string screen = format("kav teleop: leader %s -> follower %s   %.1f s   (Ctrl-C stops)\n\n",
                              options.leader.c_str(), options.follower.c_str(), elapsed);
  screen += "[rad]    ";
  for (int j = 0; j < config::kMotors; ++j) screen += format(" %8s", jointName(j));
  screen +=
      "\n" + row("leader", leader) + "\n" + row("follower", follower) + "\n" + row("error", error) + "\n";
  return screen + format("\nlargest tracking error of the six joints: %.4f rad\n", worst);
}

// Stops teleoperation when either arm reports an error code it had not
// reported before.
void checkErrors(t8::InterfacesThread& arm, const char* name, std::size_t* known) {
  const std::vector<int> codes = arm.getErrorCode();
  if (codes.size() > *known) {
    throw std::runtime_error(format("the %s reported error code %d (%s); both arms stopped", name,
                                    codes.back(), t8::ErrorCode(codes.back()).meaning().c_str()));
  }
}

int runTeleop(TeleopOptions options) {
  if (!options.sim && (options.leader.empty() || options.follower.empty())) {
    throw UsageError("give --leader and --follower, or --sim");
  }
  if (!options.leader.empty() && options.leader == options.follower) {
    throw UsageError("the leader and the follower need buses of their own");
  }
  if (options.description.empty()) options.description = defaultDescription();
  options.model_error.parsed(options.sim);  // refuses unusable values before anything starts

  StopSignals stop;
  Console::take();
  std::unique_ptr<SimulatedPair> simulated;
  if (options.sim) simulated = std::make_unique<SimulatedPair>(&options);
  auto arms = bringUp({{"leader", options.description, options.leader, options.leader_type},
                       {"follower", options.description, options.follower, options.follower_type}});
  t8::InterfacesThread& leader = *arms[0];
  t8::InterfacesThread& follower = *arms[1];
  if (stop.requested()) return 0;

  leader.setArmStatus(kGravityCompensation);
  leader.setCatchTorque(0.0);  // the hand opens and closes the leader's gripper
  follower.kav_x(config::kMaxAcceleration * 1000.0, config::kMaxVelocity * 1000.0, 0.0);
  std::vector<double> q = leader.getJointPositons();
  follower.setJointPositions(q);
  follower.setArmStatus(kPositionControl);
  std::size_t leader_codes = leader.getErrorCode().size(), follower_codes = follower.getErrorCode().size();

  std::unique_ptr<ScriptedHand> hand;
  if (simulated) hand = std::make_unique<ScriptedHand>(*simulated->leader);

  const auto start = Clock::now();
  const auto end = options.duration > 0.0 ? start + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(options.duration))
                                          : Clock::time_point::max();
  const auto view_period = Console::live() ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
  auto next_view = start + view_period;
  for (auto cycle = start; !stop.requested() && cycle < end;) {
    q = leader.getJointPositons();
    follower.setJointPositions(q);
    follower.setCatch(q[config::kGripper]);
    const auto now = Clock::now();
    if (now >= next_view) {
      checkErrors(leader, "leader", &leader_codes);
      checkErrors(follower, "follower", &follower_codes);
      const std::vector<double> f = follower.getJointPositons();
      std::vector<double> error(config::kMotors);
      double worst = 0.0;
      for (int j = 0; j < config::kMotors; ++j) {
        error[j] = f[j] - q[j];
        if (j < config::kArmJoints) worst = std::max(worst, std::fabs(error[j]));
      }
      const double elapsed = std::chrono::duration<double>(now - start).count();
      if (Console::live()) {
        Console::show(teleopScreen(options, elapsed, q, f, error, worst));
      } else {
        std::string line = format("t=%.1f max_error=%.4f", elapsed, worst);
        for (int j = 0; j < config::kMotors; ++j) {
          line += format(" %s=%.4f/%.4f", jointName(j), q[j], f[j]);
        }
        Console::line(line);
      }
      next_view += view_period;
    }
    cycle += config::kCyclePeriod;
    if (Clock::now() > cycle + config::kCyclePeriod) cycle = Clock::now();  // fell behind: no burst
    std::this_thread::sleep_until(cycle);
  }
  Console::line("stopping the follower, then the leader");
  arms[1].reset();  // the follower first: it is the arm that moves by itself
  hand.reset();
  arms[0].reset();
  return 0;
}

}  // namespace

Command addTeleop(CLI::App& kav) {
  auto options = std::make_shared<TeleopOptions>();
  CLI::App* app =
      kav.add_subcommand("teleop", "drive one arm (the follower) by moving another (the leader) by hand");
  app->footer(
      "Drive one arm with another: the leader floats in gravity compensation and is moved\n"
      "by hand, the follower tracks its joints every control cycle (5 ms) in position\n"
      "control with the interpolation limits at their ceilings, and mirrors its gripper.\n"
      "With --sim both are simulated on buses of their own (at --leader and --follower if\n"
      "given) and a scripted hand moves the leader.");
  app->add_option("--leader", options->leader, "the leader's bus (can0, unix:@name)");
  app->add_option("--follower", options->follower, "the follower's bus");
  app->add_option("--leader-type", options->leader_type, "the leader's arm variant")->capture_default_str();
  app->add_option("--follower-type", options->follower_type, "the follower's arm variant")
      ->capture_default_str();
  app->add_option("--urdf", options->description, "robot description file of both arms")
      ->check(CLI::ExistingFile);
  app->add_flag("--sim", options->sim, "two simulated arms, the leader moved by a scripted hand");
  options->model_error.addTo(app);
  app->add_option("--duration", options->duration, "stop after this many seconds (default: until Ctrl-C)")
      ->check(kPositiveSeconds);
  return {app, [options] { return runTeleop(*options); }};
}

}  // namespace tool
}  // namespace kav
