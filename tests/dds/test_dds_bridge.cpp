// kav_bridge seen from another DDS implementation, as a ROS 2 node sees it:
// the program runs against a simulated arm on a private local-socket bus,
// and a Fast DDS peer reads and writes its topics. Each group is one CTest
// test in a private network namespace, with one bridge (two for TwoBridges).
#include <config/ArmConfig.h>
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <ctime>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/tree.hpp>
#include <kdl_parser/kdl_parser.hpp>
#include <map>
#include <memory>
#include <thread>

#include "BridgedArm.h"
#include "RosPeer.h"
#include "reflex_count.h"

namespace {

using namespace kav_test;
using builtin_interfaces::msg::dds_::Duration_;
using control_msgs::msg::dds_::GripperCommand_;
using diagnostic_msgs::msg::dds_::DiagnosticArray_;
using diagnostic_msgs::msg::dds_::DiagnosticStatus_;
using geometry_msgs::msg::dds_::PoseStamped_;
using sensor_msgs::msg::dds_::JointState_;
using std_msgs::msg::dds_::Empty_;
using std_msgs::msg::dds_::Int32_;
using trajectory_msgs::msg::dds_::JointTrajectory_;
using trajectory_msgs::msg::dds_::JointTrajectoryPoint_;
using PoseType = geometry_msgs::msg::dds_::PoseStamped_PubSubType;
using JointStateType = sensor_msgs::msg::dds_::JointState_PubSubType;
using Int32Type = std_msgs::msg::dds_::Int32_PubSubType;
using EmptyType = std_msgs::msg::dds_::Empty_PubSubType;
using DiagnosticsType = diagnostic_msgs::msg::dds_::DiagnosticArray_PubSubType;
using TrajectoryType = trajectory_msgs::msg::dds_::JointTrajectory_PubSubType;
using GripperType = control_msgs::msg::dds_::GripperCommand_PubSubType;

constexpr std::uint32_t kDomain = 0;
const Qos kLatched{true, true, 1};

std::string urdfPath() { return std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf"; }

JointTrajectory_ trajectory(const std::vector<std::string>& names,
                            const std::vector<std::vector<double>>& points,
                            const std::vector<double>& times) {
  JointTrajectory_ message;
  message.joint_names(names);
  for (std::size_t i = 0; i < points.size(); ++i) {
    JointTrajectoryPoint_ point;
    point.positions(points[i]);
    Duration_ time;
    time.sec(static_cast<std::int32_t>(times[i]));
    time.nanosec(static_cast<std::uint32_t>(std::lround((times[i] - std::floor(times[i])) * 1e9)));
    point.time_from_start(time);
    message.points().push_back(point);
  }
  return message;
}

const std::vector<std::string> kJoints{"joint1", "joint2", "joint3", "joint4", "joint5", "joint6"};

Int32_ int32(int value) {
  Int32_ message;
  message.data(value);
  return message;
}

std::map<std::string, std::string> values(const DiagnosticStatus_& status) {
  std::map<std::string, std::string> result;
  for (const auto& pair : status.values()) result[pair.key()] = pair.value();
  return result;
}

/// The value of @p key in the first status of @p message ("" when none).
std::string field(const DiagnosticArray_& message, const std::string& key) {
  return message.status().empty() ? "" : values(message.status()[0])[key];
}

/// The true joint positions of the simulated arm (joints 1-6).
std::vector<double> simJoints(kav::sim::SimulatedArm& arm) {
  const auto states = arm.jointStates();
  std::vector<double> q;
  for (int i = 0; i < 6; ++i) q.push_back(states[i].position);
  return q;
}

bool near(const std::vector<double>& a, const std::vector<double>& b, double tolerance) {
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (std::fabs(a[i] - b[i]) > tolerance) return false;
  }
  return true;
}

// ------------------------------------------------------------------ one bridge

class OneBridge : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bridged = new BridgedArm("armA", kDomain);
    peer = new RosPeer(kDomain);
    joint_states = peer->subscribe<JointStateType>(bridged->topic("joint_states"));
    external_torques = peer->subscribe<JointStateType>(bridged->topic("external_torques"));
    ee_pose = peer->subscribe<PoseType>(bridged->topic("ee_pose"));
    diagnostics = peer->subscribe<DiagnosticsType>("rt/diagnostics");
    send_command = peer->publisher<TrajectoryType>(bridged->topic("joint_command"));
    send_target = peer->publisher<PoseType>(bridged->topic("target_pose"));
    send_gripper = peer->publisher<GripperType>(bridged->topic("gripper_command"));
    send_state = peer->publisher<Int32Type>(bridged->topic("set_arm_state"));
    send_recover = peer->publisher<EmptyType>(bridged->topic("recover"));
  }
  static void TearDownTestSuite() {
    delete peer;
    delete bridged;
  }
  void SetUp() override {
    ASSERT_GT(bridged->pid, 0) << "kav_bridge did not start";
    ASSERT_NE(joint_states->latest(std::chrono::seconds(40)), nullptr) << "no joint states from the bridge";
    ASSERT_TRUE(peer->waitForReaders(bridged->topic("set_arm_state"), 1));
    ASSERT_TRUE(peer->waitForReaders(bridged->topic("joint_command"), 1));
  }
  // Waits until the newest joint state is within @p tolerance of @p target.
  static bool jointsReach(const std::vector<double>& target, double tolerance) {
    return waitUntil([&] { return near(simJoints(bridged->arm), target, tolerance); },
                     std::chrono::seconds(15));
  }
  static void selectState(int state) {
    send_state(int32(state));
    ASSERT_TRUE(waitUntil([&] { return stateOf(*diagnostics->latest()) == std::to_string(state); },
                          std::chrono::seconds(5)));
  }
  static std::string stateOf(const DiagnosticArray_& message) {
    for (const auto& status : message.status()) {
      if (status.name() == "armA: arm") return values(status)["state"].substr(0, 1);
    }
    return "";
  }

  static BridgedArm* bridged;
  static RosPeer* peer;
  static std::shared_ptr<Inbox<JointState_>> joint_states;
  static std::shared_ptr<Inbox<JointState_>> external_torques;
  static std::shared_ptr<Inbox<PoseStamped_>> ee_pose;
  static std::shared_ptr<Inbox<DiagnosticArray_>> diagnostics;
  static std::function<void(JointTrajectory_)> send_command;
  static std::function<void(PoseStamped_)> send_target;
  static std::function<void(GripperCommand_)> send_gripper;
  static std::function<void(Int32_)> send_state;
  static std::function<void(Empty_)> send_recover;
};

