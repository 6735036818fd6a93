#include "ArmCommand.h"

#include <config/ArmConfig.h>
#include <motion/Motion.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "Text.h"

namespace kav {
namespace serve {

namespace {

using nlohmann::json;

constexpr int kProtect = 2;
constexpr int kPositionControl = 5;
constexpr std::size_t kArmJoints = 6;

double finiteNumber(const json& command, const char* field) {
  if (!command.contains(field)) throw std::invalid_argument(std::string("missing field \"") + field + "\"");
  const json& value = command.at(field);
  if (!value.is_number() || !std::isfinite(value.get<double>())) {
    throw std::invalid_argument(std::string("\"") + field + "\" must be a finite number");
  }
  return value.get<double>();
}

std::vector<double> sixJoints(const json& command, const char* field) {
  if (!command.contains(field) || !command.at(field).is_array() || command.at(field).size() != kArmJoints) {
    throw std::invalid_argument(std::string("\"") + field + "\" must be an array of six joint positions");
  }
  std::vector<double> values;
  for (const json& value : command.at(field)) {
    if (!value.is_number() || !std::isfinite(value.get<double>())) {
      throw std::invalid_argument(std::string("\"") + field + "\" holds a value that is not a finite number");
    }
    values.push_back(value.get<double>());
  }
  return values;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// "NAME's target V rad is outside [LOW, HIGH], clamped to C rad", or nothing.
std::string clampedTarget(const std::string& name, double value, double low, double high) {
  if (value >= low && value <= high) return "";
  return name + "'s target " + number(value) + " rad is outside [" + number(low) + ", " + number(high) +
         "], clamped to " + number(value < low ? low : high) + " rad";
}

}  // namespace

std::string clampedTargets(const ArmCommand& command, int variant) {
  std::string notes;
  auto add = [&notes](const std::string& note) {
    if (note.empty()) return;
    notes += (notes.empty() ? "" : "; ") + note;
  };
  if (command.op == ArmCommand::Op::kJointPositions) {
    for (std::size_t j = 0; j < command.joints.size() && j < kArmJoints; ++j) {
      add(clampedTarget("joint " + std::to_string(j + 1), command.joints[j], config::kJointLower[j],
                        config::kJointUpper[j]));
    }
  } else if (command.op == ArmCommand::Op::kGripper) {
    const std::array<double, 2> range = config::gripperTargetRange(variant);
    add(clampedTarget("the gripper", command.gripper, range[0], range[1]));
  }
  return notes;
}

ArmCommand parseArmCommand(const std::string& text) {
  json command;
  try {
    command = parseStrictJson(text.data(), text.data() + text.size());
  } catch (const json::exception&) {
    throw std::invalid_argument("the command is not JSON");
  }
  if (!command.is_object() || !command.contains("op") || !command.at("op").is_string()) {
    throw std::invalid_argument("the command must be a JSON object with a string \"op\"");
  }
  const std::string op = command.at("op").get<std::string>();
  ArmCommand parsed;
  if (op == "stop") {
    parsed.op = ArmCommand::Op::kStop;
  } else if (op == "set_state") {
    const double state = finiteNumber(command, "state");
    if (state != std::floor(state) || state < 0 || state > kPositionControl) {
      throw std::invalid_argument("\"state\" must be an integer from 0 to 5");
    }
    parsed.op = ArmCommand::Op::kSetState;
    parsed.state = static_cast<int>(state);
  } else if (op == "joint_positions") {
    parsed.op = ArmCommand::Op::kJointPositions;
    parsed.joints = sixJoints(command, "positions");
  } else if (op == "move_joints") {
    parsed.op = ArmCommand::Op::kMoveJoints;
    parsed.joints = sixJoints(command, "target");
    if (command.contains("speed_scale")) parsed.speed_scale = finiteNumber(command, "speed_scale");
    if (!(parsed.speed_scale >= motion::kMinSpeedScale && parsed.speed_scale <= 1.0)) {
      throw std::invalid_argument("\"speed_scale\" must be in [" + number(motion::kMinSpeedScale) + ", 1]");
    }
  } else if (op == "stop_motion") {
    parsed.op = ArmCommand::Op::kStopMotion;
  } else if (op == "gripper") {
    parsed.op = ArmCommand::Op::kGripper;
    parsed.gripper = finiteNumber(command, "position");
  } else if (op == "recover") {
    parsed.op = ArmCommand::Op::kRecover;
  } else {
    throw std::invalid_argument(
        "unknown op \"" + excerpt(op) +
        "\" (stop, set_state, joint_positions, move_joints, stop_motion, gripper, recover)");
  }
  return parsed;
}

std::string checkClientMessage(const Sender& sender, const std::string& topic, const std::string& encoding,
                               const std::string& payload, bool allow_control, ArmCommand* command) {
  if (topic != "/arm/command")
    return "no client channel \"" + excerpt(topic) + "\" (commands go to /arm/command)";
  if (encoding != "json") return "/arm/command takes encoding json, not \"" + excerpt(encoding) + "\"";
  try {
    *command = parseArmCommand(payload);
  } catch (const std::invalid_argument& error) {
    return std::string("/arm/command refused: ") + error.what();
  }
  if (command->op == ArmCommand::Op::kStop) return "";
  if (!allow_control) {
    return "/arm/command refused: kav serve runs without --allow-control, only {\"op\": \"stop\"} is obeyed";
  }
  if (sender.foreign_origin) {
    return "/arm/command refused: a page of another site (" + excerpt(sender.origin) +
           ") may only send {\"op\": \"stop\"}";
  }
  return "";
}

void execute(const ArmCommand& command, t8::InterfacesThread& arm) {
  switch (command.op) {
    case ArmCommand::Op::kStop:
      arm.setArmStatus(kProtect);
      break;
    case ArmCommand::Op::kSetState:
      arm.setArmStatus(command.state);
      break;
    case ArmCommand::Op::kJointPositions:
      arm.setJointPositions(command.joints);
      if (arm.getArmStatus() != kPositionControl) arm.setArmStatus(kPositionControl);
      break;
    case ArmCommand::Op::kMoveJoints:
      if (arm.getArmStatus() != kPositionControl) {
        std::vector<double> here = arm.getJointPositons();  // hold there until the motion takes over
        here.resize(kArmJoints);
        arm.setJointPositions(here);
        arm.setArmStatus(kPositionControl);
      }
      arm.moveJoints(command.joints, command.speed_scale);
      break;
    case ArmCommand::Op::kStopMotion:
      arm.stopMotion();
      break;
    case ArmCommand::Op::kGripper:
      arm.setCatch(command.gripper);
      break;
    case ArmCommand::Op::kRecover:
      arm.recover();
      break;
  }
}

}  // namespace serve
}  // namespace kav
