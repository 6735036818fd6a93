// kav_bridge as MoveIt and the ROS 2 graph tools see it, from an independent
// DDS implementation (Fast DDS): the actions framed as ROS 2's Cyclone DDS
// middleware frames its services (request header first, clientid= in
// USER_DATA, replies filtered by the client's guid), ros_discovery_info,
// robot_description and TF. One bridge and one simulated arm serve every
// case, in a private network namespace.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <kdl/tree.hpp>
#include <kdl_parser/kdl_parser.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "ActionClient.h"
#include "BridgedArm.h"

namespace {

using namespace kav_test;
namespace act = control_msgs::action::dds_;
using action_msgs::msg::dds_::GoalStatusArray_;
using unique_identifier_msgs::msg::dds_::UUID_;

constexpr std::uint32_t kDomain = 0;
const std::vector<std::string> kJoints{"joint1", "joint2", "joint3", "joint4", "joint5", "joint6"};
// action_msgs/msg/GoalStatus and the FollowJointTrajectory result codes.
constexpr int kUnknown = 0, kSucceeded = 4, kCanceled = 5, kAborted = 6;
constexpr int kInvalidGoal = -1, kInvalidJoints = -2;

std::string urdfPath() { return std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf"; }

std::vector<double> simJoints(kav::sim::SimulatedArm& arm) {
  std::vector<double> q;
  for (int i = 0; i < 6; ++i) q.push_back(arm.jointState(i).position);
  return q;
}

double distance(const std::vector<double>& a, const std::vector<double>& b) {
  double largest = 0.0;
  for (std::size_t i = 0; i < b.size(); ++i) largest = std::max(largest, std::fabs(a[i] - b[i]));
  return largest;
}

std::vector<double> offset(const std::vector<double>& q, const std::vector<double>& by) {
  std::vector<double> result = q;
  for (std::size_t i = 0; i < by.size(); ++i) result[i] += by[i];
  return result;
}

class MoveIt : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bridged = new BridgedArm("armM", kDomain, 50, {"--node-name", "moveit_arm", "--frame-prefix", "m/"});
    peer = new RosPeer(kDomain);
    joint_states =
        peer->subscribe<sensor_msgs::msg::dds_::JointState_PubSubType>(bridged->topic("joint_states"));
    arm_state = peer->subscribe<std_msgs::msg::dds_::Int32_PubSubType>(bridged->topic("arm_state"),
                                                                       Qos{true, true, 1});
    set_state = peer->publisher<std_msgs::msg::dds_::Int32_PubSubType>(bridged->topic("set_arm_state"));
    follow = new FollowClient(*peer, "armM/follow_joint_trajectory", 0x1122334455667788ull);
    // A second client of the same action: it must never see the first one's replies.
    other = new FollowClient(*peer, "armM/follow_joint_trajectory", 0x0badc0ffee000001ull);
    gripper = new GripperClient(*peer, "armM/gripper_cmd", 0x5566778899aabbccull);
  }
  static void TearDownTestSuite() {
    delete gripper;
    delete other;
    delete follow;
    delete peer;
    delete bridged;
  }
  void SetUp() override {
    ASSERT_GT(bridged->pid, 0) << "kav_bridge did not start";
    ASSERT_NE(joint_states->latest(std::chrono::seconds(40)), nullptr) << "no joint states from the bridge";
    ASSERT_TRUE(follow->ready());
    ASSERT_TRUE(gripper->ready());
  }
  static void selectState(int state) {
    std_msgs::msg::dds_::Int32_ message;
    message.data(state);
    ASSERT_TRUE(peer->waitForReaders(bridged->topic("set_arm_state"), 1));
    set_state(message);
    ASSERT_TRUE(waitUntil(
        [&] {
          const auto latest = arm_state->latest();
          return latest != nullptr && latest->data() == state;
        },
        std::chrono::seconds(10)));
  }
  // Waits until the arm rests: three readings 0.3 s apart within 2 mrad of
  // each other (one still interval alone may be a pause of the machine).
  static std::vector<double> rest() {
    std::vector<double> before = simJoints(bridged->arm), now;
    int still_intervals = 0;
    waitUntil(
        [&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          now = simJoints(bridged->arm);
          still_intervals = distance(now, before) < 0.002 ? still_intervals + 1 : 0;
          before = now;
          return still_intervals >= 2;
        },
        std::chrono::seconds(10));
    return now;
  }