BridgedArm* OneBridge::bridged = nullptr;
RosPeer* OneBridge::peer = nullptr;
std::shared_ptr<Inbox<JointState_>> OneBridge::joint_states;
std::shared_ptr<Inbox<JointState_>> OneBridge::external_torques;
std::shared_ptr<Inbox<PoseStamped_>> OneBridge::ee_pose;
std::shared_ptr<Inbox<DiagnosticArray_>> OneBridge::diagnostics;
std::function<void(JointTrajectory_)> OneBridge::send_command;
std::function<void(PoseStamped_)> OneBridge::send_target;
std::function<void(GripperCommand_)> OneBridge::send_gripper;
std::function<void(Int32_)> OneBridge::send_state;
std::function<void(Empty_)> OneBridge::send_recover;

TEST_F(OneBridge, PublishesJointStatesOfTheArmAtTheRateAndTheMatchingPose) {
  joint_states->clear();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const auto received = joint_states->entries();
  // 200 per second; a loaded machine may delay some, never add any.
  EXPECT_GT(received.size(), 250u);
  EXPECT_LE(received.size(), 420u);

  const JointState_ state = received.back().message;
  EXPECT_EQ(state.name(), (std::vector<std::string>{"joint1", "joint2", "joint3", "joint4", "joint5",
                                                    "joint6", "gripper"}));
  ASSERT_EQ(state.position().size(), 7u);
  ASSERT_EQ(state.velocity().size(), 7u);
  ASSERT_EQ(state.effort().size(), 7u);
  // The arm is held at home: the readings are the simulated arm's within a
  // wire step; joint 2 carries the arm's weight, so its current is not zero.
  EXPECT_TRUE(near(state.position(), simJoints(bridged->arm), 0.005));
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(state.velocity()[i], 0.0, 0.05);
  EXPECT_GT(std::fabs(state.effort()[1]), 0.1);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  EXPECT_NEAR(state.header().stamp().sec() + state.header().stamp().nanosec() * 1e-9,
              now.tv_sec + now.tv_nsec * 1e-9, 1.0);

  // The pose is the description's forward kinematics in base_link.
  KDL::Tree tree;
  ASSERT_TRUE(kdl_parser::treeFromFile(urdfPath(), tree));
  KDL::Chain chain;
  ASSERT_TRUE(tree.getChain("base_link", "link6", chain));
  KDL::JntArray q(6);
  for (int i = 0; i < 6; ++i) q(i) = state.position()[i];
  KDL::Frame expected;
  KDL::ChainFkSolverPos_recursive(chain).JntToCart(q, expected);
  const auto pose = ee_pose->latest();
  ASSERT_NE(pose, nullptr);
  EXPECT_EQ(pose->header().frame_id(), "base_link");
  EXPECT_NEAR(pose->pose().position().x(), expected.p.x(), 0.002);
  EXPECT_NEAR(pose->pose().position().y(), expected.p.y(), 0.002);
  EXPECT_NEAR(pose->pose().position().z(), expected.p.z(), 0.002);
  double x, y, z, w;
  expected.M.GetQuaternion(x, y, z, w);
  const auto& o = pose->pose().orientation();
  EXPECT_NEAR(std::fabs(o.x() * x + o.y() * y + o.z() * z + o.w() * w), 1.0, 1e-4);
}

