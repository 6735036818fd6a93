#pragma once
// The simulated arm's model-error options (--mass-scale, ... as
// sim/ModelError.h) on a subcommand that offers --sim.

#include <sim/ModelError.h>

#include <CLI/CLI.hpp>
#include <string>
#include <utility>
#include <vector>

namespace kav {
namespace tool {

/// Reads the calibration file of --dynamics before an arm comes up, so that
/// a bad one is refused at once; nothing when @p path is empty.
/// @throw UsageError naming the option, the file and the field
void checkDynamicsOption(const std::string& path);

/// Collects the options on the command line; parsed() applies them in order.
class ModelErrorOptions {
 public:
  /// Adds the options to @p app (keep this object alive as long as @p app).
  void addTo(CLI::App* app);
  /// Whether any of them was given.
  bool given() const { return !given_.empty(); }
  /// The model error they describe.
  /// @throw UsageError naming the option for an unusable value, or when
  ///        they are given without @p simulated
  sim::ModelError parsed(bool simulated) const;

 private:
  std::vector<std::pair<std::string, std::string>> given_;
};

}  // namespace tool
}  // namespace kav
