#include "bridge/Bridge.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "Actions.h"
#include "Commands.h"
#include "Dds.h"
#include "Description.h"
#include "Graph.h"
#include "Health.h"
#include "Service.h"
#include "Stream.h"
#include "config/ArmConfig.h"
#include "controller/ControllerBase.h"
#include "controller/ErrorCode.h"
#include "diagnostic_msgs.h"
#include "interfaces/InterfacesThread.h"
#include "rmw_dds_common.h"
#include "sensor_msgs.h"
#include "tf2_msgs.h"

namespace kav {
namespace bridge {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kMaxRate = config::kControlFrequency;
constexpr std::uint32_t kMaxDomain = 232;
// Error codes are looked at this often; each look copies the arm's list.
constexpr std::chrono::milliseconds kErrorCodeLook{50};
constexpr std::chrono::seconds kDiagnosticsPeriod{1};
// Cycle timings asked for per report: a second of cycles and some room.
constexpr std::size_t kTimingsPerReport = 256;
// A period this far off its nominal length (p99) makes the diagnostics warn.
constexpr double kLateLoopUs = 1000.0;
// The action thread: goals, their feedback and /tf, this often.
constexpr std::chrono::milliseconds kActionPeriod{10};
constexpr int kTfDepth = 100;

std::string checkedNamespace(const std::string& ns) {
  const auto first = ns.find_first_not_of('/');
  const auto last = ns.find_last_not_of('/');
  const std::string trimmed = first == std::string::npos ? "" : ns.substr(first, last - first + 1);
  static const std::regex segments("[A-Za-z_][A-Za-z0-9_]*(/[A-Za-z_][A-Za-z0-9_]*)*");
  if (!std::regex_match(trimmed, segments)) {
    throw std::invalid_argument("namespace '" + ns +
                                "' is not a ROS 2 namespace (letters, digits, '_' and '/', "
                                "segments not starting with a digit)");
  }
  return trimmed;
}

std::chrono::nanoseconds checkedPeriod(double rate_hz) {
  if (!(rate_hz > 0.0 && rate_hz <= kMaxRate)) {
    throw std::invalid_argument("rate " + std::to_string(rate_hz) + " Hz is not within (0, 200]");
  }
  return std::chrono::nanoseconds(static_cast<long long>(1e9 / rate_hz));
}

dds_domainid_t checkedDomain(std::uint32_t domain) {
  if (domain > kMaxDomain) {
    throw std::invalid_argument("domain " + std::to_string(domain) + " is not within 0-232");
  }
  return domain;
}

// "19 (motor 1 reported fault 3), 127 (...)": each new code with what it means.
std::string meanings(const std::vector<int>& codes) {
  std::string text;
  for (int code : codes) {
    if (!text.empty()) text += ", ";
    text += std::to_string(code) + " (" + t8::ErrorCode(code).meaning() + ")";
  }
  return text;
}

std::string stateText(int state) {
  return std::to_string(state) + " " + t8::ControllerBase::stateName(state);
}

template <class Container>
std::string joined(const Container& values) {
  std::ostringstream out;
  for (auto it = values.begin(); it != values.end(); ++it) out << (it == values.begin() ? "" : ", ") << *it;
  return out.str();
}

// A JointState of the first @p joints of kJointNames, stamped now; an empty
// field stays empty.
void writeJointState(dds_entity_t writer, std::uint32_t joints, std::vector<double>& position,
                     std::vector<double>& velocity, std::vector<double>& effort) {
  std::array<char*, config::kMotors> names;
  for (std::uint32_t i = 0; i < joints; ++i) names[i] = text(kJointNames[i]);
  const std::string frame;
  sensor_msgs_msg_dds__JointState_ message{};
  message.header.stamp = wallClockStamp();
  message.header.frame_id = text(frame);
  message.name = {joints, joints, names.data(), false};
  message.position = sequenceOf<dds_sequence_double>(position);
  message.velocity = sequenceOf<dds_sequence_double>(velocity);
  message.effort = sequenceOf<dds_sequence_double>(effort);
  dds_write(writer, &message);
}

std::string microseconds(const std::optional<double>& value) {
  if (!value) return "no cycles";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", *value);
  return buffer;
}

}  // namespace

class Bridge::impl {
 public:
  impl(t8::InterfacesThread& arm, const BridgeOptions& options);
  ~impl();

