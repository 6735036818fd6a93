#include "ArmFeed.h"

#include <config/ArmConfig.h>
#include <controller/ControllerBase.h>
#include <controller/ErrorCode.h>
#include <pthread.h>
#include <solver/kinematic_dynamic_solver.h>
#include <urdf_parser/urdf_parser.h>

#include <Eigen/Geometry>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <tuple>

#include "ArmCommand.h"
#include "Text.h"

namespace kav {
namespace serve {

namespace {

using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

const std::vector<std::string> kJointNames{"joint1", "joint2", "joint3", "joint4",
                                           "joint5", "joint6", "gripper"};
const std::vector<std::string> kArmJointNames(kJointNames.begin(), kJointNames.begin() + config::kArmJoints);

json timeSchema() {
  return {{"type", "object"},
          {"properties", {{"sec", {{"type", "integer"}}}, {"nsec", {{"type", "integer"}}}}}};
}

json numbers() { return {{"type", "array"}, {"items", {{"type", "number"}}}}; }

json vector3(std::initializer_list<const char*> names) {
  json properties = json::object();
  for (const char* name : names) properties[name] = {{"type", "number"}};
  return {{"type", "object"}, {"properties", properties}};
}

json objectOf(json properties) { return {{"type", "object"}, {"properties", std::move(properties)}}; }

json arrayOf(json items) { return {{"type", "array"}, {"items", std::move(items)}}; }

json stamp(std::uint64_t ns) { return {{"sec", ns / 1000000000u}, {"nsec", ns % 1000000000u}}; }

std::uint64_t systemNs(SteadyClock::time_point at) {
  const auto system_now = std::chrono::system_clock::now();
  const auto ago = SteadyClock::now() - at;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>((system_now - ago).time_since_epoch()).count());
}

}  // namespace

std::vector<Channel> armChannels() {
  const json joint_states =
      objectOf({{"header", objectOf({{"stamp", timeSchema()}, {"frame_id", {{"type", "string"}}}})},
                {"name", arrayOf({{"type", "string"}})},
                {"position", numbers()},
                {"velocity", numbers()},
                {"effort", numbers()}});
  const json transforms =
      objectOf({{"transforms", arrayOf(objectOf({{"timestamp", timeSchema()},
                                                 {"parent_frame_id", {{"type", "string"}}},
                                                 {"child_frame_id", {{"type", "string"}}},
                                                 {"translation", vector3({"x", "y", "z"})},
                                                 {"rotation", vector3({"x", "y", "z", "w"})}}))}});
  const json description = objectOf({{"data", {{"type", "string"}}}});
  const json status =
      objectOf({{"stamp", timeSchema()},
                {"state", {{"type", "integer"}}},
                {"state_name", {{"type", "string"}}},
                {"control_active", {{"type", "boolean"}}},
                {"error_codes", arrayOf(objectOf({{"code", {{"type", "integer"}}},
                                                  {"meaning", {{"type", "string"}}},
                                                  {"count", {{"type", "integer"}}}}))},
                {"dropped_frames", arrayOf({{"type", "integer"}})},
                {"contact", {{"type", "boolean"}}},
                {"reflex", {{"type", "boolean"}}},
                {"reflex_message", {{"type", "string"}}},
                {"collision_thresholds", objectOf({{"lower", numbers()}, {"upper", numbers()}})}});
  const json key_value = objectOf({{"key", {{"type", "string"}}}, {"value", {{"type", "string"}}}});
  const json diagnostics =
      objectOf({{"header", objectOf({{"stamp", timeSchema()}, {"frame_id", {{"type", "string"}}}})},
                {"status", arrayOf(objectOf({{"level", {{"type", "integer"}}},
                                             {"name", {{"type", "string"}}},
                                             {"message", {{"type", "string"}}},
                                             {"hardware_id", {{"type", "string"}}},
                                             {"values", arrayOf(key_value)}}))}});
  return {
      {kJointStates, "/joint_states", "json", "sensor_msgs/JointState", joint_states.dump(), false},
      {kTransforms, "/tf", "json", "foxglove.FrameTransforms", transforms.dump(), false},
      {kRobotDescription, "/robot_description", "json", "std_msgs/String", description.dump(), true},
      {kArmStatus, "/arm/status", "json", "kav/ArmStatus", status.dump(), false},
      {kDiagnostics, "/diagnostics", "json", "diagnostic_msgs/DiagnosticArray", diagnostics.dump(), false},
      {kExternalTorques, "/arm/external_torques", "json", "sensor_msgs/JointState", joint_states.dump(),
       false}};
}

ClientReply handleClientMessage(const Sender& sender, const std::string& topic, const std::string& encoding,
                                const std::string& payload, const CommandPolicy& policy,
                                t8::InterfacesThread& arm, Recovery& recovery) {
  ArmCommand command;
  const std::string refused =
      checkClientMessage(sender, topic, encoding, payload, policy.allow_control, &command);
  if (!refused.empty()) return refused;
  if (command.op == ArmCommand::Op::kRecover)
    return recovery.start(sender, [&arm, command] { execute(command, arm); });
  // During a recovery the arm's setters refuse: a stop then follows it.
  if (command.op == ArmCommand::Op::kStop &&
      recovery.afterwards([&arm, command] { execute(command, arm); })) {
    return ClientReply::warning(
        "/arm/command: a recover is running; PROTECT is selected as soon as it has ended");
  }
  try {
    execute(command, arm);
  } catch (const std::exception& error) {
    return "/arm/command failed: " + excerpt(error.what(), 4 * kExcerptBytes);
  }
  const std::string clamped = clampedTargets(command, policy.variant);
  if (!clamped.empty()) return ClientReply::warning("/arm/command: " + clamped);
  return {};
}

// The transform of every joint of the description (parent link to child
// link) at given joint positions.
class ArmFeed::Kinematics {
 public:
  explicit Kinematics(const std::string& description) {
    // The guarded reader first: it refuses what would overflow the XML
    // parser's stack or the model's recursion before either runs.
    KDL::Tree tree;
    if (!parseDescriptionTree(description, tree)) {
      throw std::runtime_error("kav serve: cannot parse the robot description");
    }
    const urdf::ModelInterfaceSharedPtr model = urdf::parseURDF(description);
    if (!model) throw std::runtime_error("kav serve: cannot parse the robot description");
    for (const auto& [name, joint] : model->joints_) {
      const urdf::Pose& origin = joint->parent_to_joint_origin_transform;
      Joint j;
      j.parent = joint->parent_link_name;
      j.child = joint->child_link_name;
      j.origin =
          Eigen::Translation3d(origin.position.x, origin.position.y, origin.position.z) *
          Eigen::Quaterniond(origin.rotation.w, origin.rotation.x, origin.rotation.y, origin.rotation.z);
      j.axis = Eigen::Vector3d(joint->axis.x, joint->axis.y, joint->axis.z);
      j.type = joint->type;
      for (std::size_t i = 0; i < kJointNames.size(); ++i) {
        if (kJointNames[i] == name) j.index = static_cast<int>(i);
      }
      joints_.push_back(j);
    }
  }

