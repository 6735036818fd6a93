#include "Actions.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <stdexcept>

#include "Commands.h"
#include "Dds.h"
#include "FollowGoal.h"
#include "Service.h"
#include "action_msgs.h"
#include "config/ArmConfig.h"
#include "control_msgs.h"
#include "controller/ControllerBase.h"
#include "interfaces/InterfacesThread.h"

namespace kav {
namespace bridge {

namespace {

using Clock = std::chrono::steady_clock;
using GoalId = std::array<std::uint8_t, 16>;

// action_msgs/msg/GoalStatus
enum Status : std::int8_t {
  kUnknown = 0,
  kAccepted = 1,
  kExecuting = 2,
  kCanceling = 3,
  kSucceeded = 4,
  kCanceled = 5,
  kAborted = 6,
};
// action_msgs/srv/CancelGoal return codes
enum CancelCode : std::int8_t { kCancelNone = 0, kCancelRejected = 1, kUnknownGoal = 2, kGoalTerminated = 3 };

constexpr int kGoHome = 1;
constexpr int kPositionControl = 5;
// Ended and refused goals kept for get_result, and get_result requests kept
// waiting per running goal.
constexpr std::size_t kKeptGoals = 32;
constexpr std::size_t kWaitingResults = 16;
// The gripper: at the goal within this, stalled after this long without
// this much progress.
constexpr double kGripperReached = 0.05;
constexpr double kGripperProgress = 0.005;
constexpr std::chrono::milliseconds kGripperStall{500};

// The torque-driven gripper's law (config::kGripperPositionGain toward the
// target) with the goal's limit.
double gripperTorque(double target, double position, double max_effort) {
  return std::clamp(config::kGripperPositionGain * (target - position), -max_effort, max_effort);
}

// The hand-over from the constructing thread to the DDS threads that run the
// request listeners: the constructor holds it while it installs them, every
// listener passes through it first. (The DDS library's own locking orders
// this too, but ThreadSanitizer does not see into the library.)
std::mutex handoff;

void afterHandoff() { std::lock_guard<std::mutex> lock(handoff); }

GoalId goalId(const unique_identifier_msgs_msg_dds__UUID_& uuid) {
  GoalId id;
  std::memcpy(id.data(), uuid.uuid, id.size());
  return id;
}

bool isZero(const GoalId& id) {
  return std::all_of(id.begin(), id.end(), [](std::uint8_t byte) { return byte == 0; });
}

double seconds(const builtin_interfaces_msg_dds__Time_& time) { return time.sec + time.nanosec * 1e-9; }

motion::JointArray arm6(const std::vector<double>& values) {
  motion::JointArray result{};
  for (int i = 0; i < motion::kJoints && i < static_cast<int>(values.size()); ++i) result[i] = values[i];
  return result;
}

// One goal of an action: its status and, once ended, its result.
struct Goal {
  GoalId id{};
  builtin_interfaces_msg_dds__Time_ stamp{};
  Status status = kUnknown;
  std::int32_t error_code = 0;  // FollowJointTrajectory
  std::string error_string;
  double position = 0.0, effort = 0.0;  // GripperCommand
  bool stalled = false, reached = false;
  std::vector<std::pair<dds_instance_handle_t, RequestHeader>> waiting;  // get_result requests
  bool ended() const { return status >= kSucceeded; }
  // Ended, or refused: never to change again.
  bool settled() const { return ended() || status == kUnknown; }
};

// The goals of one action, its status topic, the get_result replies and the
// cancel_goal service. Every member runs under the owner's mutex.
class GoalBook {
 public:
  using SendResult = std::function<void(const Goal&, dds_instance_handle_t, const RequestHeader&)>;
  using Cancel = std::function<void(Goal&)>;

