// The arm demo: brings an arm up, shows a live table of its joints and its
// end-effector pose while it goes through gravity compensation, a few joint
// targets, a synchronised move, a trajectory through several points, a
// straight line of the end effector and the gripper, then shuts it down.
//
//   kav_demo                       runs against the simulated arm on a private
//                                  local-socket bus (no hardware needed)
//   kav_demo --can NAME [--urdf FILE] [--type N]
//                                  drives the arm on NAME ("can0", or a bus
//                                  served by kav_arm_sim such as "unix:@kav-arm")
#include <controller/ErrorCode.h>
#include <interfaces/InterfacesThread.h>
#include <signal.h>
#include <sim/BusHub.h>
#include <sim/ModelError.h>
#include <sim/SimulatedArm.h>
#include <solver/DynamicsCalibration.h>
#include <solver/Exercise.h>
#include <solver/kinematic_solver.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using kav::t8::InterfacesThread;
using Clock = std::chrono::steady_clock;

// The stop signal received (SIGINT, SIGTERM or SIGHUP), 0 while none. The
// handler only stores it; the demo's loop notices it within 100 ms and
// unwinds, so that the facade's destructor holds the arm in damping and
// closes the bus.
std::atomic<int> g_stop_signal{0};

void onStopSignal(int signal_number) { g_stop_signal.store(signal_number); }

void installStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
  // A closed standard output must not end the demo before the damping hold.
  ::signal(SIGPIPE, SIG_IGN);
}

struct Stopped {
  int signal_number;
};

void throwIfStopped() {
  const int signal_number = g_stop_signal.load();
  if (signal_number == 0) return;
  std::printf("\nkav_demo: %s, stopping the arm (damping, then the bus closes)...\n",
              strsignal(signal_number));
  std::fflush(stdout);
  throw Stopped{signal_number};
}

struct Options {
  std::string can;
  std::string urdf;
  int type = 0;
  // Collision thresholds (N·m, joints 1-6), when not the defaults.
  std::vector<double> lower, upper;
  bool quiet = !isatty(STDOUT_FILENO);  // one table per phase instead of a live redraw
  kav::sim::ModelError model_error;     // of the simulated arm (without --can)
  std::string dynamics;                 // the arm's identified model (kav identify)
};

// "L1,...,L6:U1,...,U6" into six lower and six upper numbers.
bool parseThresholds(const std::string& text, std::vector<double>* lower, std::vector<double>* upper) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  auto list = [](const std::string& part, std::vector<double>* out) {
    out->clear();
    std::size_t start = 0;
    for (;;) {
      const std::size_t comma = part.find(',', start);
      const std::string item =
          part.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      char* end = nullptr;
      const double number = std::strtod(item.c_str(), &end);
      if (item.empty() || end != item.c_str() + item.size()) return false;
      out->push_back(number);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    return out->size() == 6;
  };
  return list(text.substr(0, colon), lower) && list(text.substr(colon + 1), upper);
}

void usage() {
  std::printf(
      "usage: kav_demo [--can NAME] [--urdf FILE] [--type N] [--collision-thresholds L:U] [--dynamics FILE]\n"
      "                [--quiet] [model-error options]\n"
      "  without --can the demo starts a simulated arm on a private local-socket bus\n"
      "  --can NAME   CAN interface (\"can0\") or local-socket bus (\"unix:@kav-arm\")\n"
      "  --urdf FILE  robot description (default: the shipped one)\n"
      "  --type N     arm variant (2: gripper driven by position)\n"
      "  --collision-thresholds L1,...,L6:U1,...,U6\n"
      "               contact (lower) and reflex (upper) thresholds, N·m, joints 1-6,\n"
      "               for a host slower than a real-time one (default: the library's)\n"
      "  --quiet      print one table per phase instead of a live table\n"
      "  --dynamics FILE  the arm's identified model (kav identify, docs/tools.md)\n"
      "without --can, the simulated arm may differ from the controller's model:\n%s",
      kav::sim::kModelErrorUsage);
}

