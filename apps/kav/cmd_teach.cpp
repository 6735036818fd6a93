// kav teach: the arm floats in gravity compensation and is moved by hand;
// Enter stores a waypoint, g opens or closes the gripper, q saves and stops.
#include <solver/DynamicsCalibration.h>
#include <sys/stat.h>

#include <memory>

#include "BringUp.h"
#include "BusDecoder.h"
#include "Commands.h"
#include "Console.h"
#include "Description.h"
#include "Keyboard.h"
#include "ModelErrorOptions.h"
#include "StopSignals.h"
#include "Waypoints.h"

namespace kav {
namespace tool {

namespace {

constexpr int kGravityCompensation = 3;

struct TeachOptions {
  std::string bus;
  std::string out;
  std::string description;
  int type = 0;
  double gripper_open = 1.0;
  bool replace = false;
  bool sim = false;
  ModelErrorOptions model_error;  // of the simulated arm
  std::string dynamics;           // the arm's identified model (kav identify)
};

std::string jointsText(const std::vector<double>& q) {
  std::string text;
  for (int j = 0; j < config::kArmJoints; ++j) text += format(" %+.3f", q[j]);
  return text;
}

std::string teachScreen(const std::vector<double>& q, const TaughtPath& path, bool open,
                        const std::string& note) {
  std::string screen =
      "kav teach: move the arm by hand.  Enter stores a waypoint, g opens or closes the\n"
      "gripper, q saves and stops the arm.\n\n";
  screen += "joints [rad]" + jointsText(q) +
            format("   gripper %+.3f (%s)\n\n", q[config::kGripper], open ? "open" : "closed");
  screen += format("%zu waypoints\n", path.waypoints.size());
  const std::size_t shown = std::min<std::size_t>(path.waypoints.size(), 10);
  for (std::size_t i = path.waypoints.size() - shown; i < path.waypoints.size(); ++i) {
    const Waypoint& w = path.waypoints[i];
    screen += format("  %3zu:", i + 1) + jointsText(std::vector<double>(w.joints.begin(), w.joints.end())) +
              format("  gripper %+.3f\n", w.gripper);
  }
  return screen + "\n" + note + "\n";
}

int runTeach(TeachOptions options) {
  if (options.sim == !options.bus.empty()) throw UsageError("give --can IF or --sim");
  const sim::ModelError model_error = options.model_error.parsed(options.sim);
  checkDynamicsOption(options.dynamics);  // a bad file is refused before the arm comes up
  struct stat existing;
  if (!options.replace && ::stat(options.out.c_str(), &existing) == 0) {
    throw std::runtime_error(options.out + " exists (--replace overwrites it)");
  }
  TaughtPath path;
  path.description = robotName(options.description);

  StopSignals stop;
  Console::take();
  // A simulated arm on a bus of its own: it floats where it was brought up
  // (nobody moves it), for trying the keys and the file.
  std::unique_ptr<OwnSimulatedArm> simulated;
  if (options.sim) {
    simulated = std::make_unique<OwnSimulatedArm>(options.type, model_error);
    options.bus = simulated->endpoint();
  }
  auto arms = bringUp({{"the arm", options.description, options.bus, options.type}});
  t8::InterfacesThread& arm = *arms.front();
  if (!options.dynamics.empty()) arm.loadDynamics(options.dynamics);
  arm.setArmStatus(kGravityCompensation);
  bool open = false;
  arm.setCatch(0.0);

  Keyboard keyboard;
  std::string note = "stopping on Ctrl-C also saves";
  if (!Console::live())
    Console::line("ready: Enter stores a waypoint, g opens or closes the gripper, q saves");
  auto next_view = Clock::now();
  while (!stop.requested()) {
    const std::optional<char> key = keyboard.next(std::chrono::milliseconds(50));
    if (key == Keyboard::kEnd || key == 'q') break;
    if (key == '\n') {
      const std::vector<double> q = arm.getJointPositons();
      Waypoint waypoint;
      std::copy(q.begin(), q.begin() + config::kArmJoints, waypoint.joints.begin());
      waypoint.gripper = open ? options.gripper_open : 0.0;
      path.waypoints.push_back(waypoint);
      note = format("stored waypoint %zu", path.waypoints.size());
      if (!Console::live()) {
        Console::line(format("waypoint %zu:", path.waypoints.size()) + jointsText(q) +
                      format(" gripper %.3f", waypoint.gripper));
      }
    } else if (key == 'g') {
      open = !open;
      arm.setCatch(open ? options.gripper_open : 0.0);
      note = open ? "gripper opening" : "gripper closing";
      if (!Console::live()) Console::line(note);
    }
    if (Console::live() && Clock::now() >= next_view) {
      Console::show(teachScreen(arm.getJointPositons(), path, open, note));
      next_view = Clock::now() + std::chrono::milliseconds(100);
    }
  }
  saveWaypoints(options.out, path);
  Console::line(
      format("saved %zu waypoints to %s; stopping the arm", path.waypoints.size(), options.out.c_str()));
  return 0;
}

}  // namespace

Command addTeach(CLI::App& kav) {
  auto options = std::make_shared<TeachOptions>();
  options->description = defaultDescription();
  CLI::App* app = kav.add_subcommand("teach", "move the arm by hand and store waypoints in a JSON file");
  app->footer(
      "Bring the arm up and let it float in gravity compensation so that it can be moved\n"
      "by hand. Enter stores a waypoint (six joints and the gripper), g opens or closes\n"
      "the gripper, q saves the waypoints to the JSON file and stops the arm (so does the\n"
      "end of input, Ctrl-C or SIGTERM). With --sim the arm is simulated on a bus of its\n"
      "own: it floats where it was brought up, as nobody moves it.");
  app->add_option("--can", options->bus, "the arm's bus: a CAN interface (can0) or a local-socket bus");
  app->add_flag("--sim", options->sim, "a simulated arm on a bus of its own");
  options->model_error.addTo(app);
  app->add_option("--dynamics", options->dynamics, "the arm's identified model (kav identify, docs/tools.md)")
      ->check(CLI::ExistingFile);
  app->add_option("--out", options->out, "the JSON file to write (FILE.json)")->required();
  app->add_option("--type", options->type, "arm variant (2 drives the gripper by position)")
      ->capture_default_str();
  app->add_option("--urdf", options->description, "robot description file")
      ->capture_default_str()
      ->check(CLI::ExistingFile);
  app->add_option("--gripper-open", options->gripper_open, "gripper target when open, radians")
      ->capture_default_str()
      ->check(CLI::Range(std::min(config::kJointLower[config::kGripper], config::kGripperVariant2Lower),
                         std::max(config::kJointUpper[config::kGripper], config::kGripperVariant2Upper)));
  app->add_flag("--replace", options->replace, "replace the file if it exists");
  return {app, [options] { return runTeach(*options); }};
}

}  // namespace tool
}  // namespace kav