  std::atomic<std::uint64_t> dropped{0};

 private:
  dds_entity_t topic(const dds_topic_descriptor_t& type, const std::string& name);
  dds_entity_t writer(dds_entity_t topic, Delivery delivery, int depth);
  dds_entity_t reader(dds_entity_t topic, Delivery delivery, int depth, dds_on_data_available_fn on_data);

  void run();
  void runActions();
  void publishTransforms(bool fixed, dds_entity_t writer);
  void publishDescription(const std::string& urdf_path);
  void publishDiscoveryInfo();
  void publishJointStates();
  void publishExternalTorques();
  void publishPose();
  void publishArmState(int state);
  void publishDiagnostics(const std::vector<int>& new_codes);

  // Runs one command against the arm; a command that cannot be used is
  // dropped, counted and remembered for the diagnostics.
  template <class Apply>
  void command(Apply apply);
  // Counts and remembers a note of clampedJointTargets or
  // clampedGripperTarget (arm_mutex_ held) for the diagnostics, and prints it.
  void noteClamped(const std::string& notes);
  // Runs a recover request (arm_mutex_ held); a failure is remembered for
  // the diagnostics and printed, never thrown.
  void recoverArm();

  static void onJointCommand(dds_entity_t reader, void* self);
  static void onTargetPose(dds_entity_t reader, void* self);
  static void onGripperCommand(dds_entity_t reader, void* self);
  static void onSetArmState(dds_entity_t reader, void* self);
  static void onRecover(dds_entity_t reader, void* self);

  t8::InterfacesThread& arm_;
  const std::string ns_;
  const std::string hardware_id_;
  const std::chrono::nanoseconds period_;
  const Eigen::Vector3d zero_position_;

  // One facade caller at a time: the bridge thread and the command listeners.
  std::mutex arm_mutex_;
  std::string last_drop_;      // guarded by arm_mutex_
  std::uint64_t clamped_ = 0;  // targets clamped to their limits, guarded by arm_mutex_
  std::string last_clamp_;     // guarded by arm_mutex_
  JointStream stream_;         // joint_command's trajectories, guarded by arm_mutex_
  std::uint64_t reported_clamped_ = 0;

  const std::string node_name_;
  const RosDistro distro_;
  const std::string frame_prefix_;
  const LinkTree links_;
  const int arm_type_;  // the gripper's range

  Entity participant_;
  dds_entity_t joint_states_ = 0, external_torques_ = 0, ee_pose_ = 0, arm_state_ = 0, diagnostics_ = 0;
  dds_entity_t tf_ = 0, tf_static_ = 0, robot_description_ = 0, discovery_ = 0;
  // The node's endpoints, announced on ros_discovery_info.
  std::vector<dds_entity_t> readers_, writers_;
  std::uint32_t services_ = 0;
  std::unique_ptr<ArmActions> actions_;

