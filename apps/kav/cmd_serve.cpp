// kav serve: brings an arm up and shows it live: the dashboard page over
// HTTP and the Foxglove WebSocket protocol on the same port.
#include <config/ArmConfig.h>
#include <solver/DynamicsCalibration.h>
#include <solver/kinematic_dynamic_solver.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "BringUp.h"
#include "Commands.h"
#include "Console.h"
#include "Description.h"
#include "ModelErrorOptions.h"
#include "StopSignals.h"
#include "serve/ArmFeed.h"
#include "serve/LiveServer.h"

namespace kav {
namespace tool {

namespace {

using Clock = std::chrono::steady_clock;

// The arm commands go to, and the runner of its recoveries, once it is up;
// emptied before either is stopped.
struct ArmSlot {
  std::mutex mutex;
  t8::InterfacesThread* arm = nullptr;
  serve::Recovery* recovery = nullptr;

  struct Holding {
    Holding(ArmSlot* slot, t8::InterfacesThread* arm, serve::Recovery* recovery) : slot_(slot) {
      std::lock_guard<std::mutex> lock(slot_->mutex);
      slot_->arm = arm;
      slot_->recovery = recovery;
    }
    ~Holding() {
      std::lock_guard<std::mutex> lock(slot_->mutex);
      slot_->arm = nullptr;
      slot_->recovery = nullptr;
    }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

   private:
    ArmSlot* slot_;
  };
};

struct ServeOptions {
  std::string bus;
  bool sim = false;
  std::string description;
  int type = 0;
  serve::LiveServerOptions server;
  bool allow_control = false;
  std::string meshes;             // the folder package://NAME/ stands for
  double duration = 0.0;          // 0: until interrupted
  ModelErrorOptions model_error;  // of the simulated arm
  std::string dynamics;           // the arm's identified model (kav identify)
};

bool isDirectory(const std::string& path) {
  return !path.empty() && ::access((path + "/.").c_str(), R_OK) == 0;
}

// The page's files: installed beside the program, or in the build tree.
std::string defaultAssets() {
  char self[4096] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    const std::string exe(self, static_cast<std::size_t>(length));
    const std::string installed = exe.substr(0, exe.rfind('/') + 1) + "../share/kav_t8/web";
    if (isDirectory(installed)) return installed;
  }
  return isDirectory(KAV_WEB_BUILD_DIR) ? KAV_WEB_BUILD_DIR : "";
}

// A FIFO would block for ever, a device such as /dev/zero would be read
// until memory runs out: only regular files of at most 1 MiB are read.
std::string readFile(const std::string& path) {
  requireDescriptionFile(path);  // the check every program makes
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  if (!file) throw std::runtime_error("cannot read " + path);
  return text.str();
}

// The mesh files @p description names (package://NAME/REST), by NAME/REST:
// REST resolved below @p folder, without leaving it (through "..", or a
// symbolic link that points elsewhere), to a regular file.
std::map<std::string, std::string> meshFiles(const std::string& description, const std::string& folder) {
  std::map<std::string, std::string> files;
  char* root = ::realpath(folder.c_str(), nullptr);
  if (root == nullptr) return files;
  const std::string inside = std::string(root) + "/";
  std::free(root);
  const std::string scheme = "package://";
  for (std::size_t at = description.find(scheme); at != std::string::npos;
       at = description.find(scheme, at + 1)) {
    const std::size_t begin = at + scheme.size();
    const std::size_t end = description.find_first_of("\"'<> \t\r\n", begin);
    const std::string name = description.substr(begin, end == std::string::npos ? end : end - begin);
    const std::size_t slash = name.find('/');
    if (slash == std::string::npos) continue;
    char* resolved = ::realpath((folder + "/" + name.substr(slash + 1)).c_str(), nullptr);
    if (resolved == nullptr) continue;
    const std::string path = resolved;
    std::free(resolved);
    struct stat status {};
    if (path.compare(0, inside.size(), inside) == 0 && ::stat(path.c_str(), &status) == 0 &&
        S_ISREG(status.st_mode)) {
      files[name] = path;
    }
  }
  return files;
}

int runServe(ServeOptions options) {
  if (options.sim == !options.bus.empty()) throw UsageError("give --can IF or --sim");
  const sim::ModelError model_error = options.model_error.parsed(options.sim);
  checkDynamicsOption(options.dynamics);  // a bad file is refused before the arm comes up
  if (!serve::isLoopback(options.server.listen) && options.server.token.empty()) {
    throw UsageError("listening on " + options.server.listen +
                     " (not a loopback address) needs --token TOKEN: anyone who reaches the port could watch "
                     "and stop the arm");
  }
  if (options.description.empty()) options.description = defaultDescription();
  const std::string description = readFile(options.description);
  if (options.meshes.empty()) {
    const std::string folder = options.description.substr(0, options.description.rfind('/') + 1);
    options.meshes = folder + "..";
  }
  if (options.server.assets.empty()) options.server.assets = defaultAssets();

  StopSignals stop;
  Console::take();
  // The server listens before the arm comes up, so that an address in use
  // ends the program before it moves an arm; until then commands are refused.
  const serve::CommandPolicy policy{options.allow_control, options.type};
  options.server.metadata = {{"allow_control", options.allow_control ? "true" : "false"},
                             {"robot_description_url", "/robot/description.urdf"}};
  ArmSlot slot;
  serve::LiveServer server(options.server, serve::armChannels(),
                           [&slot, policy](const serve::Sender& sender, const std::string& topic,
                                           const std::string& encoding, const std::string& payload) {
                             std::lock_guard<std::mutex> lock(slot.mutex);
                             if (slot.arm == nullptr)
                               return serve::ClientReply("the arm is not up (yet or any more)");
                             return serve::handleClientMessage(sender, topic, encoding, payload, policy,
                                                               *slot.arm, *slot.recovery);
                           });
  server.addText("/robot/description.urdf", description, "application/xml");
  // package://NAME/REST of the description is served at /robot/packages/NAME/REST.
  server.addFiles("/robot/packages/",
                  [meshes = meshFiles(description, options.meshes)](const std::string& rest) {
                    const auto found = meshes.find(rest);
                    return found != meshes.end() ? found->second : std::string();
                  });

  std::unique_ptr<OwnSimulatedArm> simulated;
  if (options.sim) {
    simulated = std::make_unique<OwnSimulatedArm>(options.type, model_error);
    options.bus = simulated->endpoint();
  }
  auto arms = bringUp({{"the arm", options.description, options.bus, options.type}});
  t8::InterfacesThread& arm = *arms.front();
  if (!options.dynamics.empty()) arm.loadDynamics(options.dynamics);
  if (stop.requested()) return 0;
  // The thresholds are set here, so that /arm/status reports the ones in
  // force (the facade has no getter for them).
  serve::CollisionThresholds thresholds;
  thresholds.lower = config::kContactThreshold;
  thresholds.upper = config::kCollisionThreshold;
  arm.setCollisionThresholds({thresholds.lower.begin(), thresholds.lower.end()},
                             {thresholds.upper.begin(), thresholds.upper.end()});
  // Declared after the arm, so ended before it: a running recovery is
  // waited for; the slot lets go of both first.
  serve::Recovery recovery([&server](const serve::Sender& to, const serve::ClientReply& outcome) {
    server.reply(to.client, outcome);
  });
  const ArmSlot::Holding holding(&slot, &arm, &recovery);
  serve::ArmFeed feed(arm, description, thresholds, server);

  const std::string host = options.server.listen.find(':') != std::string::npos
                               ? "[" + options.server.listen + "]"
                               : options.server.listen;
  const std::string address = host + ":" + std::to_string(server.port());
  Console::line("kav serve: dashboard http://" + address + "/" +
                (options.server.token.empty() ? "" : "?token=...") + "  Foxglove ws://" + address +
                (options.allow_control ? "  (control allowed)" : "  (watch and stop only)"));
  if (options.server.assets.empty()) Console::line("kav serve: the dashboard was not built; WebSocket only");
  const auto end = options.duration > 0.0
                       ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options.duration))
                       : Clock::time_point::max();
  while (!stop.sleepFor(std::chrono::milliseconds(200)) && Clock::now() < end) {
  }
  Console::line("kav serve: stopping");
  return 0;
}

}  // namespace

