// kav_bridge: one arm on a DDS domain as ROS 2 topics, until SIGINT, SIGTERM
// or SIGHUP; then the arm is stopped cleanly (held in damping, bus closed).
//
//   kav_bridge --can NAME [--urdf PATH] [--type N] [--namespace NS] [--domain ID] [--rate HZ]
//              [--node-name NAME] [--ros-distro humble|jazzy] [--frame-prefix PREFIX]
//   kav_bridge --sim ...      a simulated arm on a private local-socket bus
#include <bridge/Bridge.h>
#include <interfaces/InterfacesThread.h>
#include <sim/BusHub.h>
#include <sim/ModelError.h>
#include <sim/SimulatedArm.h>
#include <solver/DynamicsCalibration.h>
#include <solver/kinematic_solver.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Options {
  std::string can;
  bool sim = false;
  kav::sim::ModelError model_error;  // of the simulated arm
  std::string urdf;
  std::string dynamics;  // the arm's identified model (kav identify)
  int type = 0;
  kav::bridge::BridgeOptions bridge;
};

void usage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: kav_bridge (--can NAME | --sim) [--urdf PATH] [--type N] [--dynamics FILE] [--namespace NS]\n"
      "                  [--domain ID] [--rate HZ] [--node-name NAME] [--ros-distro humble|jazzy]\n"
      "                  [--frame-prefix PREFIX]\n"
      "Serves one arm as a ROS 2 node over DDS until SIGINT, SIGTERM or SIGHUP.\n"
      "  --can NAME       CAN interface (\"can0\") or local-socket bus (\"unix:@name\")\n"
      "  --sim            a simulated arm on a private local-socket bus instead\n"
      "  --urdf PATH      robot description (default: the installed one)\n"
      "  --type N         arm variant (2: gripper driven by position; default 0)\n"
      "  --dynamics FILE  the arm's identified model (kav identify, docs/tools.md)\n"
      "  --namespace NS   topic namespace: /NS/joint_states ... (default kav)\n"
      "  --domain ID      DDS domain, 0-232 (default: ROS_DOMAIN_ID, else 0)\n"
      "  --rate HZ        joint states per second, at most 200 (default 200)\n"
      "  --node-name N    the node's name on the ROS 2 graph (default kav_bridge)\n"
      "  --ros-distro D   graph layout of ROS 2 humble or jazzy (also Iron and later;\n"
      "                   default jazzy)\n"
      "  --frame-prefix P put in front of every TF frame name (default none)\n"
      "  --version        the version\n"
      "  --help           this text\n"
      "With --sim, the simulated arm may differ from the controller's model:\n"
      "%s"
      "Topics: /NS/joint_states /NS/ee_pose /NS/arm_state /NS/robot_description\n"
      "        /diagnostics /tf /tf_static (published), /NS/joint_command\n"
      "        /NS/target_pose /NS/gripper_command /NS/set_arm_state (subscribed);\n"
      "actions /NS/follow_joint_trajectory /NS/gripper_cmd. See docs/ros2.md.\n",
      kav::sim::kModelErrorUsage);
}

// A whole decimal number within [low, high].
long number(const std::string& option, const std::string& value, long low, long high) {
  char* end = nullptr;
  errno = 0;
  const long result = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno != 0 || result < low || result > high) {
    throw std::invalid_argument(option + " needs a whole number from " + std::to_string(low) + " to " +
                                std::to_string(high) + ", got '" + value + "'");
  }
  return result;
}

double rate(const std::string& value) {
  char* end = nullptr;
  const double result = std::strtod(value.c_str(), &end);
  if (value.empty() || *end != '\0' || !(result > 0.0 && result <= 200.0)) {
    throw std::invalid_argument("--rate needs a number above 0 and at most 200, got '" + value + "'");
  }
  return result;
}

