// kav play: brings the arm up and visits taught waypoints with synchronised
// moves, showing progress per waypoint.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include "BringUp.h"
#include "Commands.h"
#include "Console.h"
#include "Description.h"
#include "StopSignals.h"
#include "Waypoints.h"

namespace kav {
namespace tool {

namespace {

using Clock = std::chrono::steady_clock;

struct PlayOptions {
  std::string bus;
  std::string file;
  std::string description;
  int type = 0;
  double speed_scale = 1.0;
  bool loop = false;
};

// Share of the way from @p from to @p to that the slowest joint has covered.
double progressOf(const std::vector<double>& from, const std::array<double, config::kArmJoints>& to,
                  const std::vector<double>& now) {
  double share = 1.0;
  for (int j = 0; j < config::kArmJoints; ++j) {
    const double span = std::fabs(to[j] - from[j]);
    if (span > 1e-3) share = std::min(share, 1.0 - std::fabs(to[j] - now[j]) / span);
  }
  return std::clamp(share, 0.0, 1.0);
}

// Moves to one waypoint; false when a stop was requested on the way.
bool visit(t8::InterfacesThread& arm, const Waypoint& waypoint, std::size_t index, std::size_t count,
           int round, const PlayOptions& options, StopSignals& stop) {
  const std::vector<double> from = arm.getJointPositons();
  arm.moveJoints(std::vector<double>(waypoint.joints.begin(), waypoint.joints.end()), options.speed_scale);
  const auto start = Clock::now();
  auto next_line = start + std::chrono::seconds(1);
  while (!arm.waitMotion(Console::live() ? 0.1 : 0.2)) {
    if (stop.requested()) return false;
    const double share = progressOf(from, waypoint.joints, arm.getJointPositons());
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string text = format("round %d, waypoint %zu/%zu: %3.0f %% (%.1f s)", round, index + 1, count,
                                    100.0 * share, elapsed);
    if (Console::live()) {
      Console::show("kav play " + options.file + "   (Ctrl-C stops)\n\n" + text + "\n");
    } else if (Clock::now() >= next_line) {
      Console::line(text);
      next_line += std::chrono::seconds(1);
    }
  }
  arm.setCatch(waypoint.gripper);
  const std::vector<double> q = arm.getJointPositons();
  std::string reached = format("reached waypoint %zu/%zu (round %d):", index + 1, count, round);
  for (int j = 0; j < config::kArmJoints; ++j) reached += format(" %+.3f", q[j]);
  Console::line(reached + format(" gripper %.3f", waypoint.gripper));
  return !stop.requested();
}

int runPlay(const PlayOptions& options) {
  std::string taught_on;
  std::vector<Waypoint> waypoints;
  try {
    waypoints = checkedWaypoints(options.file, &taught_on);
  } catch (const std::invalid_argument& error) {
    throw UsageError(error.what());
  }
  const std::string name = robotName(options.description);
  if (taught_on != name) {
    throw UsageError(options.file + " was taught on \"" + taught_on + "\", this arm is \"" + name + "\"");
  }

  StopSignals stop;
  Console::take();
  auto arms = bringUp({{"the arm", options.description, options.bus, options.type}});
  t8::InterfacesThread& arm = *arms.front();
  int round = 1;
  bool stopped = stop.requested();
  while (!stopped) {
    for (std::size_t i = 0; i < waypoints.size() && !stopped; ++i) {
      stopped = !visit(arm, waypoints[i], i, waypoints.size(), round, options, stop);
    }
    if (!options.loop) break;
    ++round;
  }
  if (stopped) {
    Console::line("stopping the motion, then the arm");
    arm.stopMotion();
    arm.waitMotion(10.0);
  }
  return 0;
}

}  // namespace

Command addPlay(CLI::App& kav) {
  auto options = std::make_shared<PlayOptions>();
  options->description = defaultDescription();
  CLI::App* app =
      kav.add_subcommand("play", "bring the arm up and visit taught waypoints with synchronised moves");
  app->footer(
      "Brings the arm up and moves it through the waypoints of a file written by kav teach:\n"
      "all six joints start and arrive together, the gripper is set on arrival. Shows the\n"
      "progress per waypoint. Ctrl-C (or SIGTERM) stops the motion within the acceleration\n"
      "limits, then the arm.");
  app->add_option("--can", options->bus, "the arm's bus: a CAN interface (can0) or a local-socket bus")
      ->required();
  app->add_option("waypoints", options->file, "the JSON file written by kav teach")->required();
  app->add_option("--speed-scale", options->speed_scale, "share of the motion limits to use, in (0, 1]")
      ->capture_default_str()
      ->check(CLI::Range(1e-3, 1.0));
  app->add_flag("--loop", options->loop, "visit the waypoints again and again until Ctrl-C");
  app->add_option("--type", options->type, "arm variant (2 drives the gripper by position)")
      ->capture_default_str();
  app->add_option("--urdf", options->description, "robot description file")
      ->capture_default_str()
      ->check(CLI::ExistingFile);
  return {app, [options] { return runPlay(*options); }};
}

}  // namespace tool
}  // namespace kav