  ErrorCodeWatch error_codes_;
  std::uint64_t reported_drops_ = 0;
  std::uint64_t reported_implausible_ = 0;
  RecoverOutcome recover_outcome_;  // the bridge thread's
  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  bool stop_ = false;
  // Set by the recover listener, taken by the bridge thread (stop_mutex_):
  // recover() takes about 0.2 s, too long to hold a DDS receive thread.
  bool recover_requested_ = false;
  std::thread thread_;
  std::thread action_thread_;
};

Bridge::impl::impl(t8::InterfacesThread& arm, const BridgeOptions& options)
    : arm_(arm),
      ns_(checkedNamespace(options.ns)),
      hardware_id_(options.hardware_id),
      period_(checkedPeriod(options.rate_hz)),
      zero_position_(zeroConfigurationPosition(options.urdf_path)),
      node_name_(options.node_name),
      distro_(parseRosDistro(options.ros_distro)),
      frame_prefix_(options.frame_prefix),
      links_(options.urdf_path),
      arm_type_(options.arm_type) {
  checkNodeName(node_name_);
  // ROS 2 participants carry their security enclave in USER_DATA.
  dds_qos_t* participant_qos = makeQos(Delivery::kReliable, 1, "enclave=/;");
  participant_ = Entity(dds_create_participant(checkedDomain(options.domain), participant_qos, nullptr),
                        "the domain participant");
  dds_delete_qos(participant_qos);

  joint_states_ =
      writer(topic(sensor_msgs_msg_dds__JointState__desc, "joint_states"), Delivery::kReliable, 10);
  external_torques_ =
      writer(topic(sensor_msgs_msg_dds__JointState__desc, "external_torques"), Delivery::kReliable, 10);
  ee_pose_ = writer(topic(geometry_msgs_msg_dds__PoseStamped__desc, "ee_pose"), Delivery::kReliable, 10);
  arm_state_ = writer(topic(std_msgs_msg_dds__Int32__desc, "arm_state"), Delivery::kTransientLocal, 1);
  const dds_entity_t diagnostics_topic =
      dds_create_topic(participant_.get(), &diagnostic_msgs_msg_dds__DiagnosticArray__desc, "rt/diagnostics",
                       nullptr, nullptr);
  if (diagnostics_topic < 0) throw std::runtime_error("DDS: cannot create the topic /diagnostics");
  diagnostics_ = writer(diagnostics_topic, Delivery::kReliable, 10);

  reader(topic(trajectory_msgs_msg_dds__JointTrajectory__desc, "joint_command"), Delivery::kBestEffort, 1,
         &impl::onJointCommand);
  reader(topic(geometry_msgs_msg_dds__PoseStamped__desc, "target_pose"), Delivery::kBestEffort, 1,
         &impl::onTargetPose);
  reader(topic(control_msgs_msg_dds__GripperCommand__desc, "gripper_command"), Delivery::kBestEffort, 1,
         &impl::onGripperCommand);
  reader(topic(std_msgs_msg_dds__Int32__desc, "set_arm_state"), Delivery::kReliable, 10,
         &impl::onSetArmState);
  reader(topic(std_msgs_msg_dds__Empty__desc, "recover"), Delivery::kReliable, 10, &impl::onRecover);

  robot_description_ =
      writer(topic(std_msgs_msg_dds__String__desc, "robot_description"), Delivery::kTransientLocal, 1);
  publishDescription(options.urdf_path);
  const auto global_topic = [&](const char* name) {
    const dds_entity_t handle = dds_create_topic(participant_.get(), &tf2_msgs_msg_dds__TFMessage__desc,
                                                 rosTopic("", name).c_str(), nullptr, nullptr);
    if (handle < 0) throw std::runtime_error(std::string("DDS: cannot create the topic /") + name);
    return handle;
  };
  tf_ = writer(global_topic("tf"), Delivery::kReliable, kTfDepth);
  tf_static_ = writer(global_topic("tf_static"), Delivery::kTransientLocal, 1);
  publishTransforms(true, tf_static_);

  const Guid participant_guid = guidOf(participant_.get());
  actions_ = std::make_unique<ArmActions>(
      participant_.get(), ns_, arm_, arm_mutex_, options.arm_type == 2,
      [this, participant_guid] { return serviceId(participant_guid, ++services_); });
  actions_->endpoints(readers_, writers_);
  publishDiscoveryInfo();

  thread_ = std::thread([this] { run(); });
  action_thread_ = std::thread([this] { runActions(); });
}

Bridge::impl::~impl() {
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stop_ = true;
  }
  stop_signal_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (action_thread_.joinable()) action_thread_.join();
  // Deleting the participant deletes every reader and waits for running
  // listeners, so no command reaches the arm afterwards.
  participant_ = Entity();
}

dds_entity_t Bridge::impl::topic(const dds_topic_descriptor_t& type, const std::string& name) {
  const dds_entity_t handle =
      dds_create_topic(participant_.get(), &type, rosTopic(ns_, name).c_str(), nullptr, nullptr);
  if (handle < 0) {
    throw std::runtime_error("DDS: cannot create the topic /" + ns_ + "/" + name + ": " +
                             dds_strretcode(handle));
  }
  return handle;
}

dds_entity_t Bridge::impl::writer(dds_entity_t topic, Delivery delivery, int depth) {
  dds_qos_t* qos = makeQos(delivery, depth);
  const dds_entity_t handle = dds_create_writer(participant_.get(), topic, qos, nullptr);
  dds_delete_qos(qos);
  if (handle < 0)
    throw std::runtime_error(std::string("DDS: cannot create a writer: ") + dds_strretcode(handle));
  writers_.push_back(handle);
  return handle;
}