Command addServe(CLI::App& kav) {
  auto options = std::make_shared<ServeOptions>();
  CLI::App* app = kav.add_subcommand(
      "serve", "bring the arm up and show it live: a dashboard page and a Foxglove WebSocket server");
  app->footer(
      "Serves, on one port: the dashboard page at / (3D view, plots, state buttons, stop,\n"
      "external torques, recover),\n"
      "the robot description and its meshes, and the Foxglove WebSocket protocol (connect\n"
      "Foxglove or Lichtblick to ws://ADDRESS:PORT). Channels: /joint_states, /tf,\n"
      "/robot_description, /arm/external_torques, /arm/status, /diagnostics; commands on\n"
      "the client channel /arm/command. {\"op\": \"stop\"} (PROTECT) is obeyed from every\n"
      "client; other commands (recover among them) only with --allow-control and never\n"
      "from a page of another site.\n"
      "Listens on 127.0.0.1 unless --listen says otherwise; any other address needs\n"
      "--token, which every request then carries (?token=... or Authorization: Bearer).");
  app->add_option("--can", options->bus, "the arm's bus: a CAN interface (can0) or a local-socket bus");
  app->add_flag("--sim", options->sim, "a simulated arm on a bus of its own");
  options->model_error.addTo(app);
  app->add_option("--dynamics", options->dynamics, "the arm's identified model (kav identify, docs/tools.md)")
      ->check(CLI::ExistingFile);
  app->add_option("--type", options->type, "arm variant (2 drives the gripper by position)")
      ->capture_default_str();
  app->add_option("--urdf", options->description, "robot description file")->check(CLI::ExistingFile);
  app->add_option("--port", options->server.port, "the port (0: any free one, printed)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  app->add_option("--listen", options->server.listen, "the address to listen on")->capture_default_str();
  app->add_option("--token", options->server.token, "a secret every request must carry");
  app->add_flag("--allow-control", options->allow_control, "obey commands other than stop");
  app->add_option("--assets", options->server.assets, "the dashboard's files (default: beside the program)")
      ->check(CLI::ExistingDirectory);
  app->add_option("--meshes", options->meshes,
                  "the folder that package://NAME/ stands for (default: the description's folder/..)")
      ->check(CLI::ExistingDirectory);
  app->add_option("--duration", options->duration, "stop after this many seconds (default: until Ctrl-C)")
      ->check(kPositiveSeconds);
  return {app, [options] { return runServe(*options); }};
}

}  // namespace tool
}  // namespace kav