TEST_F(OneBridge, DiagnosticsAndArmStateReachLateJoiners) {
  // Joining now, long after the bridge started: the present state at once.
  auto arm_state = peer->subscribe<Int32Type>(bridged->topic("arm_state"), kLatched);
  auto first = arm_state->latest(std::chrono::seconds(5));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->data(), 1);  // GO_HOME after bringing up

  const auto report = diagnostics->latest(std::chrono::seconds(3));
  ASSERT_NE(report, nullptr);
  ASSERT_EQ(report->status().size(), 1u);
  const DiagnosticStatus_& status = report->status()[0];
  EXPECT_EQ(status.name(), "armA: arm");
  EXPECT_EQ(status.hardware_id(), bridged->hub.endpoint());
  // OK, or WARN when a busy machine made the control loop late; no error.
  EXPECT_LT(status.level(), 2) << status.message();
  auto fields = values(status);
  EXPECT_EQ(fields["state"], "1 GO_HOME");
  EXPECT_EQ(fields["offline motors"], "");
  EXPECT_EQ(fields["commands dropped as malformed"], "0");
  EXPECT_EQ(fields["control active"], "true");
  EXPECT_EQ(fields["bus frames dropped per motor"], "0, 0, 0, 0, 0, 0, 0");
  // The loop's timing over the last second, in microseconds: measured and
  // in that unit (a second would be a wrong unit or a loop stalled for good).
  // How late a loaded machine makes the loop is for the benchmarks to say.
  EXPECT_GT(std::stod(fields["p99 Update duration [us]"]), 0.0);
  const double deviation = std::stod(fields["p99 period deviation [us]"]);
  EXPECT_GE(deviation, 0.0);
  EXPECT_LT(deviation, 1e6);

  send_state(int32(3));
  EXPECT_NE(arm_state->waitFor([](const Int32_& m) { return m.data() == 3; }, std::chrono::seconds(5)),
            nullptr);
  auto late = peer->subscribe<Int32Type>(bridged->topic("arm_state"), kLatched);
  const auto kept = late->latest(std::chrono::seconds(5));
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->data(), 3);
  EXPECT_EQ(late->size(), 1u);
}