  json transforms(const std::vector<double>& q, std::uint64_t ns) const {
    json list = json::array();
    for (const Joint& j : joints_) {
      const double value = j.index >= 0 && j.index < static_cast<int>(q.size()) ? q[j.index] : 0.0;
      Eigen::Isometry3d motion = Eigen::Isometry3d::Identity();
      if (j.type == urdf::Joint::REVOLUTE || j.type == urdf::Joint::CONTINUOUS) {
        motion = Eigen::AngleAxisd(value, j.axis.normalized());
      } else if (j.type == urdf::Joint::PRISMATIC) {
        motion = Eigen::Translation3d(value * j.axis);
      }
      const Eigen::Isometry3d transform = j.origin * motion;
      const Eigen::Quaterniond rotation(transform.rotation());
      const Eigen::Vector3d translation = transform.translation();
      list.push_back(
          {{"timestamp", stamp(ns)},
           {"parent_frame_id", j.parent},
           {"child_frame_id", j.child},
           {"translation", {{"x", translation.x()}, {"y", translation.y()}, {"z", translation.z()}}},
           {"rotation",
            {{"x", rotation.x()}, {"y", rotation.y()}, {"z", rotation.z()}, {"w", rotation.w()}}}});
    }
    return {{"transforms", list}};
  }

