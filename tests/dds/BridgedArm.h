#pragma once
// kav_bridge as a child process, serving a simulated arm of its own on a
// private local-socket bus: what the dds tests and the benchmark run.

#include <signal.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kav_test {

struct BridgedArm {
  /// Starts KAV_BRIDGE_PROGRAM with namespace @p ns on @p domain, publishing
  /// at @p rate_hz, with the further options @p extra.
  BridgedArm(const std::string& ns, std::uint32_t domain, int rate_hz = 200,
             const std::vector<std::string>& extra = {})
      : ns(ns), arm(hub.endpoint()) {
    std::vector<std::string> args{KAV_BRIDGE_PROGRAM,     "--can",  hub.endpoint(),
                                  "--namespace",          ns,       "--domain",
                                  std::to_string(domain), "--rate", std::to_string(rate_hz)};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid, KAV_BRIDGE_PROGRAM, nullptr, nullptr, argv.data(), environ) != 0) pid = 0;
  }
  ~BridgedArm() {
    if (pid > 0) stop(SIGKILL);
  }
  BridgedArm(const BridgedArm&) = delete;
  BridgedArm& operator=(const BridgedArm&) = delete;

  /// Sends @p signal and returns the exit status (-1 when it did not exit normally).
  int stop(int signal) {
    kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  /// The DDS topic of /<ns>/<name>.
  std::string topic(const std::string& name) const { return "rt/" + ns + "/" + name; }

  std::string ns;
  kav::sim::BusHub hub;
  kav::sim::SimulatedArm arm;
  pid_t pid = 0;
};

}  // namespace kav_test