  GoalBook(dds_entity_t participant, const std::string& ns, const std::string& action, std::mutex& mutex,
           const std::function<std::string()>& next_service_id, SendResult send_result, Cancel cancel)
      : mutex_(mutex), send_result_(std::move(send_result)), cancel_(std::move(cancel)) {
    const std::string name = rosTopic(ns, action + "/_action/status");
    const dds_entity_t topic = dds_create_topic(participant, &action_msgs_msg_dds__GoalStatusArray__desc,
                                                name.c_str(), nullptr, nullptr);
    if (topic < 0) throw std::runtime_error("DDS: cannot create the topic " + name);
    dds_qos_t* qos = makeQos(Delivery::kTransientLocal, 1);
    status_ = dds_create_writer(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (status_ < 0) throw std::runtime_error("DDS: cannot create the writer of " + name);
    cancel_service_ = ServiceServer(participant, action_msgs_srv_dds__CancelGoal_Request__desc,
                                    action_msgs_srv_dds__CancelGoal_Response__desc, ns,
                                    action + "/_action/cancel_goal", next_service_id());
  }

  Goal* find(const GoalId& id) {
    for (Goal& goal : goals_) {
      if (goal.id == id) return &goal;
    }
    return nullptr;
  }

  Goal& add(const GoalId& id, Status status) {
    goals_.push_back(Goal{});
    Goal& goal = goals_.back();
    goal.id = id;
    goal.stamp = wallClockStamp();
    goal.status = status;
    while (goals_.size() > kKeptGoals) {
      const auto oldest =
          std::find_if(goals_.begin(), goals_.end(), [](const Goal& kept) { return kept.settled(); });
      if (oldest == goals_.end()) break;
      goals_.erase(oldest);
    }
    if (status != kUnknown) publishStatus();
    return goals_.back();
  }

  void setStatus(Goal& goal, Status status) {
    goal.status = status;
    publishStatus();
  }

  // Ends @p goal with @p status (its result filled by the caller) and answers
  // the get_result requests waiting for it.
  void end(Goal& goal, Status status) {
    setStatus(goal, status);
    for (const auto& [writer, header] : goal.waiting) send_result_(goal, writer, header);
    goal.waiting.clear();
  }

  void result(const GoalId& id, dds_instance_handle_t writer, const RequestHeader& header) {
    Goal* goal = find(id);
    if (goal == nullptr) {
      Goal unknown;
      unknown.id = id;
      send_result_(unknown, writer, header);
    } else if (goal->settled()) {
      send_result_(*goal, writer, header);
    } else {
      if (goal->waiting.size() >= kWaitingResults) goal->waiting.erase(goal->waiting.begin());
      goal->waiting.emplace_back(writer, header);
    }
  }

  void listen() { cancel_service_.listen(&GoalBook::onCancel, this); }
  // Answers the requests that came before listen().
  void drain() { onCancel(cancel_service_.requests(), this); }

  void endpoints(std::vector<dds_entity_t>& readers, std::vector<dds_entity_t>& writers) const {
    readers.push_back(cancel_service_.requests());
    writers.push_back(cancel_service_.replies());
    writers.push_back(status_);
  }

 private:
  void publishStatus() {
    std::vector<action_msgs_msg_dds__GoalStatus_> list;
    for (const Goal& goal : goals_) {
      if (goal.status == kUnknown) continue;  // refused: never a goal of the action
      action_msgs_msg_dds__GoalStatus_ status{};
      std::memcpy(status.goal_info.goal_id.uuid, goal.id.data(), goal.id.size());
      status.goal_info.stamp = goal.stamp;
      status.status = goal.status;
      list.push_back(status);
    }
    action_msgs_msg_dds__GoalStatusArray_ message{};
    message.status_list = sequenceOf<dds_sequence_action_msgs_msg_dds__GoalStatus_>(list);
    dds_write(status_, &message);
  }

  // A zero id cancels every goal; a non-zero stamp also every goal accepted
  // at or before it.
  static void onCancel(dds_entity_t reader, void* self) {
    afterHandoff();
    auto& book = *static_cast<GoalBook*>(self);
    takeAll<action_msgs_srv_dds__CancelGoal_Request_>(reader, [&](const auto& request, const auto& info) {
      action_msgs_srv_dds__CancelGoal_Response_ response{};
      response.guid = request.guid;
      response.seq = request.seq;
      std::vector<action_msgs_msg_dds__GoalInfo_> canceling;
      {
        std::lock_guard<std::mutex> lock(book.mutex_);
        const GoalId id = goalId(request.goal_info.goal_id);
        const double stamp = seconds(request.goal_info.stamp);
        response.return_code = kCancelNone;
        if (!isZero(id)) {
          const Goal* goal = book.find(id);
          if (goal == nullptr || goal->status == kUnknown)
            response.return_code = kUnknownGoal;
          else if (goal->ended())
            response.return_code = kGoalTerminated;
        }
        for (Goal& goal : book.goals_) {
          const bool named = isZero(id) ? stamp == 0.0 : goal.id == id;
          const bool before = stamp != 0.0 && seconds(goal.stamp) <= stamp;
          if (!(named || before) || goal.status == kUnknown || goal.ended()) continue;
          if (goal.status != kCanceling) book.cancel_(goal);
          canceling.push_back({{}, goal.stamp});
          std::memcpy(canceling.back().goal_id.uuid, goal.id.data(), goal.id.size());
        }
        if (response.return_code == kCancelNone && canceling.empty() && isZero(id)) {
          response.return_code = kCancelRejected;
        }
      }
      response.goals_canceling = sequenceOf<dds_sequence_action_msgs_msg_dds__GoalInfo_>(canceling);
      book.cancel_service_.reply(&response, info.publication_handle);
    });
  }

  std::mutex& mutex_;
  SendResult send_result_;
  Cancel cancel_;
  std::deque<Goal> goals_;
  dds_entity_t status_ = 0;
  ServiceServer cancel_service_;
};

// The endpoints every action has besides its GoalBook.
struct ActionEndpoints {
  ServiceServer send_goal, get_result;
  dds_entity_t feedback = 0;

