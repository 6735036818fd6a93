// kav sim: the simulated arm, with the options of kav_arm_sim.
#include <sim/SimProgram.h>

#include "Commands.h"

namespace kav {
namespace tool {

Command addSim(CLI::App& kav) {
  CLI::App* app =
      kav.add_subcommand("sim", "simulate an arm on a local-socket bus (the options of kav_arm_sim)");
  app->prefix_command();  // every argument after "sim" is the simulator's
  app->set_help_flag();   // its --help lists them
  app->footer("Options: kav sim --help");
  return {app, [app] { return sim::runSimulatorProgram("kav sim", app->remaining()); }};
}

}  // namespace tool
}  // namespace kav
