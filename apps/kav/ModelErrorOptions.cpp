#include "ModelErrorOptions.h"

#include <solver/DynamicsCalibration.h>

#include "Commands.h"

namespace kav {
namespace tool {

void ModelErrorOptions::addTo(CLI::App* app) {
  const struct {
    const char* name;
    const char* type;
    const char* help;
  } options[] = {
      {"--mass-scale", "S1,...,S6", "simulated arm: factors on the mass and inertia of links 1-6"},
      {"--friction-scale", "F", "simulated arm: factor on the viscous friction"},
      {"--coulomb", "C1,...,C6", "simulated arm: Coulomb friction of joints 1-6, N·m"},
      {"--torque-constant", "K1,...,K6", "simulated arm: factors on the torque per command unit"},
      {"--payload", "MASS,X,Y,Z",
       "simulated arm: a payload unknown to the controller, kg and m (flange frame)"},
      {"--current-noise", "N", "simulated arm: noise on the reported currents, N·m"},
  };
  for (const auto& option : options) {
    const std::string name = option.name;
    app->add_option_function<std::string>(
           name, [this, name](const std::string& value) { given_.emplace_back(name, value); }, option.help)
        ->type_name(option.type)
        ->group("Simulated arm (with --sim)");
  }
}

sim::ModelError ModelErrorOptions::parsed(bool simulated) const {
  if (!given_.empty() && !simulated) throw UsageError(given_.front().first + " needs --sim");
  sim::ModelError error;
  for (const auto& [option, value] : given_) {
    try {
      sim::applyModelErrorOption(option, value, error);
    } catch (const std::invalid_argument& bad) {
      throw UsageError(bad.what());
    }
  }
  return error;
}

void checkDynamicsOption(const std::string& path) {
  if (path.empty()) return;
  try {
    readCalibrationFile(path, true);
  } catch (const std::invalid_argument& error) {
    throw UsageError(std::string("--dynamics ") + error.what());
  }
}

}  // namespace tool
}  // namespace kav