  ActionEndpoints(dds_entity_t participant, const std::string& ns, const std::string& action,
                  const std::function<std::string()>& next_service_id,
                  const dds_topic_descriptor_t& goal_request, const dds_topic_descriptor_t& goal_reply,
                  const dds_topic_descriptor_t& result_request, const dds_topic_descriptor_t& result_reply,
                  const dds_topic_descriptor_t& feedback_type)
      : send_goal(participant, goal_request, goal_reply, ns, action + "/_action/send_goal",
                  next_service_id()),
        get_result(participant, result_request, result_reply, ns, action + "/_action/get_result",
                   next_service_id()) {
    const std::string name = rosTopic(ns, action + "/_action/feedback");
    const dds_entity_t topic = dds_create_topic(participant, &feedback_type, name.c_str(), nullptr, nullptr);
    if (topic < 0) throw std::runtime_error("DDS: cannot create the topic " + name);
    dds_qos_t* qos = makeQos(Delivery::kReliable, 10);
    feedback = dds_create_writer(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (feedback < 0) throw std::runtime_error("DDS: cannot create the writer of " + name);
  }

  void listen(dds_on_data_available_fn on_goal, dds_on_data_available_fn on_result, void* arg) const {
    send_goal.listen(on_goal, arg);
    get_result.listen(on_result, arg);
  }

  void endpoints(std::vector<dds_entity_t>& readers, std::vector<dds_entity_t>& writers) const {
    for (const ServiceServer* service : {&send_goal, &get_result}) {
      readers.push_back(service->requests());
      writers.push_back(service->replies());
    }
    writers.push_back(feedback);
  }
};

}  // namespace

class ArmActions::impl {
 public:
  impl(dds_entity_t participant, const std::string& ns, t8::InterfacesThread& arm, std::mutex& arm_mutex,
       bool gripper_by_position, const std::function<std::string()>& next_service_id);