dds_entity_t Bridge::impl::reader(dds_entity_t topic, Delivery delivery, int depth,
                                  dds_on_data_available_fn on_data) {
  dds_qos_t* qos = makeQos(delivery, depth);
  dds_listener_t* listener = dds_create_listener(this);
  dds_lset_data_available(listener, on_data);
  const dds_entity_t handle = dds_create_reader(participant_.get(), topic, qos, listener);
  dds_delete_listener(listener);
  dds_delete_qos(qos);
  if (handle < 0)
    throw std::runtime_error(std::string("DDS: cannot create a reader: ") + dds_strretcode(handle));
  readers_.push_back(handle);
  return handle;
}

void Bridge::impl::run() {
  pthread_setname_np(pthread_self(), "kav-bridge");
  int published_state = -1;
  auto next = Clock::now();
  auto next_error_look = next;
  auto next_report = next;
  std::unique_lock<std::mutex> stop_lock(stop_mutex_);
  while (!stop_) {
    // Requests that came in while the bridge was busy are one recover.
    const bool recover = std::exchange(recover_requested_, false);
    stop_lock.unlock();
    {
      std::lock_guard<std::mutex> lock(arm_mutex_);
      if (recover) recoverArm();
      publishJointStates();
      publishExternalTorques();
      publishPose();
      const int state = arm_.getArmStatus();
      if (state != published_state) publishArmState(state);
      published_state = state;
      const auto now = Clock::now();
      std::vector<int> new_codes;
      if (recover || now >= next_error_look) {
        new_codes = error_codes_.update(arm_.getErrorCode());
        next_error_look = now + kErrorCodeLook;
      }
      // A recover's outcome is reported at once.
      if (recover || now >= next_report || !new_codes.empty()) {
        publishDiagnostics(new_codes);
        next_report = now + kDiagnosticsPeriod;
      }
    }
    next += period_;
    if (next < Clock::now()) next = Clock::now();  // late: no catching up
    stop_lock.lock();
    stop_signal_.wait_until(stop_lock, next, [this] { return stop_ || recover_requested_; });
  }
}

void Bridge::impl::runActions() {
  pthread_setname_np(pthread_self(), "kav-actions");
  auto next = Clock::now();
  std::unique_lock<std::mutex> stop_lock(stop_mutex_);
  while (!stop_) {
    stop_lock.unlock();
    actions_->tick();
    publishTransforms(false, tf_);
    next += kActionPeriod;
    if (next < Clock::now()) next = Clock::now();
    stop_lock.lock();
    stop_signal_.wait_until(stop_lock, next, [this] { return stop_; });
  }
}

void Bridge::impl::publishTransforms(bool fixed, dds_entity_t writer) {
  std::vector<double> positions;
  if (!fixed) {
    std::lock_guard<std::mutex> lock(arm_mutex_);
    positions = arm_.getJointPositons();
  }
  const auto stamp = wallClockStamp();
  std::vector<std::string> frames;
  std::vector<geometry_msgs_msg_dds__TransformStamped_> transforms;
  const auto& joints = links_.joints();
  frames.reserve(2 * joints.size());
  for (std::size_t i = 0; i < joints.size(); ++i) {
    if (joints[i].fixed != fixed) continue;
    const auto known = std::find(kJointNames.begin(), kJointNames.end(), joints[i].joint);
    const std::size_t index = static_cast<std::size_t>(known - kJointNames.begin());
    const double position = known != kJointNames.end() && index < positions.size() ? positions[index] : 0.0;
    const Eigen::Isometry3d pose = links_.transform(i, position);
    const Eigen::Quaterniond rotation(pose.linear());
    frames.push_back(frame_prefix_ + joints[i].parent);
    frames.push_back(frame_prefix_ + joints[i].child);
    geometry_msgs_msg_dds__TransformStamped_ transform{};
    transform.header.stamp = stamp;
    transform.header.frame_id = text(frames[frames.size() - 2]);
    transform.child_frame_id = text(frames.back());
    transform.transform.translation = {pose.translation().x(), pose.translation().y(),
                                       pose.translation().z()};
    transform.transform.rotation = {rotation.x(), rotation.y(), rotation.z(), rotation.w()};
    transforms.push_back(transform);
  }
  if (fixed && transforms.empty()) return;
  tf2_msgs_msg_dds__TFMessage_ message{};
  message.transforms = sequenceOf<dds_sequence_geometry_msgs_msg_dds__TransformStamped_>(transforms);
  dds_write(writer, &message);
}