void printTable(InterfacesThread& arm, const char* phase, bool redraw) {
  const auto q = arm.getJointPositons();
  const auto v = arm.getJointVelocities();
  const auto c = arm.getJointCurrent();
  const auto pose = kav::solve::Isometry2Xyzrpy(arm.getEndPose());
  const auto errors = arm.getErrorCode();
  if (redraw) std::printf("\033[H\033[2J");
  std::printf("phase: %s\n\n", phase);
  std::printf("  joint   position [rad]  velocity [rad/s]  current\n");
  for (int i = 0; i < 7; ++i) {
    std::printf("  %-7s %14.4f %17.4f %8.3f\n", i < 6 ? ("j" + std::to_string(i + 1)).c_str() : "gripper",
                q[i], v[i], c[i]);
  }
  std::printf("\n  end effector  x %.4f  y %.4f  z %.4f m   roll %.4f  pitch %.4f  yaw %.4f rad\n", pose[0],
              pose[1], pose[2], pose[3], pose[4], pose[5]);
  std::printf("  error codes: %zu", errors.size());
  if (!errors.empty()) {
    std::printf(" (last %d: %s)", errors.back(), kav::t8::ErrorCode(errors.back()).meaning().c_str());
  }
  std::printf("\n\n");
  std::fflush(stdout);
}