  void tick();
  void endpoints(std::vector<dds_entity_t>& readers, std::vector<dds_entity_t>& writers) const;

 private:
  struct Following {
    GoalId id;
    FollowTracker tracker;
    Clock::time_point start;
  };
  struct Gripping {
    GoalId id;
    double target;
    double max_effort;  // 0: the library's law and limit
    double progress_position;
    Clock::time_point progress_time;
  };

  static void onFollowGoal(dds_entity_t reader, void* self);
  static void onFollowResult(dds_entity_t reader, void* self);
  static void onGripperGoal(dds_entity_t reader, void* self);
  static void onGripperResult(dds_entity_t reader, void* self);

  // Runs a new trajectory goal; returns false with the result filled when refused.
  bool startFollowing(const control_msgs_action_dds__FollowJointTrajectory_SendGoal_Request_& request);
  bool startGripping(const control_msgs_action_dds__GripperCommand_SendGoal_Request_& request);
  void tickFollowing();
  void tickGripping();
  void endFollowing(Status status, std::int32_t code, const std::string& text);
  void endGripping(Status status, double position, double effort, bool stalled, bool reached);

  // The gripper's target as setCatch takes it for a measured @p position.
  double catchTarget(double position) const;

  t8::InterfacesThread& arm_;
  std::mutex& arm_mutex_;
  const bool gripper_by_position_;
  // Goals, their books and the running goals (order: mutex_, then arm_mutex_).
  std::mutex mutex_;
  GoalBook follow_book_, gripper_book_;
  ActionEndpoints follow_, gripper_;
  std::optional<Following> following_;
  bool follow_canceling_ = false;
  std::optional<Gripping> gripping_;
};

namespace {

// Answers every send_goal request waiting at @p reader: @p accept decides
// (under @p mutex), the reply echoes the request's header.
template <class Request, class Response, class Accept>
void answerGoals(dds_entity_t reader, std::mutex& mutex, const ServiceServer& service, Accept accept) {
  takeAll<Request>(reader, [&](const Request& request, const dds_sample_info_t& info) {
    Response response{};
    response.guid = request.guid;
    response.seq = request.seq;
    {
      std::lock_guard<std::mutex> lock(mutex);
      response.accepted = accept(request);
      response.stamp = wallClockStamp();
    }
    service.reply(&response, info.publication_handle);
  });
}

// Hands every get_result request waiting at @p reader to @p book.
template <class Request>
void answerResults(dds_entity_t reader, std::mutex& mutex, GoalBook& book) {
  takeAll<Request>(reader, [&](const Request& request, const dds_sample_info_t& info) {
    std::lock_guard<std::mutex> lock(mutex);
    book.result(goalId(request.goal_id), info.publication_handle, RequestHeader{request.guid, request.seq});
  });
}

template <class Response>
Response resultHeader(const RequestHeader& header, const Goal& goal) {
  Response response{};
  response.guid = header.guid;
  response.seq = header.seq;
  response.status = goal.status;
  return response;
}

}  // namespace

ArmActions::impl::impl(dds_entity_t participant, const std::string& ns, t8::InterfacesThread& arm,
                       std::mutex& arm_mutex, bool gripper_by_position,
                       const std::function<std::string()>& next_service_id)
    : arm_(arm),
      arm_mutex_(arm_mutex),
      gripper_by_position_(gripper_by_position),
      follow_book_(
          participant, ns, "follow_joint_trajectory", mutex_, next_service_id,
          [this](const Goal& goal, dds_instance_handle_t writer, const RequestHeader& header) {
            auto response = resultHeader<control_msgs_action_dds__FollowJointTrajectory_GetResult_Response_>(
                header, goal);
            response.result.error_code = goal.error_code;
            response.result.error_string = text(goal.error_string);
            follow_.get_result.reply(&response, writer);
          },
          [this](Goal& goal) {
            // The goal ends canceled once the arm has come to rest.
            std::lock_guard<std::mutex> lock(arm_mutex_);
            arm_.stopMotion();
            follow_canceling_ = true;
            follow_book_.setStatus(goal, kCanceling);
          }),
      gripper_book_(
          participant, ns, "gripper_cmd", mutex_, next_service_id,
          [this](const Goal& goal, dds_instance_handle_t writer, const RequestHeader& header) {
            auto response =
                resultHeader<control_msgs_action_dds__GripperCommand_GetResult_Response_>(header, goal);
            response.result = {goal.position, goal.effort, goal.stalled, goal.reached};
            gripper_.get_result.reply(&response, writer);
          },
          [this](Goal& goal) {
            // The gripper stays where it is.
            double position = 0.0, effort = 0.0;
            {
              std::lock_guard<std::mutex> lock(arm_mutex_);
              position = arm_.getJointPositons()[config::kArmJoints];
              effort = arm_.getJointCurrent()[config::kArmJoints];
              if (arm_.controlActive()) arm_.setCatch(catchTarget(position));
            }
            gripper_book_.setStatus(goal, kCanceling);
            endGripping(kCanceled, position, effort, false, false);
          }),
      follow_(participant, ns, "follow_joint_trajectory", next_service_id,
              control_msgs_action_dds__FollowJointTrajectory_SendGoal_Request__desc,
              control_msgs_action_dds__FollowJointTrajectory_SendGoal_Response__desc,
              control_msgs_action_dds__FollowJointTrajectory_GetResult_Request__desc,
              control_msgs_action_dds__FollowJointTrajectory_GetResult_Response__desc,
              control_msgs_action_dds__FollowJointTrajectory_FeedbackMessage__desc),
      gripper_(participant, ns, "gripper_cmd", next_service_id,
               control_msgs_action_dds__GripperCommand_SendGoal_Request__desc,
               control_msgs_action_dds__GripperCommand_SendGoal_Response__desc,
               control_msgs_action_dds__GripperCommand_GetResult_Request__desc,
               control_msgs_action_dds__GripperCommand_GetResult_Response__desc,
               control_msgs_action_dds__GripperCommand_FeedbackMessage__desc) {
  {
    std::lock_guard<std::mutex> lock(handoff);
    follow_book_.listen();
    gripper_book_.listen();
    follow_.listen(&impl::onFollowGoal, &impl::onFollowResult, this);
    gripper_.listen(&impl::onGripperGoal, &impl::onGripperResult, this);
  }
  // Requests that came before the listeners.
  follow_book_.drain();
  gripper_book_.drain();
  onFollowGoal(follow_.send_goal.requests(), this);
  onFollowResult(follow_.get_result.requests(), this);
  onGripperGoal(gripper_.send_goal.requests(), this);
  onGripperResult(gripper_.get_result.requests(), this);
}

void ArmActions::impl::endpoints(std::vector<dds_entity_t>& readers,
                                 std::vector<dds_entity_t>& writers) const {
  follow_.endpoints(readers, writers);
  follow_book_.endpoints(readers, writers);
  gripper_.endpoints(readers, writers);
  gripper_book_.endpoints(readers, writers);
}

// ------------------------------------------------------------ FollowJointTrajectory

void ArmActions::impl::onFollowGoal(dds_entity_t reader, void* self) {
  afterHandoff();
  auto& actions = *static_cast<impl*>(self);
  answerGoals<control_msgs_action_dds__FollowJointTrajectory_SendGoal_Request_,
              control_msgs_action_dds__FollowJointTrajectory_SendGoal_Response_>(
      reader, actions.mutex_, actions.follow_.send_goal,
      [&](const auto& request) { return actions.startFollowing(request); });
}

bool ArmActions::impl::startFollowing(
    const control_msgs_action_dds__FollowJointTrajectory_SendGoal_Request_& request) {
  const GoalId id = goalId(request.goal_id);
  if (follow_book_.find(id) != nullptr) return false;  // an id is used once
  std::int32_t code = kInvalidGoal;
  std::string why;
  try {
    std::lock_guard<std::mutex> lock(arm_mutex_);
    if (!arm_.controlActive()) throw GoalRefused(kInvalidGoal, "control has ended on a fault");
    const int state = arm_.getArmStatus();
    if (state != kGoHome && state != kPositionControl) {
      throw GoalRefused(kInvalidGoal, "the arm is in state " + std::to_string(state) + " " +
                                          t8::ControllerBase::stateName(state) +
                                          "; goals run from GO_HOME or POSITION_CONTROL");
    }
    motion::JointSample start;
    start.position = arm6(arm_.getJointPositons());
    start.velocity = arm6(arm_.getJointVelocities());
    FollowPlan plan = checkFollowGoal(request.goal, start.position, seconds(wallClockStamp()));
    // The library checks limits and times as a whole before anything moves,
    // and takes a running trajectory over from the present set-point.
    arm_.followJointTrajectory(plan.points);
    if (following_) {
      endFollowing(kAborted, kInvalidGoal, "preempted by a newer goal");
    }
    follow_canceling_ = false;
    following_.emplace(Following{id, FollowTracker(std::move(plan), start), Clock::now()});
    follow_book_.add(id, kExecuting);
    return true;
  } catch (const GoalRefused& refused) {
    code = refused.code;
    why = refused.what();
  } catch (const std::exception& error) {
    why = error.what();
  }
  std::fprintf(stderr, "kav_bridge: refused a follow_joint_trajectory goal: %s\n", why.c_str());
  Goal& refused = follow_book_.add(id, kUnknown);
  refused.error_code = code;
  refused.error_string = why;
  return false;
}

void ArmActions::impl::onFollowResult(dds_entity_t reader, void* self) {
  afterHandoff();
  auto& actions = *static_cast<impl*>(self);
  answerResults<control_msgs_action_dds__FollowJointTrajectory_GetResult_Request_>(reader, actions.mutex_,
                                                                                   actions.follow_book_);
}

void ArmActions::impl::endFollowing(Status status, std::int32_t code, const std::string& text) {
  Goal* goal = follow_book_.find(following_->id);
  following_.reset();
  follow_canceling_ = false;
  if (goal == nullptr) return;
  goal->error_code = code;
  goal->error_string = text;
  follow_book_.end(*goal, status);
}

void ArmActions::impl::tickFollowing() {
  if (!following_) return;
  std::vector<double> positions, velocities;
  bool active = false, done = false;
  int state = 0;
  {
    std::lock_guard<std::mutex> lock(arm_mutex_);
    active = arm_.controlActive();
    positions = arm_.getJointPositons();
    velocities = arm_.getJointVelocities();
    state = arm_.getArmStatus();
    done = arm_.motionDone();
  }
  if (!active) {
    endFollowing(kAborted, kPathToleranceViolated, "control ended on a fault; the arm is held in damping");
    return;
  }
  if (follow_canceling_) {
    if (done) endFollowing(kCanceled, kSuccessful, "canceled");
    return;
  }
  if (state != kPositionControl) {
    endFollowing(kAborted, kPathToleranceViolated,
                 "the arm left POSITION_CONTROL for state " + std::to_string(state));
    return;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - following_->start).count();
  const motion::JointArray position = arm6(positions), velocity = arm6(velocities);
  const motion::JointSample desired = following_->tracker.desired(elapsed);

  std::vector<char*> names;
  for (int i = 0; i < motion::kJoints; ++i) names.push_back(text(kJointNames[i]));
  std::vector<double> want(desired.position.begin(), desired.position.end());
  std::vector<double> want_velocity(desired.velocity.begin(), desired.velocity.end());
  std::vector<double> have(position.begin(), position.end()), have_velocity(velocity.begin(), velocity.end());
  std::vector<double> error(motion::kJoints), error_velocity(motion::kJoints);
  for (int i = 0; i < motion::kJoints; ++i) {
    error[i] = want[i] - have[i];
    error_velocity[i] = want_velocity[i] - have_velocity[i];
  }
  const auto duration = [&](double t) {
    const double whole = std::floor(t);
    return builtin_interfaces_msg_dds__Duration_{static_cast<std::int32_t>(whole),
                                                 static_cast<std::uint32_t>((t - whole) * 1e9)};
  };
  const std::string frame;
  control_msgs_action_dds__FollowJointTrajectory_FeedbackMessage_ message{};
  std::memcpy(message.goal_id.uuid, following_->id.data(), following_->id.size());
  auto& feedback = message.feedback;
  feedback.header.stamp = wallClockStamp();
  feedback.header.frame_id = text(frame);
  feedback.joint_names = sequenceOf<dds_sequence_string>(names);
  feedback.desired.positions = sequenceOf<dds_sequence_double>(want);
  feedback.desired.velocities = sequenceOf<dds_sequence_double>(want_velocity);
  feedback.desired.time_from_start = duration(elapsed);
  feedback.actual.positions = sequenceOf<dds_sequence_double>(have);
  feedback.actual.velocities = sequenceOf<dds_sequence_double>(have_velocity);
  feedback.actual.time_from_start = duration(elapsed);
  feedback.error.positions = sequenceOf<dds_sequence_double>(error);
  feedback.error.velocities = sequenceOf<dds_sequence_double>(error_velocity);
  feedback.error.time_from_start = duration(elapsed);
  dds_write(follow_.feedback, &message);

  std::string why;
  switch (following_->tracker.update(elapsed, position, velocity, why)) {
    case FollowTracker::State::kRunning:
      break;
    case FollowTracker::State::kSucceeded:
      endFollowing(kSucceeded, kSuccessful, "");
      break;
    case FollowTracker::State::kPathViolated: {
      std::lock_guard<std::mutex> lock(arm_mutex_);
      arm_.stopMotion();
    }
      endFollowing(kAborted, kPathToleranceViolated, why);
      break;
    case FollowTracker::State::kGoalViolated:
      endFollowing(kAborted, kGoalToleranceViolated, why);
      break;
  }
}

// ------------------------------------------------------------ GripperCommand

void ArmActions::impl::onGripperGoal(dds_entity_t reader, void* self) {
  afterHandoff();
  auto& actions = *static_cast<impl*>(self);
  answerGoals<control_msgs_action_dds__GripperCommand_SendGoal_Request_,
              control_msgs_action_dds__GripperCommand_SendGoal_Response_>(
      reader, actions.mutex_, actions.gripper_.send_goal,
      [&](const auto& request) { return actions.startGripping(request); });
}

bool ArmActions::impl::startGripping(
    const control_msgs_action_dds__GripperCommand_SendGoal_Request_& request) {
  const GoalId id = goalId(request.goal_id);
  if (gripper_book_.find(id) != nullptr) return false;  // an id is used once
  const auto& command = request.goal.command;
  double position = 0.0;
  // A limit below the library's own: the bridge runs the gripper's law in
  // torque mode itself (tickGripping). The position-driven gripper has no
  // torque to limit.
  const bool limited =
      !gripper_by_position_ && command.max_effort > 0.0 && command.max_effort < config::kGripperTorqueLimit;
  try {
    if (!std::isfinite(command.max_effort)) throw std::invalid_argument("max_effort is not finite");
    if (!std::isfinite(command.position)) throw std::invalid_argument("the position is not finite");
    std::lock_guard<std::mutex> lock(arm_mutex_);
    if (!arm_.controlActive()) throw std::invalid_argument("control has ended on a fault");
    position = arm_.getJointPositons()[config::kArmJoints];
    if (limited) {
      arm_.setCatchTorque(gripperTorque(command.position, position, command.max_effort));
    } else {
      arm_.setCatch(catchTarget(command.position));
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kav_bridge: refused a gripper_cmd goal: %s\n", error.what());
    gripper_book_.add(id, kUnknown);
    return false;
  }
  if (gripping_) endGripping(kAborted, position, 0.0, false, false);
  gripping_.emplace(
      Gripping{id, command.position, limited ? command.max_effort : 0.0, position, Clock::now()});
  gripper_book_.add(id, kExecuting);
  return true;
}

void ArmActions::impl::onGripperResult(dds_entity_t reader, void* self) {
  afterHandoff();
  auto& actions = *static_cast<impl*>(self);
  answerResults<control_msgs_action_dds__GripperCommand_GetResult_Request_>(reader, actions.mutex_,
                                                                            actions.gripper_book_);
}

void ArmActions::impl::endGripping(Status status, double position, double effort, bool stalled,
                                   bool reached) {
  if (!gripping_) return;
  Goal* goal = gripper_book_.find(gripping_->id);
  gripping_.reset();
  if (goal == nullptr) return;
  goal->position = position;
  goal->effort = effort;
  goal->stalled = stalled;
  goal->reached = reached;
  gripper_book_.end(*goal, status);
}

void ArmActions::impl::tickGripping() {
  if (!gripping_) return;
  double position = 0.0, effort = 0.0;
  bool active = false;
  const auto now = Clock::now();
  bool reached = false;
  {
    std::lock_guard<std::mutex> lock(arm_mutex_);
    active = arm_.controlActive();
    position = arm_.getJointPositons()[config::kArmJoints];
    effort = arm_.getJointCurrent()[config::kArmJoints];
    reached = std::fabs(position - gripping_->target) <= kGripperReached;
    if (active && gripping_->max_effort > 0.0) {
      // Arrived: the library's law holds the gripper there. On the way (and
      // when stalled on an object) the limited torque drives it.
      if (reached) {
        arm_.setCatch(catchTarget(gripping_->target));
      } else {
        arm_.setCatchTorque(gripperTorque(gripping_->target, position, gripping_->max_effort));
      }
    }
  }
  if (std::fabs(position - gripping_->progress_position) > kGripperProgress) {
    gripping_->progress_position = position;
    gripping_->progress_time = now;
  }
  const bool stalled = !reached && now - gripping_->progress_time > kGripperStall;
  control_msgs_action_dds__GripperCommand_FeedbackMessage_ message{};
  std::memcpy(message.goal_id.uuid, gripping_->id.data(), gripping_->id.size());
  message.feedback = {position, effort, stalled, reached};
  dds_write(gripper_.feedback, &message);
  if (!active) {
    endGripping(kAborted, position, effort, false, false);
  } else if (reached) {
    endGripping(kSucceeded, position, effort, false, true);
  } else if (stalled) {
    endGripping(kAborted, position, effort, true, false);
  }
}

double ArmActions::impl::catchTarget(double position) const {
  return gripper_by_position_ ? position : position + config::kGripperOffset;
}

void ArmActions::impl::tick() {
  std::lock_guard<std::mutex> lock(mutex_);
  tickFollowing();
  tickGripping();
}

ArmActions::ArmActions(dds_entity_t participant, const std::string& ns, t8::InterfacesThread& arm,
                       std::mutex& arm_mutex, bool gripper_by_position,
                       const std::function<std::string()>& next_service_id)
    : pimpl(new impl(participant, ns, arm, arm_mutex, gripper_by_position, next_service_id)) {}

ArmActions::~ArmActions() = default;

void ArmActions::tick() { pimpl->tick(); }

void ArmActions::endpoints(std::vector<dds_entity_t>& readers, std::vector<dds_entity_t>& writers) const {
  pimpl->endpoints(readers, writers);
}

}  // namespace bridge
}  // namespace kav
