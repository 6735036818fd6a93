#pragma once
// The subcommands of kav. Each adds itself to the application and returns
// what runs it once the command line is parsed.

#include <CLI/CLI.hpp>
#include <functional>
#include <stdexcept>
#include <string>

namespace kav {
namespace tool {

/// A subcommand: its parser and its action, which returns the exit status.
struct Command {
  CLI::App* app;
  std::function<int()> run;
};

/// Bad usage found after parsing (options that do not fit together, a value
/// out of range): exit status 2 with the message.
struct UsageError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

/// Accepts a positive number of seconds (a duration), with a message that
/// says so.
extern const CLI::Validator kPositiveSeconds;

Command addSim(CLI::App& kav);
Command addMonitor(CLI::App& kav);
Command addRecord(CLI::App& kav);
Command addTeach(CLI::App& kav);
Command addPlay(CLI::App& kav);
Command addTeleop(CLI::App& kav);
Command addPlot(CLI::App& kav);
Command addServe(CLI::App& kav);
Command addIdentify(CLI::App& kav);

}  // namespace tool
}  // namespace kav