void Bridge::impl::publishDescription(const std::string& urdf_path) {
  const std::string description = descriptionText(urdf_path);
  std_msgs_msg_dds__String_ message{text(description)};
  dds_write(robot_description_, &message);
}

void Bridge::impl::publishDiscoveryInfo() {
  const dds_topic_descriptor_t& type = discoveryInfoType(distro_);
  const dds_entity_t topic =
      dds_create_topic(participant_.get(), &type, "ros_discovery_info", nullptr, nullptr);
  if (topic < 0) throw std::runtime_error("DDS: cannot create the topic ros_discovery_info");
  dds_qos_t* qos = makeQos(Delivery::kTransientLocal, 1);
  discovery_ = dds_create_writer(participant_.get(), topic, qos, nullptr);
  dds_delete_qos(qos);
  if (discovery_ < 0) throw std::runtime_error("DDS: cannot create the writer of ros_discovery_info");
  ParticipantEntities entities;
  entities.participant = guidOf(participant_.get());
  entities.node_namespace = "/" + ns_;
  entities.node_name = node_name_;
  for (dds_entity_t reader : readers_) entities.readers.push_back(guidOf(reader));
  for (dds_entity_t writer : writers_) entities.writers.push_back(guidOf(writer));
  withDiscoveryInfo(
      entities, distro_,
      [](const void* sample, void* writer) { dds_write(*static_cast<dds_entity_t*>(writer), sample); },
      &discovery_);
}

void Bridge::impl::publishJointStates() {
  std::vector<double> position = arm_.getJointPositons();
  const auto status = arm_.getJointStatus();
  std::vector<double> velocity(status.size()), effort(status.size());
  for (std::size_t i = 0; i < status.size(); ++i) {
    velocity[i] = status[i].velocity;
    effort[i] = status[i].current;
  }
  writeJointState(joint_states_, config::kMotors, position, velocity, effort);
}

void Bridge::impl::publishExternalTorques() {
  // The torques only: positions and velocities are joint_states'.
  std::vector<double> torques = arm_.getExternalTorques();
  std::vector<double> none;
  writeJointState(external_torques_, config::kArmJoints, none, none, torques);
}

void Bridge::impl::publishPose() {
  const Eigen::Isometry3d pose = arm_.getEndPose();
  const Eigen::Vector3d position = pose.translation() + zero_position_;
  const Eigen::Quaterniond rotation(pose.linear());
  const std::string frame = "base_link";
  geometry_msgs_msg_dds__PoseStamped_ message{};
  message.header.stamp = wallClockStamp();
  message.header.frame_id = text(frame);
  message.pose.position = {position.x(), position.y(), position.z()};
  message.pose.orientation = {rotation.x(), rotation.y(), rotation.z(), rotation.w()};
  dds_write(ee_pose_, &message);
}

void Bridge::impl::publishArmState(int state) {
  std_msgs_msg_dds__Int32_ message{state};
  dds_write(arm_state_, &message);
}