TEST_F(OneBridge, StreamedTargetsInAnyJointOrderMoveTheArm) {
  selectState(5);
  // Names in another order: the values follow their names.
  send_command(trajectory({"joint3", "joint1", "joint2", "joint6", "joint5", "joint4"},
                          {{0.4, 0.2, 0.3, 0.0, -0.2, 0.1}}, {0.0}));
  EXPECT_TRUE(jointsReach({0.2, 0.3, 0.4, 0.1, -0.2, 0.0}, 0.03))
      << "the arm did not reach the streamed target";
}

TEST_F(OneBridge, MultiPointTrajectoryMovesTheArmThroughItsPointsOnTime) {
  selectState(5);
  const std::vector<double> start{0.0, 0.5, 0.5, 0.0, 0.0, 0.0};
  send_command(trajectory(kJoints, {start}, {0.0}));
  ASSERT_TRUE(jointsReach(start, 0.03));
  const std::vector<double> middle{0.3, 0.7, 0.6, 0.2, -0.2, 0.1};
  const std::vector<double> end{0.5, 0.9, 0.8, 0.4, -0.3, 0.3};
  const auto sent = std::chrono::steady_clock::now();
  send_command(trajectory(kJoints, {middle, end}, {1.5, 3.0}));
  // Timed, not a jump to the last point: half-way through, joint 1 is
  // still well short of its final value.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_LT(simJoints(bridged->arm)[0], 0.4) << "the trajectory did not keep its times";
  ASSERT_TRUE(jointsReach(end, 0.03)) << "the arm did not reach the trajectory's last point";
  EXPECT_GT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(2500));
}

TEST_F(OneBridge, EndEffectorTargetAndGripperMoveTheArm) {
  selectState(5);
  send_command(trajectory(kJoints, {{0.0, 0.8, 0.8, 0.0, 0.0, 0.0}}, {0.0}));
  ASSERT_TRUE(jointsReach({0.0, 0.8, 0.8, 0.0, 0.0, 0.0}, 0.03));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto start = ee_pose->latest();
  ASSERT_NE(start, nullptr);
  PoseStamped_ target = *start;
  target.header().frame_id("");  // empty means base_link
  target.pose().position().z(start->pose().position().z() + 0.03);
  ee_pose->clear();
  send_target(target);  // kept until END_CONTROL follows it
  selectState(4);
  EXPECT_NE(ee_pose->waitFor(
                [&](const PoseStamped_& p) {
                  return std::fabs(p.pose().position().z() - target.pose().position().z()) < 0.004 &&
                         std::fabs(p.pose().position().x() - target.pose().position().x()) < 0.004;
                },
                std::chrono::seconds(10)),
            nullptr)
      << "the end effector did not reach the target";

  const double gripper_start = bridged->arm.jointState(6).position;
  GripperCommand_ open;
  open.position(0.8);
  open.max_effort(1.0);
  send_gripper(open);
  EXPECT_TRUE(waitUntil([&] { return bridged->arm.jointState(6).position - gripper_start > 0.4; },
                        std::chrono::seconds(5)))
      << "the gripper did not open";
}

