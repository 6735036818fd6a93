#include "solver/DynamicsCalibration.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace kav {

namespace {

using nlohmann::json;

constexpr int kVersion = 1;

[[noreturn]] void refuse(const std::string& field, const std::string& why) {
  throw std::invalid_argument(field + ": " + why);
}

void requireRange(const std::string& field, double value, double lowest, double highest) {
  if (!std::isfinite(value) || value < lowest || value > highest) {
    char text[96];
    std::snprintf(text, sizeof(text), "%g is not within %g to %g", value, lowest, highest);
    refuse(field, text);
  }
}

const json& member(const json& object, const std::string& key, const std::string& field) {
  if (!object.is_object()) refuse(field, "is not an object");
  const auto found = object.find(key);
  if (found == object.end()) refuse(field + "." + key, "is missing");
  return *found;
}

double number(const json& object, const std::string& key, const std::string& field) {
  const json& value = member(object, key, field);
  if (!value.is_number()) refuse(field + "." + key, "is not a number");
  return value.get<double>();
}

template <std::size_t N>
std::array<double, N> numbers(const json& object, const std::string& key, const std::string& field) {
  const json& value = member(object, key, field);
  if (!value.is_array() || value.size() != N) {
    refuse(field + "." + key, "is not a list of " + std::to_string(N) + " numbers");
  }
  std::array<double, N> result{};
  for (std::size_t k = 0; k < N; ++k) {
    if (!value[k].is_number())
      refuse(field + "." + key, "is not a list of " + std::to_string(N) + " numbers");
    result[k] = value[k].get<double>();
  }
  return result;
}

PayloadCalibration payloadFrom(const json& block, const std::string& field) {
  PayloadCalibration payload;
  payload.mass = number(block, "mass_kg", field);
  const auto c = numbers<3>(block, "centre_of_mass_m", field);
  payload.centre_of_mass = Eigen::Vector3d(c[0], c[1], c[2]);
  return payload;
}

json payloadBlock(const PayloadCalibration& payload) {
  return {{"mass_kg", payload.mass},
          {"centre_of_mass_m",
           {payload.centre_of_mass.x(), payload.centre_of_mass.y(), payload.centre_of_mass.z()}}};
}

}  // namespace

void checkCalibration(const DynamicsCalibration& calibration, bool joints) {
  if (joints) {
    for (int i = 0; i < config::kArmJoints; ++i) {
      const JointCalibration& j = calibration.joints[i];
      const std::string field = "joints[" + std::to_string(i) + "].";
      const double nominal = config::kTorqueCommandPerNewtonMetre[i];
      requireRange(field + "torque_command_per_newton_metre", j.command_per_newton_metre, 0.5 * nominal,
                   2.0 * nominal);
      requireRange(field + "viscous_friction_newton_metre_second_per_radian", j.viscous, 0.0, 10.0);
      requireRange(field + "coulomb_friction_newton_metre", j.coulomb, 0.0, 10.0);
      for (int l = 0; l < kScaledLinks; ++l) {
        requireRange(field + "link_mass_scale[" + std::to_string(l) + "]", j.link_mass_scale[l], -10.0, 10.0);
      }
      requireRange(field + "flange_mass_kg", j.flange_mass, -10.0, 10.0);
      for (int k = 0; k < 3; ++k) {
        requireRange(field + "flange_first_moment_kg_m[" + std::to_string(k) + "]", j.flange_moment(k), -10.0,
                     10.0);
      }
    }
  }
  if (calibration.has_payload) {
    requireRange("payload.mass_kg", calibration.payload.mass, 0.0, 10.0);
    const Eigen::Vector3d& c = calibration.payload.centre_of_mass;
    for (int k = 0; k < 3; ++k)
      requireRange("payload.centre_of_mass_m[" + std::to_string(k) + "]", c(k), -1.0, 1.0);
    if (!(c.norm() <= 1.0)) refuse("payload.centre_of_mass_m", "lies more than 1 m from the flange");
  }
}

DynamicsCalibration readCalibrationFile(const std::string& path, bool joints_required) {
  std::ifstream in(path);
  if (!in) throw std::invalid_argument(path + ": cannot be read");
  json document;
  try {
    document = json::parse(in);
  } catch (const json::exception& error) {
    throw std::invalid_argument(path + ": not JSON (" + std::string(error.what()) + ")");
  }
  DynamicsCalibration calibration;
  try {
    if (!document.is_object()) refuse("the file", "is not a JSON object");
    const json& version = member(document, "version", "the file");
    if (!version.is_number_integer() || version.get<int>() != kVersion) {
      refuse("version", "must be " + std::to_string(kVersion));
    }
    if (joints_required) {
      const json& joints = member(document, "joints", "the file");
      if (!joints.is_array() || joints.size() != static_cast<std::size_t>(config::kArmJoints)) {
        refuse("joints", "is not a list of 6 joints");
      }
      for (int i = 0; i < config::kArmJoints; ++i) {
        const json& j = joints[static_cast<std::size_t>(i)];
        const std::string field = "joints[" + std::to_string(i) + "]";
        JointCalibration& c = calibration.joints[i];
        c.command_per_newton_metre = number(j, "torque_command_per_newton_metre", field);
        c.viscous = number(j, "viscous_friction_newton_metre_second_per_radian", field);
        c.coulomb = number(j, "coulomb_friction_newton_metre", field);
        c.link_mass_scale = numbers<kScaledLinks>(j, "link_mass_scale", field);
        c.flange_mass = number(j, "flange_mass_kg", field);
        const auto moment = numbers<3>(j, "flange_first_moment_kg_m", field);
        c.flange_moment = Eigen::Vector3d(moment[0], moment[1], moment[2]);
      }
    }
    const auto payload = document.find("payload");
    if (payload != document.end()) {
      calibration.payload = payloadFrom(*payload, "payload");
      calibration.has_payload = true;
    } else if (!joints_required) {
      refuse("payload", "is missing");
    }
    checkCalibration(calibration, joints_required);
  } catch (const std::invalid_argument& error) {
    throw std::invalid_argument(path + ": " + error.what());
  }
  return calibration;
}

std::string dynamicsJson(const DynamicsCalibration& calibration, const std::string& fit) {
  json joints = json::array();
  for (int i = 0; i < config::kArmJoints; ++i) {
    const JointCalibration& j = calibration.joints[i];
    joints.push_back(
        {{"joint", i + 1},
         {"torque_command_per_newton_metre", j.command_per_newton_metre},
         {"viscous_friction_newton_metre_second_per_radian", j.viscous},
         {"coulomb_friction_newton_metre", j.coulomb},
         {"link_mass_scale", j.link_mass_scale},
         {"flange_mass_kg", j.flange_mass},
         {"flange_first_moment_kg_m", {j.flange_moment.x(), j.flange_moment.y(), j.flange_moment.z()}}});
  }
  json document = {{"version", kVersion}, {"joints", joints}};
  if (calibration.has_payload) document["payload"] = payloadBlock(calibration.payload);
  if (!fit.empty()) document["fit"] = json::parse(fit);
  return document.dump(2) + "\n";
}

std::string payloadJson(const PayloadCalibration& payload, const std::string& fit) {
  json document = {{"version", kVersion}, {"payload", payloadBlock(payload)}};
  if (!fit.empty()) document["fit"] = json::parse(fit);
  return document.dump(2) + "\n";
}

}  // namespace kav