void Bridge::impl::publishDiagnostics(const std::vector<int>& new_codes) {
  const auto now = Clock::now();
  const LoopHealth loop =
      loopHealth(arm_.getCycleTimings(kTimingsPerReport), now, kDiagnosticsPeriod,
                 std::chrono::duration_cast<std::chrono::nanoseconds>(config::kCyclePeriod));
  const std::uint64_t drops = dropped.load();
  const std::set<int>& offline = error_codes_.offlineMotors();

  std::uint8_t level = 0;
  std::vector<std::string> problems;
  if (loop.cycles == 0) problems.push_back("control loop stopped");
  if (!offline.empty()) problems.push_back("motors offline: " + joined(offline));
  // A recovery's own code (176) is listed with the codes, not a problem.
  std::vector<int> faults;
  std::copy_if(new_codes.begin(), new_codes.end(), std::back_inserter(faults),
               [](int code) { return t8::ErrorCode(code).kind() != t8::ErrorCode::Kind::kRecovered; });
  if (!faults.empty()) problems.push_back("error codes: " + meanings(faults));
  if (!problems.empty()) level = 2;
  if (loop.p99_deviation_us && *loop.p99_deviation_us > kLateLoopUs) {
    problems.push_back("control loop late");
    level = std::max<std::uint8_t>(level, 1);
  }
  const bool active = arm_.controlActive();
  if (!active) {
    problems.push_back("control ended");
    level = 2;
  }
  const std::vector<std::uint64_t> implausible = arm_.getDroppedFrames();
  std::uint64_t implausible_total = 0;
  for (std::uint64_t count : implausible) implausible_total += count;
  if (implausible_total > reported_implausible_) {
    problems.push_back(std::to_string(implausible_total - reported_implausible_) +
                       " implausible bus frames dropped");
    level = std::max<std::uint8_t>(level, 1);
  }
  reported_implausible_ = implausible_total;
  if (drops > reported_drops_) {
    problems.push_back(std::to_string(drops - reported_drops_) +
                       " malformed commands dropped: " + last_drop_);
    level = std::max<std::uint8_t>(level, 1);
  }
  reported_drops_ = drops;
  const std::uint64_t clamped = clamped_;  // arm_mutex_ is held here
  if (clamped > reported_clamped_) {
    problems.push_back(std::to_string(clamped - reported_clamped_) + " targets clamped: " + last_clamp_);
    level = std::max<std::uint8_t>(level, 1);
  }
  reported_clamped_ = clamped;
  const bool contact = arm_.contactDetected();
  if (contact) {
    problems.push_back("contact detected");
    level = std::max<std::uint8_t>(level, 1);
  }
  // The reflex's own report names its code; until a recovery the arm stays
  // compliant and follows no target, which every later report says too.
  const bool reflex = error_codes_.reflexHolds();
  if (reflex) {
    problems.push_back("a collision reflex holds the arm compliant until /" + ns_ + "/recover");
    level = 2;
  }
  const std::string recover_failure = recover_outcome_.takeFailure();
  if (!recover_failure.empty()) {
    problems.push_back("recover failed: " + recover_failure);
    level = 2;
  }

  const std::string name = ns_ + ": arm";
  const std::string message_text = problems.empty() ? "OK" : joined(problems);
  const std::vector<std::pair<std::string, std::string>> pairs{
      {"state", stateText(arm_.getArmStatus())},
      {"new error codes", joined(new_codes)},
      {"offline motors", joined(offline)},
      {"p99 period deviation [us]", microseconds(loop.p99_deviation_us)},
      {"p99 Update duration [us]", microseconds(loop.p99_update_us)},
      {"commands dropped as malformed", std::to_string(drops)},
      {"targets clamped", std::to_string(clamped)},
      {"control active", active ? "true" : "false"},
      {"bus frames dropped per motor", joined(implausible)},
      {"contact detected", contact ? "true" : "false"},
      {"reflex active", reflex ? "true" : "false"},
      {"last reflex", arm_.lastReflex()},
      {"last recover", recover_outcome_.last()},
  };
  std::vector<diagnostic_msgs_msg_dds__KeyValue_> values;
  for (const auto& [key, value] : pairs) values.push_back({text(key), text(value)});

  diagnostic_msgs_msg_dds__DiagnosticStatus_ status{};
  status.level = level;
  status.name = text(name);
  status.message = text(message_text);
  status.hardware_id = text(hardware_id_);
  status.values = {static_cast<std::uint32_t>(values.size()), static_cast<std::uint32_t>(values.size()),
                   values.data(), false};
  const std::string frame;
  diagnostic_msgs_msg_dds__DiagnosticArray_ message{};
  message.header.stamp = wallClockStamp();
  message.header.frame_id = text(frame);
  message.status = {1, 1, &status, false};
  dds_write(diagnostics_, &message);
}

