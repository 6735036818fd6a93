#pragma once
// An action client of the test peer, laid out as ROS 2's Cyclone DDS
// middleware lays out its clients: requests start with the header
// {guid, seq}, the request writer and reply reader carry "clientid=" in
// USER_DATA, and a reply counts only with this client's guid and the
// request's number. Shared by the dds tests and the action benchmark.

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "RosPeer.h"

namespace kav_test {

using unique_identifier_msgs::msg::dds_::UUID_;

/// A goal id whose last byte is @p n.
inline UUID_ uuid(int n) {
  UUID_ id;
  std::array<std::uint8_t, 16> bytes{};
  bytes[0] = 0xa5;
  bytes[15] = static_cast<std::uint8_t>(n);
  id.uuid(bytes);
  return id;
}

inline builtin_interfaces::msg::dds_::Duration_ duration(double seconds) {
  builtin_interfaces::msg::dds_::Duration_ time;
  time.sec(static_cast<std::int32_t>(std::floor(seconds)));
  time.nanosec(static_cast<std::uint32_t>(std::lround((seconds - std::floor(seconds)) * 1e9)));
  return time;
}

/// A goal as MoveIt sends it: the start state at time 0, then the points.
inline control_msgs::action::dds_::FollowJointTrajectory_Goal_ goal(
    const std::vector<std::string>& names, const std::vector<std::vector<double>>& points,
    const std::vector<double>& times) {
  control_msgs::action::dds_::FollowJointTrajectory_Goal_ goal;
  goal.trajectory().joint_names(names);
  for (std::size_t i = 0; i < points.size(); ++i) {
    trajectory_msgs::msg::dds_::JointTrajectoryPoint_ point;
    point.positions(points[i]);
    point.time_from_start(duration(times[i]));
    goal.trajectory().points().push_back(point);
  }
  return goal;
}

template <class GoalRequest, class GoalReply, class ResultRequest, class ResultReply, class Feedback>
class ActionClient {
 public:
  using Goal = decltype(std::declval<typename GoalRequest::type>().goal());
  ActionClient(RosPeer& peer, const std::string& action, std::uint64_t guid) : peer_(peer), guid_(guid) {
    const Qos service{true, false, 10, "clientid= 1.2.3." + std::to_string(guid) + ";"};
    base_ = action + "/_action/";
    const std::string& base = base_;
    send_goal_ = peer.publisher<GoalRequest>("rq/" + base + "send_goalRequest", service);
    goal_replies_ = peer.subscribe<GoalReply>("rr/" + base + "send_goalReply", service);
    get_result_ = peer.publisher<ResultRequest>("rq/" + base + "get_resultRequest", service);
    result_replies_ = peer.subscribe<ResultReply>("rr/" + base + "get_resultReply", service);
    cancel_ = peer.publisher<action_msgs::srv::dds_::CancelGoal_Request_PubSubType>(
        "rq/" + base + "cancel_goalRequest", service);
    cancel_replies_ = peer.subscribe<action_msgs::srv::dds_::CancelGoal_Response_PubSubType>(
        "rr/" + base + "cancel_goalReply", service);
    feedback = peer.subscribe<Feedback>("rt/" + base + "feedback");
    status = peer.subscribe<action_msgs::msg::dds_::GoalStatusArray_PubSubType>("rt/" + base + "status",
                                                                                Qos{true, true, 1});
  }
  // Ready as a client waiting for an action server is: every request has a
  // reader and every reply a writer. A reply written before this client's
  // reader knows the server's writer never reaches it (volatile replies).
  bool ready() {
    const std::chrono::seconds timeout(20);
    for (const char* service : {"send_goal", "get_result", "cancel_goal"}) {
      if (!peer_.waitForReaders("rq/" + base_ + service + "Request", 1, timeout) ||
          !peer_.waitForWriters("rr/" + base_ + service + "Reply", 1, timeout)) {
        return false;
      }
    }
    return true;
  }

  // The reply that carries this client's guid and the request's number.
  template <class Reply>
  static std::unique_ptr<typename Reply::type> reply(Inbox<typename Reply::type>& inbox, std::uint64_t guid,
                                                     std::int64_t seq, std::chrono::seconds timeout) {
    return inbox.waitFor([&](const auto& r) { return r.guid() == guid && r.seq() == seq; }, timeout);
  }

  bool send(const UUID_& id, const std::remove_reference_t<Goal>& goal) {
    typename GoalRequest::type request;
    request.guid(guid_);
    request.seq(++seq_);
    request.goal_id(id);
    request.goal(goal);
    send_goal_(request);
    auto answer = reply<GoalReply>(*goal_replies_, guid_, seq_, std::chrono::seconds(10));
    if (answer == nullptr) std::fprintf(stderr, "no send_goal reply\n");
    return answer != nullptr && answer->accepted();
  }
  std::unique_ptr<typename ResultReply::type> result(const UUID_& id, int timeout_s = 20) {
    typename ResultRequest::type request;
    request.guid(guid_);
    request.seq(++seq_);
    request.goal_id(id);
    get_result_(request);
    return reply<ResultReply>(*result_replies_, guid_, seq_, std::chrono::seconds(timeout_s));
  }
  std::unique_ptr<action_msgs::srv::dds_::CancelGoal_Response_> cancel(const UUID_& id) {
    action_msgs::srv::dds_::CancelGoal_Request_ request;
    request.guid(guid_);
    request.seq(++seq_);
    request.goal_info().goal_id(id);
    cancel_(request);
    return reply<action_msgs::srv::dds_::CancelGoal_Response_PubSubType>(*cancel_replies_, guid_, seq_,
                                                                         std::chrono::seconds(10));
  }

  std::shared_ptr<Inbox<typename Feedback::type>> feedback;
  std::shared_ptr<Inbox<action_msgs::msg::dds_::GoalStatusArray_>> status;

 private:
  RosPeer& peer_;
  std::uint64_t guid_;
  std::int64_t seq_ = 0;
  std::string base_;  // "<action>/_action/"
  std::function<void(typename GoalRequest::type)> send_goal_;
  std::function<void(typename ResultRequest::type)> get_result_;
  std::function<void(action_msgs::srv::dds_::CancelGoal_Request_)> cancel_;
  std::shared_ptr<Inbox<typename GoalReply::type>> goal_replies_;
  std::shared_ptr<Inbox<typename ResultReply::type>> result_replies_;
  std::shared_ptr<Inbox<action_msgs::srv::dds_::CancelGoal_Response_>> cancel_replies_;
};

using FollowClient =
    ActionClient<control_msgs::action::dds_::FollowJointTrajectory_SendGoal_Request_PubSubType,
                 control_msgs::action::dds_::FollowJointTrajectory_SendGoal_Response_PubSubType,
                 control_msgs::action::dds_::FollowJointTrajectory_GetResult_Request_PubSubType,
                 control_msgs::action::dds_::FollowJointTrajectory_GetResult_Response_PubSubType,
                 control_msgs::action::dds_::FollowJointTrajectory_FeedbackMessage_PubSubType>;
using GripperClient = ActionClient<control_msgs::action::dds_::GripperCommand_SendGoal_Request_PubSubType,
                                   control_msgs::action::dds_::GripperCommand_SendGoal_Response_PubSubType,
                                   control_msgs::action::dds_::GripperCommand_GetResult_Request_PubSubType,
                                   control_msgs::action::dds_::GripperCommand_GetResult_Response_PubSubType,
                                   control_msgs::action::dds_::GripperCommand_FeedbackMessage_PubSubType>;

}  // namespace kav_test
