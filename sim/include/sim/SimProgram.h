#pragma once
/// @file SimProgram.h
/// The simulated arm as a command-line program: option parsing and the run
/// loop of kav_arm_sim, for every program that offers it.

#include <string>
#include <vector>

namespace kav {
namespace sim {

/// Runs the simulator program: parses @p arguments (the options, without the
/// program's name; `--help` lists them), serves a local-socket bus (or joins
/// a SocketCAN interface), attaches the simulated arm, prints the can_name a
/// host passes, and runs until SIGINT or SIGTERM or until --duration has
/// passed. Blocks SIGINT and SIGTERM in the calling thread (and so in every
/// thread it starts) to receive them; call it from the main thread before
/// other threads start.
/// @param program the name messages begin with, e.g. "kav_arm_sim" or "kav sim"
/// @param arguments the options
/// @return the exit status: 0 after a normal run or the help text, 2 for
///         unusable arguments (with a message on standard error), 1 when the
///         simulator could not run
int runSimulatorProgram(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace sim
}  // namespace kav