template <class Apply>
void Bridge::impl::command(Apply apply) {
  std::lock_guard<std::mutex> lock(arm_mutex_);
  try {
    apply();
  } catch (const std::invalid_argument& error) {
    dropped.fetch_add(1);
    last_drop_ = error.what();
    std::fprintf(stderr, "kav_bridge: dropped a command: %s\n", error.what());
  } catch (const std::exception& error) {
    // Nothing may escape into the DDS library's thread.
    std::fprintf(stderr, "kav_bridge: a command failed: %s\n", error.what());
  }
}

void Bridge::impl::noteClamped(const std::string& notes) {
  if (notes.empty()) return;
  ++clamped_;
  last_clamp_ = notes;
  std::fprintf(stderr, "kav_bridge: clamped a target: %s\n", notes.c_str());
}

void Bridge::impl::onJointCommand(dds_entity_t reader, void* self) {
  auto& bridge = *static_cast<impl*>(self);
  takeAll<trajectory_msgs_msg_dds__JointTrajectory_>(reader, [&](const auto& message, const auto&) {
    bridge.command([&] {
      const JointCommand command = parseJointCommand(message);
      if (command.streamed) {
        bridge.stream_.reset();
        bridge.arm_.setJointPositions(command.points.front().positions);
        bridge.noteClamped(clampedJointTargets(command.points.front().positions));
      } else {
        // As a servo node streams them: joined without a stop between
        // messages. Each plan is checked as a whole by the library (limits,
        // times) before anything moves.
        const builtin_interfaces_msg_dds__Time_& stamp = message.header.stamp;
        const double now =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        bridge.stream_.follow(command.points, stamp.sec + stamp.nanosec * 1e-9, now,
                              [&](const std::vector<motion::TrajectoryPoint>& points) {
                                bridge.arm_.followJointTrajectory(points);
                              });
      }
    });
  });
}

void Bridge::impl::onTargetPose(dds_entity_t reader, void* self) {
  auto& bridge = *static_cast<impl*>(self);
  takeAll<geometry_msgs_msg_dds__PoseStamped_>(reader, [&](const auto& message, const auto&) {
    bridge.command([&] { bridge.arm_.setEndPose(parseTargetPose(message, bridge.zero_position_)); });
  });
}

void Bridge::impl::onGripperCommand(dds_entity_t reader, void* self) {
  auto& bridge = *static_cast<impl*>(self);
  takeAll<control_msgs_msg_dds__GripperCommand_>(reader, [&](const auto& message, const auto&) {
    bridge.command([&] {
      const double position = parseGripperCommand(message);
      bridge.arm_.setCatch(position);
      bridge.noteClamped(clampedGripperTarget(position, bridge.arm_type_));
    });
  });
}

void Bridge::impl::onSetArmState(dds_entity_t reader, void* self) {
  auto& bridge = *static_cast<impl*>(self);
  takeAll<std_msgs_msg_dds__Int32_>(reader, [&](const auto& message, const auto&) {
    bridge.command([&] { bridge.arm_.setArmStatus(parseArmState(message)); });
  });
}

void Bridge::impl::onRecover(dds_entity_t reader, void* self) {
  auto& bridge = *static_cast<impl*>(self);
  bool requested = false;
  takeAll<std_msgs_msg_dds__Empty_>(reader, [&](const auto&, const auto&) { requested = true; });
  if (!requested) return;
  {
    std::lock_guard<std::mutex> lock(bridge.stop_mutex_);
    bridge.recover_requested_ = true;
  }
  bridge.stop_signal_.notify_all();
}

void Bridge::impl::recoverArm() {
  try {
    arm_.recover();
    recover_outcome_.succeeded();
    std::printf("kav_bridge: recovered, holding the present pose in POSITION_CONTROL\n");
  } catch (const std::exception& error) {
    recover_outcome_.failed(error.what());
    std::fprintf(stderr, "kav_bridge: recover failed: %s\n", error.what());
  }
}

void checkOptions(const BridgeOptions& options) {
  checkedNamespace(options.ns);
  checkNodeName(options.node_name);
  parseRosDistro(options.ros_distro);
  checkedPeriod(options.rate_hz);
  checkedDomain(options.domain);
}

Bridge::Bridge(t8::InterfacesThread& arm, const BridgeOptions& options) : pimpl(new impl(arm, options)) {}

Bridge::~Bridge() = default;

std::uint64_t Bridge::droppedCommands() const { return pimpl->dropped.load(); }

}  // namespace bridge
}  // namespace kav
