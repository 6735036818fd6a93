#pragma once
/// @file ModelError.h
/// The simulated arm as a different arm than the controller models: the
/// model-error options every program that simulates an arm takes
/// (--mass-scale, --friction-scale, --coulomb, --torque-constant, --payload,
/// --current-noise), parsed in one place.

#include <string>

#include "sim/ArmPhysics.h"

namespace kav {
namespace sim {

/// What differs between the simulated arm and the controller's model.
struct ModelError {
  /// The simulated arm's mechanical constants with the errors applied.
  PhysicsParameters physics;
  /// Gaussian noise on every reported current, N·m at the joint (standard deviation).
  double current_noise = 0.0;
  /// Whether any option was applied.
  bool any = false;
};

/// The options' help text: one block of lines, each starting with two blanks.
extern const char* const kModelErrorUsage;

/// Whether @p option is one of the model-error options.
bool isModelErrorOption(const std::string& option);

/// Applies one model-error option to @p error:
/// - `--mass-scale S1,...,S6`: factors (positive) on the mass and inertia of links 1-6
/// - `--friction-scale F`: factor (at least 0) on the arm joints' viscous friction
/// - `--coulomb C1,...,C6`: the arm joints' Coulomb friction, N·m, at least 0
/// - `--torque-constant K1,...,K6`: factors (positive) on the torque each arm
///   motor delivers per command unit, against what the controller assumes
/// - `--payload MASS,X,Y,Z`: a point mass the controller does not know of, kg
///   (0 to 10), its centre in the flange frame, m (each within 1 m)
/// - `--current-noise N`: noise on the reported currents, N·m, 0 to 10
/// @throw std::invalid_argument naming the option (and the value) for an
///        unknown option, a wrong count or a value out of range; @p error is
///        then unchanged
void applyModelErrorOption(const std::string& option, const std::string& value, ModelError& error);

}  // namespace sim
}  // namespace kav