TEST_F(OneBridge, MalformedCommandsAreDroppedAndReported) {
  selectState(5);
  const std::vector<double> hold{0.1, 0.5, 0.5, 0.0, 0.1, 0.0};
  send_command(trajectory(kJoints, {hold}, {0.0}));
  ASSERT_TRUE(jointsReach(hold, 0.03));
  const double gripper = bridged->arm.jointState(6).position;

  // One at a time: the command readers keep only the newest message.
  const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
  const std::vector<double> away{0.6, 1.0, 1.0, 0.5, 0.5, 0.5};
  send_command(trajectory({"joint1", "joint2", "joint3", "joint4", "joint5", "elbow"}, {away}, {0.0}));
  pause();
  send_command(trajectory({"joint1", "joint2", "joint3", "joint4", "joint5", "joint5"}, {away}, {0.0}));
  pause();
  send_command(trajectory(kJoints, {{0.6, 1.0, 1.0}}, {0.0}));
  pause();
  send_command(trajectory(kJoints, {{0.6, NAN, 1.0, 0.5, 0.5, 0.5}}, {0.0}));
  pause();
  PoseStamped_ pose = *ee_pose->latest();
  pose.pose().orientation().w(0.0);
  pose.pose().orientation().x(0.0);
  pose.pose().orientation().y(0.0);
  pose.pose().orientation().z(0.0);
  send_target(pose);
  pause();
  PoseStamped_ elsewhere = *ee_pose->latest();
  elsewhere.header().frame_id("world");
  send_target(elsewhere);
  pause();
  GripperCommand_ bad_gripper;
  bad_gripper.position(INFINITY);
  send_gripper(bad_gripper);
  pause();
  send_state(int32(9));
  pause();

  const auto report = diagnostics->waitFor(
      [](const DiagnosticArray_& m) {
        return !m.status().empty() && values(m.status()[0])["commands dropped as malformed"] == "8";
      },
      std::chrono::seconds(5));
  ASSERT_NE(report, nullptr) << "the diagnostics did not count 8 dropped commands";
  EXPECT_EQ(report->status()[0].level(), 1);
  EXPECT_EQ(values(report->status()[0])["state"], "5 POSITION_CONTROL");
  // Nothing of it reached the arm.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(near(simJoints(bridged->arm), hold, 0.03));
  EXPECT_NEAR(bridged->arm.jointState(6).position, gripper, 0.05);
}

TEST_F(OneBridge, PublishesTheExternalTorquesOfTheSixArmJoints) {
  const auto torques = external_torques->latest(std::chrono::seconds(5));
  ASSERT_NE(torques, nullptr);
  EXPECT_EQ(torques->name(), kJoints);
  EXPECT_TRUE(torques->position().empty());
  EXPECT_TRUE(torques->velocity().empty());
  ASSERT_EQ(torques->effort().size(), 6u);
  for (double torque : torques->effort()) EXPECT_TRUE(std::isfinite(torque));
  EXPECT_GT(torques->header().stamp().sec(), 0);
}

