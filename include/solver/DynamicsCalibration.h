#pragma once
/// @file DynamicsCalibration.h
/// An identified model of the arm at hand (kav identify): per joint the
/// gravity terms, viscous and Coulomb friction and the torque per command
/// unit, and the payload; read from and written to versioned JSON files
/// (docs/tools.md).

#include <Eigen/Core>
#include <array>
#include <string>

#include "config/ArmConfig.h"

namespace kav {

/// Links whose mass the gravity model scales one by one (links 1-5); link 6
/// and whatever it carries are the flange's mass and first moment.
constexpr int kScaledLinks = config::kArmJoints - 1;

/// One joint's identified constants.
///
/// The joint's gravity torque is that of the robot description with link l's
/// mass (and inertia) times link_mass_scale[l] for links 1-5, and link 6 with
/// whatever it carries replaced by a body of flange_mass at the flange whose
/// first moment (mass times centre of mass, flange frame) is flange_moment.
/// Each joint has its own set: a joint's torque is what was measured at that
/// joint, so parameters that joint does not see keep their nominal values.
struct JointCalibration {
  /// Torque command per N·m at the joint (positive).
  double command_per_newton_metre = 1.0;
  /// Viscous friction, N·m·s/rad (at least 0).
  double viscous = 0.0;
  /// Coulomb friction, N·m (at least 0).
  double coulomb = 0.0;
  /// Factors on the masses of links 1-5 (-10 to 10: fitted values, which for
  /// links that act much alike at this joint may leave the physical range).
  std::array<double, kScaledLinks> link_mass_scale{1.0, 1.0, 1.0, 1.0, 1.0};
  /// Mass of link 6 and its load, kg (-10 to 10: a fitted value, not a body).
  double flange_mass = 0.0;
  /// First moment of link 6 and its load in the flange frame, kg·m.
  Eigen::Vector3d flange_moment = Eigen::Vector3d::Zero();
};

/// A payload as a point mass on the flange.
struct PayloadCalibration {
  double mass = 0.0;                                         ///< kg, 0 to 10
  Eigen::Vector3d centre_of_mass = Eigen::Vector3d::Zero();  ///< m, flange frame, within 1 m
};

/// An identified model of the arm: what a dynamics file holds.
struct DynamicsCalibration {
  /// Per arm joint, joint 1 first.
  std::array<JointCalibration, config::kArmJoints> joints;
  /// Whether the file held a payload block.
  bool has_payload = false;
  /// The payload the identification attributes to the flange (beyond link 6
  /// as described). The joints' flange terms already include it.
  PayloadCalibration payload;
};

/// Reads a dynamics file (or a payload file: joints absent).
/// @param joints_required false for a payload file
/// @throw std::invalid_argument naming the file and the field for a file
///        that cannot be read, malformed JSON, another version, a missing or
///        non-numeric field, or an implausible value
DynamicsCalibration readCalibrationFile(const std::string& path, bool joints_required);

/// Checks every value of @p calibration is plausible (the ranges above).
/// @throw std::invalid_argument naming the field
void checkCalibration(const DynamicsCalibration& calibration, bool joints);

/// The JSON text of a dynamics file with @p calibration and, beside it, the
/// fit's report (@p fit: any JSON object text, or empty).
std::string dynamicsJson(const DynamicsCalibration& calibration, const std::string& fit);
/// The JSON text of a payload file.
std::string payloadJson(const PayloadCalibration& payload, const std::string& fit);

}  // namespace kav
