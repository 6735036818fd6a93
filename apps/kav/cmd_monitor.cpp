// kav monitor: a passive member of the bus that shows, per motor, the last
// command and feedback and the rates of both, and per arm joint the external
// torque the controller's observer estimates from that feedback.
#include <algorithm>
#include <memory>

#include "BusListener.h"
#include "BusStatistics.h"
#include "Commands.h"
#include "Console.h"
#include "Description.h"
#include "StopSignals.h"

namespace kav {
namespace tool {

namespace {

struct MonitorOptions {
  std::string bus;
  std::string description;
  double duration = 0.0;  // 0: until interrupted
};

int runMonitor(const MonitorOptions& options) {
  StopSignals stop;
  Console::take();
  BusStatistics statistics(std::make_unique<ExternalTorques>(armChain(options.description)));
  BusListener listener(options.bus, [&statistics](const BusEvent& event) { statistics.add(event); });
  const auto start = Clock::now();
  const auto end = options.duration > 0.0 ? start + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(options.duration))
                                          : Clock::time_point::max();
  const auto period = Console::live() ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000);
  auto next = start + period;
  for (;;) {
    if (stop.sleepFor(std::min(next, end) - Clock::now())) break;
    const BusView view = statistics.snapshot();
    if (Console::live()) {
      Console::show(monitorScreen(view, options.bus));
    } else {
      for (const std::string& line : monitorLines(view)) Console::line(line);
    }
    if (Clock::now() >= end) break;
    next += period;
  }
  return 0;
}

}  // namespace

Command addMonitor(CLI::App& kav) {
  auto options = std::make_shared<MonitorOptions>();
  options->description = defaultDescription();
  CLI::App* app = kav.add_subcommand(
      "monitor", "watch the bus passively: per motor the last command, feedback and rates, external torques");
  app->footer(
      "Watch the arm's bus without sending anything: per motor the last command and\n"
      "feedback, commands and replies per second, and the time since the last reply;\n"
      "per arm joint the external torque (N·m) the controller's observer estimates from\n"
      "that feedback, marked contact or reflex above the default thresholds.\n"
      "On a terminal the table is redrawn in place; otherwise one line per motor and\n"
      "one for the bus are printed every second.");
  app->add_option("--can", options->bus, "the bus: a CAN interface (can0) or a local-socket bus (unix:@name)")
      ->required();
  app->add_option("--duration", options->duration, "stop after this many seconds (default: until Ctrl-C)")
      ->check(kPositiveSeconds);
  app->add_option("--urdf", options->description, "robot description file (the observer's model)")
      ->capture_default_str()
      ->check(CLI::ExistingFile);
  return {app, [options] { return runMonitor(*options); }};
}

}  // namespace tool
}  // namespace kav
