// kav: the arm's command-line tool. Exit status 0 on success, 2 on bad usage
// (one line saying why), 1 when something fails at run time.
#include <cstdio>
#include <exception>
#include <vector>

#include "Commands.h"

using kav::tool::Command;

const CLI::Validator kav::tool::kPositiveSeconds(
    [](std::string& text) -> std::string {
      double seconds = 0.0;
      if (!CLI::detail::lexical_cast(text, seconds) || !(seconds > 0.0) || seconds > 1e9) {
        return "expects a positive number of seconds, got " + text;
      }
      return "";
    },
    "SECONDS");

int main(int argc, char** argv) {
  CLI::App kav{
      "The arm's command-line tool: watch and record its bus, teach and replay poses,\n"
      "drive one arm with another, plot recordings, simulate an arm, show it live, and\n"
      "identify its dynamics.",
      "kav"};
  kav.require_subcommand(1);
  kav.set_version_flag("--version", "kav " KAV_VERSION, "Print the version and exit");
  kav.failure_message([](const CLI::App*, const CLI::Error& error) { return std::string(error.what()); });
  const std::vector<Command> commands{
      kav::tool::addMonitor(kav), kav::tool::addRecord(kav), kav::tool::addTeach(kav),
      kav::tool::addPlay(kav),    kav::tool::addTeleop(kav), kav::tool::addPlot(kav),
      kav::tool::addSim(kav),     kav::tool::addServe(kav),  kav::tool::addIdentify(kav)};
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const Command& command : commands) known = known || command.app->check_name(argv[1]);
    if (!known) {
      std::fprintf(stderr, "kav: unknown subcommand %s (kav --help lists them)\n", argv[1]);
      return 2;
    }
  }
  try {
    kav.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return kav.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return kav.exit(help);
  } catch (const CLI::CallForVersion& version) {
    return kav.exit(version);
  } catch (const CLI::ParseError& error) {
    std::string help = "kav --help";
    for (const Command& command : commands) {
      if (command.app->count() > 0) help = "kav " + command.app->get_name() + " --help";
    }
    std::fprintf(stderr, "kav: %s (%s)\n", error.what(), help.c_str());
    return 2;
  }
  for (const Command& command : commands) {
    if (!command.app->parsed()) continue;
    const std::string name = command.app->get_name();
    try {
      return command.run();
    } catch (const kav::tool::UsageError& error) {
      std::fprintf(stderr, "kav %s: %s (kav %s --help)\n", name.c_str(), error.what(), name.c_str());
      return 2;
    } catch (const std::exception& error) {
      std::fprintf(stderr, "kav %s: %s\n", name.c_str(), error.what());
      return 1;
    }
  }
  return 2;
}
