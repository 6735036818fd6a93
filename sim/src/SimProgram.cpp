#include "sim/SimProgram.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/BusHub.h"
#include "sim/ModelError.h"
#include "sim/SimulatedArm.h"

namespace kav {
namespace sim {

namespace {

const char* const kDefaultAddress = "unix:@kav-arm";

// The usage text after its first line.
const char* const kUsage =
    "\n"
    "Simulates the arm: seven motors (identifiers 1, 2, 4 of type 4; 5, 6, 7, 8 of\n"
    "type 2) that answer every command frame, driving a rigid-body model of the arm\n"
    "and the gripper. Prints the address a host passes as can_name, then runs until\n"
    "interrupted (Ctrl-C) or until --duration has passed.\n"
    "\n"
    "options:\n"
    "  --address ADDR     serve a local-socket bus at ADDR and attach the arm to it:\n"
    "                     \"unix:@name\" (abstract namespace) or \"unix:/path\"\n"
    "                     (default unix:@kav-arm)\n"
    "  --can IFACE        join the SocketCAN interface IFACE (for example vcan0)\n"
    "                     instead of serving a local-socket bus\n"
    "  --bitrate N        carry the local-socket bus's frames like a classic CAN\n"
    "                     bus at N bit/s, 1000-1000000 (the arm's bus runs at\n"
    "                     1000000): one frame at a time, the lowest identifier\n"
    "                     first, a transmit queue of 10 frames per member; 0\n"
    "                     carries every frame at once (default 0)\n"
    "  --variant N        arm variant; 2 puts the gripper's end stop at +1.0 rad,\n"
    "                     every other variant at -1.0 rad (default 0)\n"
    "  --start-pose LIST  seven comma-separated start positions in radians, joints\n"
    "                     1-6 then the gripper (default all 0)\n"
    "  --latency-us N     delay every feedback frame by N microseconds, 0-1000000\n"
    "                     (default 0)\n"
    "  --noise-seed N     add small Gaussian measurement noise drawn from seed N\n"
    "                     (default: no noise)\n"
    "  --urdf FILE        simulate the arm described by the URDF file FILE\n"
    "                     (default: the description built into the library)\n"
    "  --duration S       stop after S seconds (default: run until interrupted)\n"
    "  --status S         print the joint positions, the arm's frame counts and the\n"
    "                     frames the bus carried every S seconds (default: never)\n"
    "  -h, --help         show this text and exit\n"
    "\n"
    "model error (the simulated arm differs from the arm the controller models):\n";

struct Settings {
  std::string address = kDefaultAddress;
  std::string can;
  std::uint32_t bitrate = 0;
  SimulatedArmOptions options;
  double duration = 0.0;  // 0: until interrupted
  double status = 0.0;    // 0: no status lines
  ModelError error;
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

double parseNumber(const std::string& option, const std::string& text) {
  std::size_t used = 0;
  double value = 0.0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || !std::isfinite(value)) {
    throw UsageError(option + " expects a number, got \"" + text + "\"");
  }
  return value;
}

long long parseInteger(const std::string& option, const std::string& text, long long lowest,
                       long long highest) {
  std::size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < lowest || value > highest) {
    throw UsageError(option + " expects a whole number from " + std::to_string(lowest) + " to " +
                     std::to_string(highest) + ", got \"" + text + "\"");
  }
  return value;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw UsageError("--urdf: cannot read \"" + path + "\"");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Settings parse(const std::vector<std::string>& arguments) {
  Settings s;
  bool address_given = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "-h" || option == "--help") throw UsageError("");
    if (i + 1 >= arguments.size()) throw UsageError("unknown option or missing value: " + option);
    const std::string& value = arguments[++i];
    if (option == "--address") {
      s.address = value;
      address_given = true;
    } else if (option == "--can") {
      s.can = value;
    } else if (option == "--bitrate") {
      s.bitrate = static_cast<std::uint32_t>(parseInteger(option, value, 0, 1000000));
      if (s.bitrate != 0 && s.bitrate < 1000) {
        throw UsageError("--bitrate expects 0 or a bit rate from 1000 to 1000000, got \"" + value + "\"");
      }
    } else if (option == "--variant") {
      s.options.variant = static_cast<int>(parseInteger(option, value, -1000000, 1000000));
    } else if (option == "--start-pose") {
      std::vector<double> pose;
      std::stringstream list(value);
      for (std::string item; std::getline(list, item, ',');) pose.push_back(parseNumber(option, item));
      if (pose.size() != s.options.start_pose.size()) {
        throw UsageError("--start-pose expects 7 comma-separated numbers, got " +
                         std::to_string(pose.size()));
      }
      std::copy(pose.begin(), pose.end(), s.options.start_pose.begin());
    } else if (option == "--latency-us") {
      s.options.reply_latency = std::chrono::microseconds(parseInteger(option, value, 0, 1000000));
    } else if (option == "--noise-seed") {
      s.options.noise_seed =
          static_cast<std::uint64_t>(parseInteger(option, value, 0, std::numeric_limits<long long>::max()));
    } else if (option == "--urdf") {
      s.options.description = readFile(value);
    } else if (isModelErrorOption(option)) {
      try {
        applyModelErrorOption(option, value, s.error);
      } catch (const std::invalid_argument& error) {
        throw UsageError(error.what());
      }
    } else if (option == "--duration" || option == "--status") {
      const double seconds = parseNumber(option, value);
      if (seconds <= 0.0 || seconds > 1e7) {
        throw UsageError(option + " expects a positive number of seconds, got \"" + value + "\"");
      }
      (option == "--duration" ? s.duration : s.status) = seconds;
    } else {
      throw UsageError("unknown option " + option);
    }
  }
  s.options.physics = s.error.physics;
  s.options.current_noise = s.error.current_noise;
  if (address_given && !s.can.empty()) throw UsageError("give either --address or --can, not both");
  if (s.bitrate != 0 && !s.can.empty()) {
    throw UsageError("--bitrate times the local-socket bus; a CAN interface (--can) has its own");
  }
  return s;
}

void printStatus(const SimulatedArm& arm, const BusHub* hub, double elapsed) {
  const auto state = arm.jointStates();
  std::printf("t=%.1fs frames in %llu out %llu | joints", elapsed,
              static_cast<unsigned long long>(arm.framesReceived()),
              static_cast<unsigned long long>(arm.framesSent()));
  for (const auto& joint : state) std::printf(" %+.3f", joint.position);
  if (hub != nullptr) std::printf(" | bus frames %zu", hub->framesForwarded());
  if (hub != nullptr && hub->options().bitrate != 0) {
    std::printf(" | bus load %.1f %%, arm frames refused %llu", 100.0 * hub->statistics().load(),
                static_cast<unsigned long long>(arm.framesRefused()));
  }
  std::printf("\n");
  std::fflush(stdout);
}

// Waits for SIGINT, SIGTERM or SIGHUP (blocked in every thread), the end of the run,
// printing status lines on the way.
void runUntilStopped(const SimulatedArm& arm, const BusHub* hub, const Settings& s, const sigset_t& stop) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto next_status = start + std::chrono::duration<double>(s.status);
  for (;;) {
    const auto now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - start).count();
    if (s.duration > 0.0 && elapsed >= s.duration) return;
    double wait = 1.0;
    if (s.duration > 0.0) wait = std::min(wait, s.duration - elapsed);
    if (s.status > 0.0) {
      if (now >= next_status) {
        printStatus(arm, hub, elapsed);
        next_status += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.status));
        continue;
      }
      wait = std::min(wait, std::chrono::duration<double>(next_status - now).count());
    }
    timespec timeout{static_cast<time_t>(wait), static_cast<long>((wait - std::floor(wait)) * 1e9)};
    const int signal = sigtimedwait(&stop, nullptr, &timeout);
    if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) return;
  }
}

}  // namespace

