// kav plot: runs the plotting module of the Python package (kav_t8.plot) on
// a recording, with the system interpreter.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "Commands.h"

namespace kav {
namespace tool {

namespace {

struct PlotOptions {
  std::string recording;
  std::string out;
};

bool isDirectory(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// PYTHONPATH with the package's folders of the build tree and the
// installation in front, where they exist.
void pointPythonAtThePackage() {
  std::string path;
  std::stringstream candidates(KAV_PYTHON_PATHS);
  for (std::string folder; std::getline(candidates, folder, ':');) {
    if (!folder.empty() && isDirectory(folder + "/kav_t8")) path += (path.empty() ? "" : ":") + folder;
  }
  if (const char* existing = std::getenv("PYTHONPATH"); existing && *existing) {
    path += (path.empty() ? "" : ":") + std::string(existing);
  }
  if (!path.empty()) ::setenv("PYTHONPATH", path.c_str(), 1);
}

int runPlot(const PlotOptions& options) {
  pointPythonAtThePackage();
  std::vector<std::string> arguments{KAV_PYTHON, "-m", "kav_t8.plot", options.recording};
  if (!options.out.empty()) {
    arguments.push_back("--out");
    arguments.push_back(options.out);
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  ::execv(KAV_PYTHON, argv.data());
  throw std::runtime_error(std::string("cannot run ") + KAV_PYTHON + ": " + std::strerror(errno));
}

}  // namespace

Command addPlot(CLI::App& kav) {
  auto options = std::make_shared<PlotOptions>();
  CLI::App* app = kav.add_subcommand(
      "plot", "plot a recording: commanded and measured positions, tracking error, timing");
  app->footer(
      "Plot a recording made by kav record (HDF5 or MCAP): commanded against measured\n"
      "position per joint, the tracking error, and a histogram of the intervals between\n"
      "commands. Runs python3 -m kav_t8.plot.");
  app->add_option("recording", options->recording, "the recording: FILE.h5 (HDF5) or FILE.mcap (MCAP)")
      ->required();
  app->add_option("--out", options->out, "the picture to write (FILE.png; default: the recording with .png)");
  return {app, [options] { return runPlot(*options); }};
}

}  // namespace tool
}  // namespace kav
