#include "sim/ModelError.h"

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace kav {
namespace sim {

const char* const kModelErrorUsage =
    "  --mass-scale S1,...,S6\n"
    "                     factors on the mass and inertia of links 1-6 (positive)\n"
    "  --friction-scale F factor on the arm joints' viscous friction (at least 0)\n"
    "  --coulomb C1,...,C6\n"
    "                     the arm joints' Coulomb friction, N·m (at least 0)\n"
    "  --torque-constant K1,...,K6\n"
    "                     factors on the torque each arm motor delivers per\n"
    "                     command unit, against what the controller assumes\n"
    "  --payload MASS,X,Y,Z\n"
    "                     a payload the controller does not know of: kg (0-10),\n"
    "                     its centre of mass in the flange frame, m\n"
    "  --current-noise N  Gaussian noise on the reported currents, N·m (0-10)\n";

namespace {

std::vector<double> numbers(const std::string& option, const std::string& value, std::size_t count) {
  std::vector<double> result;
  std::stringstream list(value);
  for (std::string item; std::getline(list, item, ',');) {
    std::size_t used = 0;
    double number = 0.0;
    try {
      number = std::stod(item, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != item.size() || !std::isfinite(number)) {
      throw std::invalid_argument(option + " expects numbers, got \"" + value + "\"");
    }
    result.push_back(number);
  }
  if (result.size() != count || (!value.empty() && value.back() == ',')) {
    throw std::invalid_argument(option + " expects " + std::to_string(count) +
                                (count == 1 ? " number" : " comma-separated numbers") + ", got \"" + value +
                                "\"");
  }
  return result;
}

void requireRange(const std::string& option, const std::string& value, const std::vector<double>& values,
                  double lowest, double highest, bool lowest_allowed, const char* what) {
  for (double v : values) {
    if (v > highest || v < lowest || (!lowest_allowed && v == lowest)) {
      throw std::invalid_argument(option + " expects " + what + ", got \"" + value + "\"");
    }
  }
}

}  // namespace

bool isModelErrorOption(const std::string& option) {
  return option == "--mass-scale" || option == "--friction-scale" || option == "--coulomb" ||
         option == "--torque-constant" || option == "--payload" || option == "--current-noise";
}

void applyModelErrorOption(const std::string& option, const std::string& value, ModelError& error) {
  ModelError changed = error;
  PhysicsParameters& p = changed.physics;
  if (option == "--mass-scale") {
    const auto s = numbers(option, value, kSimArmJoints);
    requireRange(option, value, s, 0.0, 100.0, false, "six factors above 0 and at most 100");
    for (int i = 0; i < kSimArmJoints; ++i) p.mass_scale[i] = s[i];
  } else if (option == "--friction-scale") {
    const auto f = numbers(option, value, 1);
    requireRange(option, value, f, 0.0, 100.0, true, "a factor from 0 to 100");
    for (int i = 0; i < kSimArmJoints; ++i) p.friction[i] = config::kViscousFriction[i] * f[0];
  } else if (option == "--coulomb") {
    const auto c = numbers(option, value, kSimArmJoints);
    requireRange(option, value, c, 0.0, 30.0, true, "six torques from 0 to 30 N·m");
    for (int i = 0; i < kSimArmJoints; ++i) p.coulomb[i] = c[i];
  } else if (option == "--torque-constant") {
    const auto k = numbers(option, value, kSimArmJoints);
    requireRange(option, value, k, 0.0, 10.0, false, "six factors above 0 and at most 10");
    for (int i = 0; i < kSimArmJoints; ++i) p.torque_constant_scale[i] = k[i];
  } else if (option == "--payload") {
    const auto m = numbers(option, value, 4);
    requireRange(option, value, {m[0]}, 0.0, 10.0, true, "a mass from 0 to 10 kg first");
    requireRange(option, value, {m[1], m[2], m[3]}, -1.0, 1.0, true,
                 "a centre of mass within 1 m of the flange");
    p.payload_mass = m[0];
    p.payload_centre = {m[1], m[2], m[3]};
  } else if (option == "--current-noise") {
    const auto n = numbers(option, value, 1);
    requireRange(option, value, n, 0.0, 10.0, true, "a standard deviation from 0 to 10 N·m");
    changed.current_noise = n[0];
  } else {
    throw std::invalid_argument("unknown option " + option);
  }
  changed.any = true;
  error = changed;
}

}  // namespace sim
}  // namespace kav