int runSimulatorProgram(const std::string& program, const std::vector<std::string>& arguments) {
  Settings settings;
  try {
    settings = parse(arguments);
  } catch (const UsageError& error) {
    if (error.what()[0] == '\0') {
      std::printf("usage: %s [options]\n", program.c_str());
      std::fputs(kUsage, stdout);
      std::fputs(kModelErrorUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "%s: %s\n(%s --help lists the options)\n", program.c_str(), error.what(),
                 program.c_str());
    return 2;
  }

  // Block the stop signals before any thread starts, so that every thread
  // inherits the mask and only sigtimedwait receives them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  // A status line to a reader that went away must not end the simulated arm.
  ::signal(SIGPIPE, SIG_IGN);

  try {
    std::unique_ptr<BusHub> hub;
    std::string endpoint = settings.can;
    if (endpoint.empty()) {
      BusHubOptions bus;
      bus.bitrate = settings.bitrate;
      // A timed bus keeps its frames' times best above the control thread.
      if (bus.bitrate != 0) bus.realtime_priority = 81;
      hub = std::make_unique<BusHub>(settings.address, bus);
      endpoint = hub->endpoint();
    }
    SimulatedArm arm(endpoint, settings.options);
    std::printf("%s: simulated arm, variant %d, on %s %s", program.c_str(), settings.options.variant,
                hub ? "the local-socket bus" : "the CAN interface", endpoint.c_str());
    if (settings.bitrate != 0) std::printf(", timed at %u bit/s", static_cast<unsigned>(settings.bitrate));
    if (settings.error.any) std::printf(", with a model error");
    std::printf("\ncan_name: %s\n", endpoint.c_str());
    std::fflush(stdout);
    runUntilStopped(arm, hub.get(), settings, stop);
    std::printf("%s: stopped after %llu frames received, %llu sent\n", program.c_str(),
                static_cast<unsigned long long>(arm.framesReceived()),
                static_cast<unsigned long long>(arm.framesSent()));
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.what());
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.what());
    return 1;
  }
  return 0;
}

}  // namespace sim
}  // namespace kav
