#include "McapRecording.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace kav {
namespace tool {

namespace {

using nlohmann::json;

json numbers(std::initializer_list<const char*> names, const char* description) {
  json properties = json::object();
  for (const char* name : names) properties[name] = {{"type", "number"}, {"description", description}};
  return properties;
}

std::string schema(const char* title, json properties) {
  json required = json::array();
  for (const auto& item : properties.items()) required.push_back(item.key());
  return json{{"title", title}, {"type", "object"}, {"properties", properties}, {"required", required}}
      .dump();
}

std::string frameSchema() {
  return schema("kav.CanFrame", {{"id", {{"type", "integer"}, {"description", "CAN identifier"}}},
                                 {"data",
                                  {{"type", "array"},
                                   {"items", {{"type", "integer"}, {"minimum", 0}, {"maximum", 255}}},
                                   {"description", "payload bytes"}}}});
}

std::string commandSchema() {
  json properties =
      numbers({"kp", "kd", "position", "velocity", "torque"}, "as on the wire: gains, rad, rad/s, N m");
  properties["kind"] = {{"type", "integer"},
                        {"description", "0 hybrid, 1 enable, 2 disable, 3 set zero, 4 clear error"}};
  return schema("kav.MotorCommand", properties);
}

std::string feedbackSchema() {
  json properties =
      numbers({"position", "velocity", "current"}, "as the controller reads them: rad, rad/s, A");
  properties["error"] = {
      {"type", "integer"},
      {"description", "type 4 motors: error code (0 healthy); type 2: 1 enabled, 0 disabled"}};
  return schema("kav.MotorFeedback", properties);
}

}  // namespace

McapRecording::McapRecording(const std::string& path, const std::string& bus, bool replace)
    : writer_(path, replace, "kav record") {
  keeps_frames_ = true;
  const std::uint16_t frame = writer_.addSchema("kav.CanFrame", "jsonschema", frameSchema());
  const std::uint16_t command = writer_.addSchema("kav.MotorCommand", "jsonschema", commandSchema());
  const std::uint16_t feedback = writer_.addSchema("kav.MotorFeedback", "jsonschema", feedbackSchema());
  frames_channel_ = writer_.addChannel(frame, "/frames", "json");
  for (int j = 0; j < config::kMotors; ++j) {
    command_channels_[j] = writer_.addChannel(command, std::string("/commands/") + jointName(j), "json");
    feedback_channels_[j] = writer_.addChannel(feedback, std::string("/feedback/") + jointName(j), "json");
  }
  // Whole microseconds, so that start_time names the base of the log times exactly.
  const auto now = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
  start_ = Clock::now();
  start_ns_ = static_cast<std::uint64_t>(std::chrono::nanoseconds(now.time_since_epoch()).count());
  writer_.addMetadata("recording", {{"bus", bus}, {"start_time", isoTime(now)}});
}

std::uint64_t McapRecording::logTime(Clock::time_point time) const {
  const auto since_start = std::chrono::duration_cast<std::chrono::nanoseconds>(time - start_).count();
  return since_start < 0 && static_cast<std::uint64_t>(-since_start) > start_ns_ ? 0
                                                                                 : start_ns_ + since_start;
}

void McapRecording::add(const std::vector<BusEvent>& events, const std::vector<SeenFrame>& frames) {
  for (const SeenFrame& seen : frames) {
    const std::uint8_t* data = seen.frame.data;
    const json message{{"id", seen.frame.can_id},
                       {"data", std::vector<int>(data, data + std::min<int>(seen.frame.can_dlc, 8))}};
    writer_.write(frames_channel_, logTime(seen.time), message.dump());
  }
  frames_ += frames.size();
  for (const BusEvent& event : events) {
    if (event.kind == BusEvent::Kind::kCommand) {
      const hw_interface::MotorCommand& c = event.command;
      const json message{
          {"kind", static_cast<int>(c.kind)}, {"kp", c.k_p},       {"kd", c.k_d}, {"position", c.position},
          {"velocity", c.velocity},           {"torque", c.torque}};
      writer_.write(command_channels_[event.joint], logTime(event.time), message.dump());
    } else if (event.kind == BusEvent::Kind::kFeedback) {
      const Feedback& f = event.feedback;
      const json message{
          {"position", f.position}, {"velocity", f.velocity}, {"current", f.current}, {"error", f.error}};
      writer_.write(feedback_channels_[event.joint], logTime(event.time), message.dump());
    }
  }
  count(events);
}

void McapRecording::flush() { writer_.closeChunk(); }

}  // namespace tool
}  // namespace kav