// Shows the table for a while; returns early when @p done holds.
void watch(InterfacesThread& arm, const char* phase, std::chrono::milliseconds duration, bool quiet,
           const std::function<bool()>& done = nullptr) {
  const auto end = Clock::now() + duration;
  while (Clock::now() < end) {
    throwIfStopped();
    if (!quiet) printTable(arm, phase, true);
    if (done && done()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (quiet) printTable(arm, phase, false);
}

bool near(const std::vector<double>& q, const std::vector<double>& target, double tolerance) {
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (std::fabs(q[i] - target[i]) > tolerance) return false;
  }
  return true;
}

// The three kinds of motion, each run inside the control cycle.
void runMotions(InterfacesThread& arm, bool quiet) {
  const auto until_done = [&] { return arm.motionDone(); };
  arm.moveJoints({0.6, 1.0, 0.9, 0.3, -0.3, 0.4});
  watch(arm, "synchronised move (moveJoints): all joints arrive together", std::chrono::seconds(10), quiet,
        until_done);

  std::vector<kav::t8::TrajectoryPoint> points(4);
  const std::vector<std::vector<double>> positions{{0.4, 1.2, 1.0, 0.0, 0.0, 0.2},
                                                   {0.0, 1.0, 0.8, -0.3, 0.3, 0.0},
                                                   {-0.4, 0.8, 0.7, 0.0, 0.0, -0.3},
                                                   {0.0, 0.8, 0.7, 0.0, 0.0, 0.0}};
  for (std::size_t i = 0; i < points.size(); ++i) {
    points[i].positions = positions[i];
    points[i].time_from_start = 3.0 * static_cast<double>(i + 1);
  }
  arm.followJointTrajectory(points);
  watch(arm, "trajectory through four points (followJointTrajectory)", std::chrono::seconds(15), quiet,
        until_done);

  const Eigen::Isometry3d start = arm.getEndPose();
  Eigen::Isometry3d side = start;
  side.translation().y() += 0.05;
  arm.moveLinear(side, 0.04);
  watch(arm, "straight line 5 cm along y (moveLinear)", std::chrono::seconds(10), quiet, until_done);
  arm.moveLinear(start, 0.04);
  watch(arm, "straight line back", std::chrono::seconds(10), quiet, until_done);
}

int run(const Options& options) {
  std::unique_ptr<kav::sim::BusHub> hub;
  std::unique_ptr<kav::sim::SimulatedArm> sim;
  std::string can = options.can;
  if (can.empty()) {
    hub = std::make_unique<kav::sim::BusHub>();
    kav::sim::SimulatedArmOptions sim_options;
    sim_options.variant = options.type;
    sim_options.start_pose = {0.1, 0.3, 0.2, 0.0, 0.1, 0.0, 0.0};
    sim_options.physics = options.model_error.physics;
    sim_options.current_noise = options.model_error.current_noise;
    sim = std::make_unique<kav::sim::SimulatedArm>(hub->endpoint(), sim_options);
    can = hub->endpoint();
    std::printf("Simulated arm on %s\n", can.c_str());
  }
  std::printf("Bringing the arm up on %s with %s (takes a few seconds)...\n", can.c_str(),
              options.urdf.c_str());
  InterfacesThread arm(options.urdf, can, options.type);
  if (!options.dynamics.empty()) arm.loadDynamics(options.dynamics);
  if (!options.lower.empty()) arm.setCollisionThresholds(options.lower, options.upper);

  watch(arm, "homed (GO_HOME)", std::chrono::milliseconds(1000), options.quiet);

  arm.setArmStatus(3);  // G_COMPENSATION
  watch(arm, "gravity compensation: the arm floats", std::chrono::milliseconds(2000), options.quiet);

  const std::vector<std::vector<double>> targets{
      {0.5, 0.8, 0.6, 0.3, -0.3, 0.5}, {-0.4, 1.2, 1.0, -0.3, 0.4, -0.5}, {0.0, 0.5, 0.5, 0.0, 0.0, 0.0}};
  arm.setArmStatus(5);  // POSITION_CONTROL
  for (const auto& target : targets) {
    arm.setJointPositions(target);
    watch(arm, "joint targets (POSITION_CONTROL)", std::chrono::milliseconds(4000), options.quiet,
          [&] { return near(arm.getJointPositons(), target, 0.01); });
  }

  runMotions(arm, options.quiet);

  arm.setCatch(1.0);
  watch(arm, "gripper opening to 1.0 rad", std::chrono::milliseconds(1500), options.quiet);
  arm.setCatch(0.0);
  watch(arm, "gripper closing", std::chrono::milliseconds(1500), options.quiet);

  arm.setArmStatus(1);  // GO_HOME
  watch(arm, "going home", std::chrono::milliseconds(4000), options.quiet, [&] {
    return near(arm.getJointPositons(), {0, 0, 0, 0, 0, 0}, 0.02);
  });

  const auto errors = arm.getErrorCode();
  std::printf("Shutting down (damping, then the bus closes)...\n");
  std::fflush(stdout);
  return errors.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kav_demo: %s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    } else if (arg == "--can") {
      options.can = value();
    } else if (arg == "--urdf") {
      options.urdf = value();
    } else if (arg == "--type") {
      options.type = std::atoi(value().c_str());
    } else if (arg == "--collision-thresholds") {
      if (!parseThresholds(value(), &options.lower, &options.upper)) {
        std::fprintf(stderr,
                     "kav_demo: --collision-thresholds needs six lower and six upper numbers, "
                     "as L1,L2,L3,L4,L5,L6:U1,U2,U3,U4,U5,U6\n");
        return 2;
      }
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--dynamics") {
      options.dynamics = value();
      try {
        kav::readCalibrationFile(options.dynamics, true);
      } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "kav_demo: --dynamics %s\n", error.what());
        return 2;
      }
    } else if (kav::sim::isModelErrorOption(arg)) {
      try {
        kav::sim::applyModelErrorOption(arg, value(), options.model_error);
      } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "kav_demo: %s\n", error.what());
        return 2;
      }
    } else {
      std::fprintf(stderr, "kav_demo: unknown argument %s\n", arg.c_str());
      usage();
      return 2;
    }
  }
  if (options.model_error.any && !options.can.empty()) {
    std::fprintf(stderr, "kav_demo: the model-error options apply to the simulated arm (without --can)\n");
    return 2;
  }
  if (options.urdf.empty()) options.urdf = kav::defaultDescriptionPath();
  installStopSignals();
  try {
    return run(options);
  } catch (const Stopped& stopped) {
    // The arm was held in damping and the bus closed while run() unwound.
    return 128 + stopped.signal_number;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kav_demo: %s\n", error.what());
    return 1;
  }
}