  static BridgedArm* bridged;
  static RosPeer* peer;
  static std::shared_ptr<Inbox<sensor_msgs::msg::dds_::JointState_>> joint_states;
  static std::shared_ptr<Inbox<std_msgs::msg::dds_::Int32_>> arm_state;
  static std::function<void(std_msgs::msg::dds_::Int32_)> set_state;
  static FollowClient* follow;
  static FollowClient* other;
  static GripperClient* gripper;
};

BridgedArm* MoveIt::bridged = nullptr;
RosPeer* MoveIt::peer = nullptr;
std::shared_ptr<Inbox<sensor_msgs::msg::dds_::JointState_>> MoveIt::joint_states;
std::shared_ptr<Inbox<std_msgs::msg::dds_::Int32_>> MoveIt::arm_state;
std::function<void(std_msgs::msg::dds_::Int32_)> MoveIt::set_state;
FollowClient* MoveIt::follow = nullptr;
FollowClient* MoveIt::other = nullptr;
GripperClient* MoveIt::gripper = nullptr;

TEST_F(MoveIt, TrajectoryGoalSucceedsWithFeedbackThroughItsPoints) {
  // Right after start-up the arm is in GO_HOME: the goal selects POSITION_CONTROL.
  const std::vector<double> start = rest();
  const std::vector<double> middle = offset(start, {0.25, 0.1, 0.25, 0.05, -0.25, 0.1});
  const std::vector<double> end = offset(start, {0.4, 0.35, 0.3, 0.3, -0.3, 0.3});
  // Joint names in another order, values with them.
  const std::vector<std::string> names{"joint3", "joint1", "joint2", "joint6", "joint5", "joint4"};
  const auto shuffled = [](const std::vector<double>& q) {
    return std::vector<double>{q[2], q[0], q[1], q[5], q[4], q[3]};
  };
  follow->feedback->clear();
  ASSERT_TRUE(follow->send(uuid(1),
                           goal(names, {shuffled(start), shuffled(middle), shuffled(end)}, {0.0, 1.5, 3.0})));

  std::vector<std::vector<double>> path;
  std::unique_ptr<act::FollowJointTrajectory_GetResult_Response_> result;
  std::thread waiter([&] { result = follow->result(uuid(1)); });
  waitUntil(
      [&] {
        path.push_back(simJoints(bridged->arm));
        return distance(path.back(), end) < 0.01;
      },
      std::chrono::seconds(15));
  waiter.join();
  ASSERT_NE(result, nullptr) << "no result";
  EXPECT_EQ(result->status(), kSucceeded) << result->result().error_string();
  EXPECT_EQ(result->result().error_code(), 0);
  EXPECT_LT(distance(simJoints(bridged->arm), end), 0.02);
  // Where joint 1 crossed its middle value (between two readings, however
  // far apart), every joint was at its middle value.
  double off_middle = 1.0;
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    const double a = path[i][0] - middle[0], b = path[i + 1][0] - middle[0];
    if (a > 0 || b < 0 || a == b) continue;
    const double f = a / (a - b);
    std::vector<double> crossing(6);
    for (int j = 0; j < 6; ++j) crossing[j] = path[i][j] + f * (path[i + 1][j] - path[i][j]);
    off_middle = distance(crossing, middle);
    break;
  }
  EXPECT_LT(off_middle, 0.03) << "the arm did not pass through the middle point";

  const auto feedback = follow->feedback->entries();
  ASSERT_GT(feedback.size(), 10u);
  const auto& last = feedback.back().message;
  EXPECT_EQ(last.goal_id().uuid(), uuid(1).uuid());
  EXPECT_EQ(last.feedback().joint_names(), kJoints);
  ASSERT_EQ(last.feedback().desired().positions().size(), 6u);
  ASSERT_EQ(last.feedback().actual().positions().size(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_NEAR(last.feedback().error().positions()[i],
                last.feedback().desired().positions()[i] - last.feedback().actual().positions()[i], 1e-9);
  }
  EXPECT_NE(follow->status->waitFor([](const GoalStatusArray_& s) {
    return !s.status_list().empty() && s.status_list().back().status() == kSucceeded &&
           s.status_list().back().goal_info().goal_id().uuid() == uuid(1).uuid();
  }),
            nullptr);
  EXPECT_EQ(arm_state->latest()->data(), 5) << "the goal did not select POSITION_CONTROL";
}