// A push on joint 5 in the simulated arm: contact between the default
// thresholds, then the reflex above the upper one, then recover.
TEST_F(OneBridge, ContactAndReflexShowInDiagnosticsAndRecoverMakesTheArmStiffAgain) {
  kav_test::expectReflexes();
  selectState(5);
  const std::vector<double> hold{0.1, 0.5, 0.5, 0.0, 0.1, 0.0};
  send_command(trajectory(kJoints, {hold}, {0.0}));
  ASSERT_TRUE(jointsReach(hold, 0.03));
  ASSERT_TRUE(peer->waitForReaders(bridged->topic("recover"), 1));
  diagnostics->clear();
  const int joint = 4;
  const double between =
      0.5 * (kav::config::kContactThreshold[joint] + kav::config::kCollisionThreshold[joint]);
  bridged->arm.setExternalTorque(joint, between);
  EXPECT_NE(external_torques->waitFor([&](const JointState_& m) {
    return m.effort().size() == 6 && m.effort()[joint] > 0.75 * between;
  }),
            nullptr)
      << "the push does not show in the external torques";
  EXPECT_NE(
      diagnostics->waitFor([](const DiagnosticArray_& m) { return field(m, "contact detected") == "true"; }),
      nullptr);

  // The reflex: the arm goes compliant (no stiffness in its commands).
  bridged->arm.clearReceivedCommands();
  const auto stiffness = [&] {
    const auto commands = bridged->arm.receivedCommands(joint);
    return commands.empty() ? -1.0 : commands.back().command.k_p;
  };
  bridged->arm.setExternalTorque(joint, 2.0 * kav::config::kCollisionThreshold[joint]);
  const bool compliant = waitUntil([&] { return stiffness() == 0.0; }, std::chrono::seconds(5));
  bridged->arm.setExternalTorque(joint, 0.0);
  ASSERT_TRUE(compliant) << "no reflex";
  const auto reflex = diagnostics->waitFor([](const DiagnosticArray_& m) {
    return field(m, "last reflex").find("joint 5") != std::string::npos && m.status()[0].level() == 2;
  });
  ASSERT_NE(reflex, nullptr) << "the reflex is not in the diagnostics";
  EXPECT_NE(field(*reflex, "new error codes").find("165"), std::string::npos);
  EXPECT_EQ(field(*reflex, "last recover"), "none");
  EXPECT_EQ(field(*reflex, "reflex active"), "true");
  // Later reports still say that the reflex holds the arm.
  EXPECT_NE(diagnostics->waitFor([](const DiagnosticArray_& m) {
    return field(m, "new error codes").empty() && field(m, "reflex active") == "true" &&
           m.status()[0].level() == 2 && m.status()[0].message().find("reflex holds") != std::string::npos;
  }),
            nullptr);

  send_recover(Empty_());
  const auto recovered =
      diagnostics->waitFor([](const DiagnosticArray_& m) { return field(m, "last recover") == "succeeded"; });
  ASSERT_NE(recovered, nullptr) << "no recovery in the diagnostics";
  EXPECT_EQ(field(*recovered, "state"), "5 POSITION_CONTROL");
  EXPECT_EQ(field(*recovered, "control active"), "true");
  EXPECT_EQ(field(*recovered, "reflex active"), "false");
  EXPECT_TRUE(waitUntil([&] { return stiffness() > 0.0; }, std::chrono::seconds(5))) << "still compliant";
}

TEST_F(OneBridge, AFailedRecoverIsReportedAndTheBridgeServesOn) {
  ASSERT_TRUE(peer->waitForReaders(bridged->topic("recover"), 1));
  diagnostics->clear();
  const int joint = 4;                   // motor 5
  bridged->arm.setMotorError(joint, 5);  // reported until switched off
  ASSERT_NE(
      diagnostics->waitFor([](const DiagnosticArray_& m) { return field(m, "control active") == "false"; }),
      nullptr);
  send_recover(Empty_());
  const auto failed = diagnostics->waitFor(
      [](const DiagnosticArray_& m) { return field(m, "last recover").rfind("failed: ", 0) == 0; });
  ASSERT_NE(failed, nullptr) << "the failed recover is not in the diagnostics";
  EXPECT_EQ(failed->status()[0].level(), 2);
  EXPECT_NE(failed->status()[0].message().find("recover failed: "), std::string::npos);
  EXPECT_NE(field(*failed, "last recover").find("motor 5"), std::string::npos)
      << field(*failed, "last recover");
  joint_states->clear();
  EXPECT_NE(joint_states->latest(std::chrono::seconds(5)), nullptr) << "the bridge stopped publishing";

  // Once the motor is well again, the next request brings control back.
  bridged->arm.setMotorError(joint, 0);
  send_recover(Empty_());
  ASSERT_NE(diagnostics->waitFor([](const DiagnosticArray_& m) {
    return field(m, "last recover") == "succeeded" && field(m, "control active") == "true";
  }),
            nullptr);
  // Settled: a report without problems of the recovery's making.
  EXPECT_NE(diagnostics->waitFor([](const DiagnosticArray_& m) {
    return field(m, "last recover") == "succeeded" && m.status()[0].level() < 2;
  }),
            nullptr);
}