// Returns false when only the help or the version was asked for.
bool parse(int argc, char** argv, Options& options) {
  if (const char* domain = std::getenv("ROS_DOMAIN_ID"); domain != nullptr && *domain != '\0') {
    options.bridge.domain = static_cast<std::uint32_t>(number("ROS_DOMAIN_ID", domain, 0, 232));
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return false;
    }
    if (arg == "--version") {
      std::printf("kav_bridge %s\n", KAV_VERSION);
      return false;
    }
    if (arg == "--sim") {
      options.sim = true;
      continue;
    }
    if (i + 1 >= argc) throw std::invalid_argument("unknown option or missing value: " + arg);
    const std::string value = argv[++i];
    if (arg == "--can") {
      options.can = value;
    } else if (arg == "--urdf") {
      options.urdf = value;
    } else if (arg == "--dynamics") {
      kav::readCalibrationFile(value, true);  // refuses a bad file before the arm comes up
      options.dynamics = value;
    } else if (arg == "--type") {
      options.type = static_cast<int>(number(arg, value, 0, 1000));
    } else if (arg == "--namespace") {
      options.bridge.ns = value;
    } else if (arg == "--domain") {
      options.bridge.domain = static_cast<std::uint32_t>(number(arg, value, 0, 232));
    } else if (arg == "--rate") {
      options.bridge.rate_hz = rate(value);
    } else if (arg == "--node-name") {
      options.bridge.node_name = value;
    } else if (arg == "--ros-distro") {
      options.bridge.ros_distro = value;
    } else if (arg == "--frame-prefix") {
      options.bridge.frame_prefix = value;
    } else if (kav::sim::isModelErrorOption(arg)) {
      kav::sim::applyModelErrorOption(arg, value, options.model_error);
    } else {
      throw std::invalid_argument("unknown option: " + arg);
    }
  }
  if (options.can.empty() == !options.sim) throw std::invalid_argument("give either --can NAME or --sim");
  if (options.model_error.any && !options.sim)
    throw std::invalid_argument("the model-error options need --sim");
  if (options.urdf.empty()) options.urdf = kav::defaultDescriptionPath();
  options.bridge.urdf_path = options.urdf;
  kav::bridge::checkOptions(options.bridge);
  return true;
}

int serve(const Options& options, const sigset_t& stop_signals) {
  std::unique_ptr<kav::sim::BusHub> hub;
  std::unique_ptr<kav::sim::SimulatedArm> sim;
  std::string can = options.can;
  if (options.sim) {
    hub = std::make_unique<kav::sim::BusHub>();
    kav::sim::SimulatedArmOptions sim_options;
    sim_options.variant = options.type;
    sim_options.physics = options.model_error.physics;
    sim_options.current_noise = options.model_error.current_noise;
    sim = std::make_unique<kav::sim::SimulatedArm>(hub->endpoint(), sim_options);
    can = hub->endpoint();
    std::printf("kav_bridge: simulated arm on %s\n", can.c_str());
  }
  std::printf("kav_bridge: bringing the arm up on %s (takes a few seconds)\n", can.c_str());
  std::fflush(stdout);
  kav::t8::InterfacesThread arm(options.urdf, can, options.type);
  if (!options.dynamics.empty()) {
    arm.loadDynamics(options.dynamics);
    std::printf("kav_bridge: the arm's model from %s\n", options.dynamics.c_str());
  }
  int signal_number = 0;
  {
    kav::bridge::BridgeOptions bridge_options = options.bridge;
    bridge_options.hardware_id = can;
    bridge_options.arm_type = options.type;
    kav::bridge::Bridge bridge(arm, bridge_options);
    std::printf("kav_bridge: serving /%s as node /%s/%s on DDS domain %u\n", bridge_options.ns.c_str(),
                bridge_options.ns.c_str(), bridge_options.node_name.c_str(), bridge_options.domain);
    std::fflush(stdout);
    sigwait(&stop_signals, &signal_number);
    std::printf("kav_bridge: %s, stopping the arm\n", strsignal(signal_number));
    std::fflush(stdout);
  }
  return 0;  // the arm's destructor holds it in damping and closes the bus
}

}  // namespace

int main(int argc, char** argv) {
  // Block the stop signals before any thread starts, so that every thread
  // inherits the mask and only sigwait receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  Options options;
  try {
    if (!parse(argc, argv, options)) return 0;
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "kav_bridge: %s\n", error.what());
    usage(stderr);
    return 2;
  }
  try {
    return serve(options, stop_signals);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kav_bridge: %s\n", error.what());
    return 1;
  }
}