TEST_F(MoveIt, InvalidGoalsAreRefusedWithTheirErrorCodesAndNothingMoves) {
  selectState(5);
  const std::vector<double> start = rest();
  EXPECT_FALSE(follow->send(uuid(10), goal({"joint1", "joint2", "joint3", "joint4", "joint5", "wrist"},
                                           {offset(start, {0.1})}, {2.0})));
  auto result = follow->result(uuid(10), 5);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->status(), kUnknown);
  EXPECT_EQ(result->result().error_code(), kInvalidJoints);
  EXPECT_NE(result->result().error_string().find("wrist"), std::string::npos);

  // Beyond joint 1's limit (2.618 rad): the library's check refuses it whole.
  EXPECT_FALSE(
      follow->send(uuid(11), goal(kJoints, {offset(start, {0.1}), offset(start, {3.0})}, {2.0, 4.0})));
  result = follow->result(uuid(11), 5);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->result().error_code(), kInvalidGoal);
  EXPECT_NE(result->result().error_string().find("joint"), std::string::npos)
      << result->result().error_string();

  // A start state far from the arm.
  EXPECT_FALSE(
      follow->send(uuid(12), goal(kJoints, {offset(start, {0.3}), offset(start, {0.1})}, {0.0, 2.0})));
  EXPECT_EQ(follow->result(uuid(12), 5)->result().error_code(), kInvalidGoal);

  EXPECT_LT(distance(simJoints(bridged->arm), start), 0.01) << "a refused goal moved the arm";

  // In a state a goal does not run from.
  selectState(3);
  EXPECT_FALSE(follow->send(uuid(13), goal(kJoints, {offset(start, {0.1})}, {2.0})));
  EXPECT_NE(follow->result(uuid(13), 5)->result().error_string().find("G_COMPENSATION"), std::string::npos);
  selectState(5);
  // The other client saw none of these replies.
  EXPECT_EQ(other->result(uuid(99), 5)->status(), kUnknown);
}

TEST_F(MoveIt, CancelStopsTheArmSmoothlyAndEndsCanceled) {
  selectState(5);
  const std::vector<double> start = rest();
  const std::vector<double> far = offset(start, {0.5, 0.3});
  ASSERT_TRUE(follow->send(uuid(20), goal(kJoints, {far}, {8.0})));
  ASSERT_TRUE(
      waitUntil([&] { return distance(simJoints(bridged->arm), start) > 0.05; }, std::chrono::seconds(5)));
  const auto canceled = follow->cancel(uuid(20));
  ASSERT_NE(canceled, nullptr);
  EXPECT_EQ(canceled->return_code(), 0);
  ASSERT_EQ(canceled->goals_canceling().size(), 1u);
  EXPECT_EQ(canceled->goals_canceling()[0].goal_id().uuid(), uuid(20).uuid());
  const auto result = follow->result(uuid(20));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->status(), kCanceled);
  const std::vector<double> stopped = rest();
  EXPECT_GT(distance(stopped, far), 0.05) << "the arm went on to the goal";
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(distance(simJoints(bridged->arm), stopped), 0.005) << "the arm did not stay stopped";
  // A goal that has ended cannot be canceled again.
  EXPECT_EQ(follow->cancel(uuid(20))->return_code(), 3);
}

TEST_F(MoveIt, NewGoalPreemptsTheRunningOne) {
  selectState(5);
  const std::vector<double> start = rest();
  ASSERT_TRUE(follow->send(uuid(30), goal(kJoints, {offset(start, {0.5})}, {8.0})));
  ASSERT_TRUE(
      waitUntil([&] { return distance(simJoints(bridged->arm), start) > 0.03; }, std::chrono::seconds(5)));
  const std::vector<double> second = offset(start, {0.0, 0.2, 0.2});
  const auto here = simJoints(bridged->arm);
  ASSERT_TRUE(follow->send(uuid(31), goal(kJoints, {here, second}, {0.0, 3.0})));
  const auto first = follow->result(uuid(30), 5);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->status(), kAborted);
  const auto result = follow->result(uuid(31));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->status(), kSucceeded) << result->result().error_string();
  EXPECT_LT(distance(simJoints(bridged->arm), second), 0.02);
}