TEST_F(OneBridge, ReportsAnOfflineMotorAtOnceAndStopsTheArmOnSigterm) {
  diagnostics->clear();
  bridged->arm.setMotorSilent(5, true);  // joint 6, motor 6
  // The first report that names an offline motor (an error report of the
  // previous case's recovery may still be on its way).
  const auto report = diagnostics->waitFor(
      [](const DiagnosticArray_& m) {
        return !m.status().empty() && m.status()[0].level() == 2 && !field(m, "offline motors").empty();
      },
      std::chrono::seconds(3));
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(values(report->status()[0])["offline motors"], "6");
  EXPECT_NE(values(report->status()[0])["new error codes"].find("111"), std::string::npos);

  EXPECT_EQ(bridged->stop(SIGTERM), 0);
  // The last command every motor got holds it in damping.
  for (int joint = 0; joint < 6; ++joint) {
    const auto commands = bridged->arm.receivedCommands(joint);
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back().command.k_p, 0.0) << "joint " << joint + 1;
  }
}

// ------------------------------------------------------------------ two bridges

TEST(TwoBridges, ShareADomainWithoutCrossTalk) {
  // Two arms load the machine most: the second comes up after the first (a
  // busy machine can starve a control loop that starts beside another
  // bridge's start-up), and the states at 50 Hz suffice here.
  RosPeer peer(kDomain);
  BridgedArm a("fleet/arm1", kDomain, 50);
  auto states_a = peer.subscribe<JointStateType>(a.topic("joint_states"));
  ASSERT_NE(states_a->latest(std::chrono::seconds(40)), nullptr);
  BridgedArm b("fleet/arm2", kDomain, 50);
  auto states_b = peer.subscribe<JointStateType>(b.topic("joint_states"));
  auto arm_state_a = peer.subscribe<Int32Type>(a.topic("arm_state"), kLatched);
  auto arm_state_b = peer.subscribe<Int32Type>(b.topic("arm_state"), kLatched);
  auto diagnostics = peer.subscribe<DiagnosticsType>("rt/diagnostics");
  auto command_a = peer.publisher<TrajectoryType>(a.topic("joint_command"));
  auto state_a = peer.publisher<Int32Type>(a.topic("set_arm_state"));
  ASSERT_NE(states_b->latest(std::chrono::seconds(40)), nullptr);
  ASSERT_TRUE(peer.waitForReaders(a.topic("set_arm_state"), 1));

  const std::vector<double> b_before = simJoints(b.arm);
  state_a(int32(5));
  ASSERT_NE(arm_state_a->waitFor([](const Int32_& m) { return m.data() == 5; }), nullptr);
  command_a(trajectory(kJoints, {{0.5, 0.6, 0.4, 0.0, 0.0, 0.0}}, {0.0}));
  EXPECT_TRUE(waitUntil(
      [&] {
        return near(simJoints(a.arm), {0.5, 0.6, 0.4, 0.0, 0.0, 0.0}, 0.03);
      },
      std::chrono::seconds(15)));
  // Each namespace carries its own arm, and only arm 1 moved.
  // (The published states catch up with the arms; a slow machine takes a while.)
  EXPECT_TRUE(waitUntil([&] { return near(states_a->latest()->position(), simJoints(a.arm), 0.02); },
                        std::chrono::seconds(5)));
  EXPECT_TRUE(waitUntil([&] { return near(states_b->latest()->position(), simJoints(b.arm), 0.02); },
                        std::chrono::seconds(5)));
  EXPECT_TRUE(near(simJoints(b.arm), b_before, 0.05))
      << "arm 2 joint 1 from " << b_before[0] << " to " << simJoints(b.arm)[0];
  EXPECT_EQ(arm_state_b->latest()->data(), 1);

  std::map<std::string, std::string> hardware;
  diagnostics->waitFor([&](const DiagnosticArray_& m) {
    for (const auto& status : m.status()) hardware[status.name()] = status.hardware_id();
    return hardware.size() >= 2;
  });
  EXPECT_EQ(hardware["fleet/arm1: arm"], a.hub.endpoint());
  EXPECT_EQ(hardware["fleet/arm2: arm"], b.hub.endpoint());
  EXPECT_EQ(a.stop(SIGINT), 0);
  EXPECT_EQ(b.stop(SIGHUP), 0);
}

}  // namespace