 private:
  struct Joint {
    std::string parent, child;
    Eigen::Isometry3d origin;
    Eigen::Vector3d axis;
    int type = urdf::Joint::FIXED;
    int index = -1;  // into the joint positions, -1 for none
  };
  std::vector<Joint> joints_;
};

ArmFeed::ArmFeed(t8::InterfacesThread& arm, const std::string& description,
                 const CollisionThresholds& thresholds, LiveServer& server)
    : arm_(arm),
      server_(server),
      kinematics_(std::make_unique<Kinematics>(description)),
      thresholds_(thresholds) {
  server_.publish(kRobotDescription, systemNs(SteadyClock::now()), json{{"data", description}}.dump());
  thread_ = std::thread([this] { run(); });
}

ArmFeed::~ArmFeed() {
  quit_ = true;
  thread_.join();
}

namespace {

// Whether a reflex holds the arm compliant: the facade tells it through the
// error codes only. A reflex records its code (160 + joint), and only a
// successful recover() ends it, recording 176: a reflex holds when a
// collision code is newer than the last 176.
bool reflexHolds(const std::vector<int>& codes) {
  for (auto code = codes.rbegin(); code != codes.rend(); ++code) {
    const t8::ErrorCode::Kind kind = t8::ErrorCode(*code).kind();
    if (kind == t8::ErrorCode::Kind::kCollision) return true;
    if (kind == t8::ErrorCode::Kind::kRecovered) return false;
  }
  return false;
}

json statusMessage(t8::InterfacesThread& arm, const CollisionThresholds& thresholds, std::uint64_t ns) {
  const std::vector<int> codes = arm.getErrorCode();
  std::map<int, int> counts;
  json errors = json::array();
  for (int code : codes) {
    if (counts[code]++ == 0) errors.push_back({{"code", code}, {"meaning", t8::ErrorCode(code).meaning()}});
  }
  for (json& error : errors) error["count"] = counts[error["code"].get<int>()];
  const int state = arm.getArmStatus();
  const bool reflex = reflexHolds(codes);
  // The library formats the message into a fixed buffer, which may cut a
  // character: quoted as valid UTF-8 (dump() would throw on a cut one).
  const std::string reflex_message = reflex ? excerpt(arm.lastReflex(), 4 * kExcerptBytes) : "";
  return {{"stamp", stamp(ns)},
          {"state", state},
          {"state_name", t8::ControllerBase::stateName(state)},
          {"control_active", arm.controlActive()},
          {"error_codes", errors},
          {"dropped_frames", arm.getDroppedFrames()},
          {"contact", arm.contactDetected()},
          {"reflex", reflex},
          {"reflex_message", reflex_message},
          {"collision_thresholds", {{"lower", thresholds.lower}, {"upper", thresholds.upper}}}};
}

json keyValue(const std::string& key, const std::string& value) { return {{"key", key}, {"value", value}}; }

// With @p addresses, every client's address as its hardware_id; without,
// only its number (what clients other than the trusted ones see).
json diagnosticsMessage(t8::InterfacesThread& arm, const LiveServer& server, std::uint64_t ns,
                        bool addresses) {
  const std::vector<t8::InterfacesThread::CycleTiming> cycles = arm.getCycleTimings(201);
  double rate = 0.0;
  if (cycles.size() > 1) {
    rate = static_cast<double>(cycles.size() - 1) /
           std::chrono::duration<double>(cycles.back().start - cycles.front().start).count();
  }
  const bool active = arm.controlActive();
  json status = json::array();
  status.push_back({{"level", active ? 0 : 2},
                    {"name", "kav serve: arm"},
                    {"message", active ? "control active" : "control ended"},
                    {"hardware_id", "arm"},
                    {"values",
                     {keyValue("state", t8::ControllerBase::stateName(arm.getArmStatus())),
                      keyValue("cycle_rate_hz", std::to_string(rate))}}});
  for (const ClientStats& client : server.clients()) {
    status.push_back(
        {{"level", client.dropped > 0 ? 1 : 0},
         {"name", "kav serve: client " + std::to_string(client.id)},
         {"message", client.dropped > 0 ? "slow: messages skipped" : "ok"},
         {"hardware_id", addresses ? client.address : "client " + std::to_string(client.id)},
         {"values",
          {keyValue("client_id", std::to_string(client.id)), keyValue("sent", std::to_string(client.sent)),
           keyValue("dropped", std::to_string(client.dropped)),
           keyValue("queued", std::to_string(client.queued)),
           keyValue("foreign_origin", client.foreign_origin ? "true" : "false")}}});
  }
  return {{"header", {{"stamp", stamp(ns)}, {"frame_id", ""}}}, {"status", status}};
}

}  // namespace

void ArmFeed::run() {
  pthread_setname_np(pthread_self(), "kav-serve-feed");
  constexpr int kStatusEvery = 20;        // 10 Hz
  constexpr int kDiagnosticsEvery = 200;  // 1 Hz
  constexpr auto kAfterCycle = std::chrono::microseconds(300);
  std::tuple<int, bool, std::size_t, bool, bool> last_status{-1, false, 0, false, false};
  auto next = SteadyClock::now();
  for (long tick = 0; !quit_; ++tick) {
    const std::vector<t8::InterfacesThread::CycleTiming> last = arm_.getCycleTimings(1);
    const std::uint64_t ns = systemNs(last.empty() ? SteadyClock::now() : last.back().start);
    if (server_.subscribed(kJointStates) || server_.subscribed(kTransforms)) {
      const std::vector<double> q = arm_.getJointPositons();
      if (server_.subscribed(kJointStates)) {
        const json message{{"header", {{"stamp", stamp(ns)}, {"frame_id", ""}}},
                           {"name", kJointNames},
                           {"position", q},
                           {"velocity", arm_.getJointVelocities()},
                           {"effort", arm_.getJointCurrent()}};
        server_.publish(kJointStates, ns, message.dump());
      }
      if (server_.subscribed(kTransforms))
        server_.publish(kTransforms, ns, kinematics_->transforms(q, ns).dump());
    }
    if (server_.subscribed(kExternalTorques)) {
      // As the bridge's: the torques as effort, no positions or velocities
      // (they are /joint_states').
      const json message{{"header", {{"stamp", stamp(ns)}, {"frame_id", ""}}},
                         {"name", kArmJointNames},
                         {"position", json::array()},
                         {"velocity", json::array()},
                         {"effort", arm_.getExternalTorques()}};
      server_.publish(kExternalTorques, ns, message.dump());
    }
    if (server_.subscribed(kArmStatus)) {
      // At once when the state, control, the error list, contact or the
      // reflex changes, else at 10 Hz.
      const json status = statusMessage(arm_, thresholds_, ns);
      const auto summary = std::make_tuple(status["state"].get<int>(), status["control_active"].get<bool>(),
                                           status["error_codes"].size(), status["contact"].get<bool>(),
                                           status["reflex"].get<bool>());
      if (summary != last_status || tick % kStatusEvery == 0) server_.publish(kArmStatus, ns, status.dump());
      last_status = summary;
    }
    if (tick % kDiagnosticsEvery == 0 && server_.subscribed(kDiagnostics)) {
      server_.publish(kDiagnostics, ns, diagnosticsMessage(arm_, server_, ns, false).dump(),
                      diagnosticsMessage(arm_, server_, ns, true).dump());
    }
    // The next sample follows the next control cycle closely, so that a
    // message leaves soon after the cycle whose state it carries.
    // (A cycle publishes its state and timing as it ends: its update time after its start.)
    next = last.empty() ? next + config::kCyclePeriod
                        : last.back().start + config::kCyclePeriod + last.back().update + kAfterCycle;
    const auto now = SteadyClock::now();
    while (next <= now) next += config::kCyclePeriod;  // fell behind: no burst
    std::this_thread::sleep_until(next);
  }
}

}  // namespace serve
}  // namespace kav