TEST_F(MoveIt, GripperGoalReachesItsPosition) {
  act::GripperCommand_Goal_ command;
  command.command().position(0.8);
  command.command().max_effort(0.0);
  ASSERT_TRUE(gripper->send(uuid(40), command));
  const auto result = gripper->result(uuid(40));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->status(), kSucceeded);
  EXPECT_TRUE(result->result().reached_goal());
  EXPECT_FALSE(result->result().stalled());
  EXPECT_NEAR(result->result().position(), 0.8, 0.05);
  EXPECT_GT(gripper->feedback->size(), 0u);

  // Below the library's torque limit the bridge drives it with the goal's
  // limit: the gripper motor never gets more.
  bridged->arm.clearReceivedCommands();
  command.command().position(0.4);
  command.command().max_effort(0.8);
  ASSERT_TRUE(gripper->send(uuid(42), command));
  const auto limited = gripper->result(uuid(42));
  ASSERT_NE(limited, nullptr);
  EXPECT_EQ(limited->status(), kSucceeded);
  EXPECT_NEAR(limited->result().position(), 0.4, 0.05);
  double largest = 0.0;
  for (const auto& received : bridged->arm.receivedCommands(6)) {
    largest = std::max(largest, std::fabs(received.command.torque));
  }
  EXPECT_LE(largest, 0.8 + 0.01);
  EXPECT_GT(largest, 0.7) << "the limit was never reached: the test does not test it";

  command.command().position(NAN);
  EXPECT_FALSE(gripper->send(uuid(41), command));
}

TEST_F(MoveIt, DiscoveryInfoNamesTheNodeAndEveryEndpoint) {
  auto info = peer->subscribe<rmw_dds_common::msg::dds_::ParticipantEntitiesInfo_PubSubType>(
      "ros_discovery_info", Qos{true, true, 1});
  const auto sample = info->latest();
  ASSERT_NE(sample, nullptr);
  ASSERT_EQ(sample->node_entities_info_seq().size(), 1u);
  const auto& node = sample->node_entities_info_seq()[0];
  EXPECT_EQ(node.node_namespace(), "/armM");
  EXPECT_EQ(node.node_name(), "moveit_arm");
  // Readers: 5 command topics, 3 services per action; writers: 8 topics,
  // 3 service replies, feedback and status per action.
  EXPECT_EQ(node.reader_gid_seq().size(), 11u);
  EXPECT_EQ(node.writer_gid_seq().size(), 18u);
  // The writer of the joint states is one of them, and the participant's
  // GUID prefix is its prefix.
  const auto writer = joint_states->entries().back().writer;
  bool listed = false;
  for (const auto& gid : node.writer_gid_seq()) {
    listed = listed || std::equal(writer.begin(), writer.end(), gid.data().begin());
  }
  EXPECT_TRUE(listed);
  EXPECT_TRUE(std::equal(writer.begin(), writer.begin() + 12, sample->gid().data().begin()));
  // Its participant says which security enclave it is in, as ROS 2's do.
  const auto user_data = peer->participantUserData();
  EXPECT_NE(std::find(user_data.begin(), user_data.end(), "enclave=/;"), user_data.end());
}

TEST_F(MoveIt, RobotDescriptionReachesALateJoinerAndTfCarriesEveryLink) {
  auto description = peer->subscribe<std_msgs::msg::dds_::String_PubSubType>(
      bridged->topic("robot_description"), Qos{true, true, 1});
  std::ifstream file(urdfPath());
  std::stringstream urdf;
  urdf << file.rdbuf();
  const auto text = description->latest();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->data(), urdf.str());

  auto tf = peer->subscribe<tf2_msgs::msg::dds_::TFMessage_PubSubType>("rt/tf", Qos{true, false, 100});
  const auto transforms = tf->latest();
  ASSERT_NE(transforms, nullptr);
  KDL::Tree tree;
  ASSERT_TRUE(kdl_parser::treeFromFile(urdfPath(), tree));
  std::set<std::string> children;
  const auto q = simJoints(bridged->arm);
  // Frame names are the description's, after the --frame-prefix.
  const auto unprefixed = [](const std::string& frame) {
    EXPECT_EQ(frame.substr(0, 2), "m/");
    return frame.substr(2);
  };
  for (const auto& transform : transforms->transforms()) {
    const std::string child = unprefixed(transform.child_frame_id());
    children.insert(child);
    const auto& element = tree.getSegments().at(child);
    EXPECT_EQ(unprefixed(transform.header().frame_id()), GetTreeElementParent(element)->first);
    const std::string joint = GetTreeElementSegment(element).getJoint().getName();
    const int index = joint.back() - '1';
    const KDL::Frame expected = GetTreeElementSegment(element).pose(q[index]);
    double x, y, z, w;
    expected.M.GetQuaternion(x, y, z, w);
    const auto& r = transform.transform().rotation();
    // q and -q are one rotation.
    EXPECT_NEAR(std::fabs(r.x() * x + r.y() * y + r.z() * z + r.w() * w), 1.0, 1e-4) << joint;
    EXPECT_NEAR(transform.transform().translation().z(), expected.p.z(), 1e-9) << joint;
  }
  EXPECT_EQ(children, (std::set<std::string>{"link1", "link2", "link3", "link4", "link5", "link6"}));
}

}  // namespace
