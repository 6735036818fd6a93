// The bridge's checks of incoming commands and trajectory goals, on the
// generated C messages directly: what is refused (with which result code),
// how accepted values are reordered, and how a running goal is judged.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "Commands.h"
#include "FollowGoal.h"
#include "Stream.h"

namespace {

using namespace kav::bridge;

// The values of a JointTrajectory; velocities per point may be empty.
struct Trajectory {
  std::vector<std::string> names;
  std::vector<std::vector<double>> positions;
  std::vector<std::vector<double>> velocities;
  std::vector<builtin_interfaces_msg_dds__Duration_> times;
};

dds_sequence_double sequence(std::vector<double>& values) {
  return {static_cast<uint32_t>(values.size()), static_cast<uint32_t>(values.size()), values.data(), false};
}

// The C message of a Trajectory, over buffers it owns.
class Message {
 public:
  explicit Message(Trajectory trajectory) : data_(std::move(trajectory)) {
    for (auto& name : data_.names) names_.push_back(name.data());
    points_.assign(data_.positions.size(), {});
    for (std::size_t i = 0; i < points_.size(); ++i) {
      points_[i].positions = sequence(data_.positions[i]);
      if (i < data_.velocities.size()) points_[i].velocities = sequence(data_.velocities[i]);
      if (i < data_.times.size()) points_[i].time_from_start = data_.times[i];
    }
    message_.joint_names = {static_cast<uint32_t>(names_.size()), static_cast<uint32_t>(names_.size()),
                            names_.data(), false};
    message_.points = {static_cast<uint32_t>(points_.size()), static_cast<uint32_t>(points_.size()),
                       points_.data(), false};
  }
  const trajectory_msgs_msg_dds__JointTrajectory_& get() const { return message_; }
  std::vector<trajectory_msgs_msg_dds__JointTrajectoryPoint_>& points() { return points_; }

 private:
  Trajectory data_;
  std::vector<char*> names_;
  std::vector<trajectory_msgs_msg_dds__JointTrajectoryPoint_> points_;
  trajectory_msgs_msg_dds__JointTrajectory_ message_{};
};

const std::vector<std::string> kInOrder{"joint1", "joint2", "joint3", "joint4", "joint5", "joint6"};

TEST(BridgeCommands, JointValuesFollowTheirNamesAndOnePointAtZeroIsStreamed) {
  Trajectory shuffled{{"joint6", "joint2", "joint1", "joint4", "joint3", "joint5"},
                      {{6, 2, 1, 4, 3, 5}, {16, 12, 11, 14, 13, 15}},
                      {{}, {0.6, 0.2, 0.1, 0.4, 0.3, 0.5}},
                      {{0, 500000000}, {2, 0}}};
  const JointCommand trajectory = parseJointCommand(Message(shuffled).get());
  EXPECT_FALSE(trajectory.streamed);
  ASSERT_EQ(trajectory.points.size(), 2u);
  EXPECT_EQ(trajectory.points[0].positions, (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(trajectory.points[0].velocities.empty());
  EXPECT_EQ(trajectory.points[1].velocities, (std::vector<double>{0.1, 0.2, 0.3, 0.4, 0.5, 0.6}));
  EXPECT_DOUBLE_EQ(trajectory.points[0].time_from_start, 0.5);
  EXPECT_DOUBLE_EQ(trajectory.points[1].time_from_start, 2.0);

  Trajectory single{kInOrder, {{1, 2, 3, 4, 5, 6}}, {}, {{0, 0}}};
  EXPECT_TRUE(parseJointCommand(Message(single).get()).streamed);
  single.times = {{0, 1}};
  EXPECT_FALSE(parseJointCommand(Message(single).get()).streamed);
}

TEST(BridgeCommands, MalformedJointCommandsAreRefused) {
  const std::vector<double> six{0, 0, 0, 0, 0, 0};
  const std::vector<Trajectory> malformed{
      {{"joint1", "joint2", "joint3", "joint4", "joint5", "wrist"}, {six}, {}, {}},
      {{"joint1", "joint2", "joint3", "joint4", "joint5", "joint1"}, {six}, {}, {}},
      {{"joint1", "joint2", "joint3", "joint4", "joint5"}, {six}, {}, {}},
      {{"joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper"}, {six}, {}, {}},
      {kInOrder, {}, {}, {}},
      {kInOrder, {{0, 0, 0, 0, 0}}, {}, {}},
      {kInOrder, {{0, 0, NAN, 0, 0, 0}}, {}, {}},
      {kInOrder, {six}, {{0, 0, 0}}, {}},
      {kInOrder, {six}, {{0, 0, 0, INFINITY, 0, 0}}, {}},
      {kInOrder, {six}, {}, {{-1, 0}}},
      {kInOrder, {six}, {}, {{0, 1000000000}}},
  };
  for (std::size_t i = 0; i < malformed.size(); ++i) {
    EXPECT_THROW(parseJointCommand(Message(malformed[i]).get()), std::invalid_argument) << "case " << i;
  }
}

TEST(BridgeCommands, ClampedTargetsAreNamedWithTheValueTheArmUses) {
  EXPECT_EQ(clampedJointTargets({0, 0, 0, 0, 0, 0}), "");
  EXPECT_EQ(clampedJointTargets({0, -0.2, 4.0, 0, 0, 0}),
            "joint2 target -0.2 is outside [-0.1, 3.6], clamped to -0.1; "
            "joint3 target 4 is outside [-0.1, 3], clamped to 3");
  EXPECT_EQ(clampedGripperTarget(1e300, 0), "gripper target 1e+300 is outside [0, 5], clamped to 5");
  EXPECT_EQ(clampedGripperTarget(1.0, 2), "gripper target 1 is outside [-3.4, 0.1], clamped to 0.1");
  EXPECT_EQ(clampedGripperTarget(1.0, 0), "");
}

TEST(BridgeCommands, TargetPosesAreCheckedAndShiftedIntoTheArmsCoordinates) {
  std::string frame = "base_link";
  geometry_msgs_msg_dds__PoseStamped_ message{};
  message.header.frame_id = frame.data();
  message.pose.position = {0.5, 0.1, 0.4};
  message.pose.orientation = {0.0, 0.0, 2.0, 0.0};  // not normalised: 180 degrees about z
  const Eigen::Isometry3d pose = parseTargetPose(message, Eigen::Vector3d(0.3, 0.0, 0.2));
  EXPECT_TRUE(pose.translation().isApprox(Eigen::Vector3d(0.2, 0.1, 0.2)));
  EXPECT_TRUE(pose.linear().isApprox(Eigen::AngleAxisd(M_PI, Eigen::Vector3d::UnitZ()).toRotationMatrix()));

  std::string empty;
  message.header.frame_id = empty.data();
  EXPECT_NO_THROW(parseTargetPose(message, Eigen::Vector3d::Zero()));
  std::string world = "world";
  message.header.frame_id = world.data();
  EXPECT_THROW(parseTargetPose(message, Eigen::Vector3d::Zero()), std::invalid_argument);
  message.header.frame_id = frame.data();
  message.pose.orientation = {0.0, 0.0, 0.0, 0.0};
  EXPECT_THROW(parseTargetPose(message, Eigen::Vector3d::Zero()), std::invalid_argument);
  message.pose.orientation = {0.0, 0.0, 0.0, 1.0};
  message.pose.position.y = NAN;
  EXPECT_THROW(parseTargetPose(message, Eigen::Vector3d::Zero()), std::invalid_argument);

  EXPECT_THROW(parseGripperCommand({NAN, 1.0}), std::invalid_argument);
  EXPECT_EQ(parseGripperCommand({0.7, -3.0}), 0.7);
  EXPECT_THROW(parseArmState({6}), std::invalid_argument);
  EXPECT_THROW(parseArmState({-1}), std::invalid_argument);
  EXPECT_EQ(parseArmState({4}), 4);
}

}  // namespace

// ------------------------------------------------------------ trajectory goals

struct Goal {
  explicit Goal(Trajectory trajectory) : message(std::move(trajectory)) { goal.trajectory = message.get(); }
  Goal& tolerance(bool path, const char* name, double position) {
    auto& list = path ? path_ : goal_;
    list.push_back({const_cast<char*>(name), position, 0.0, 0.0});
    goal.path_tolerance = {static_cast<uint32_t>(path_.size()), static_cast<uint32_t>(path_.size()),
                           path_.data(), false};
    goal.goal_tolerance = {static_cast<uint32_t>(goal_.size()), static_cast<uint32_t>(goal_.size()),
                           goal_.data(), false};
    return *this;
  }
  Message message;
  std::vector<control_msgs_msg_dds__JointTolerance_> path_, goal_;
  control_msgs_action_dds__FollowJointTrajectory_Goal_ goal{};
};

const kav::motion::JointArray kHere{0.0, 0.5, 0.5, 0.0, 0.0, 0.0};

std::int32_t refusal(const Goal& goal, double now_s = 100.0) {
  try {
    checkFollowGoal(goal.goal, kHere, now_s);
  } catch (const GoalRefused& refused) {
    return refused.code;
  }
  return kSuccessful;
}

TEST(FollowGoal, RefusalsCarryTheActionsErrorCodes) {
  const std::vector<double> there{0.2, 0.5, 0.5, 0.0, 0.0, 0.0};
  EXPECT_EQ(refusal(Goal({kInOrder, {there}, {}, {{2, 0}}})), kSuccessful);
  EXPECT_EQ(
      refusal(Goal({{"joint1", "joint2", "joint3", "joint4", "joint5", "wrist"}, {there}, {}, {{2, 0}}})),
      kInvalidJoints);
  EXPECT_EQ(refusal(Goal({kInOrder, {there}, {}, {{2, 0}}}).tolerance(true, "elbow", 0.1)), kInvalidJoints);
  // The start state at time 0 must be where the arm is.
  EXPECT_EQ(refusal(Goal({kInOrder, {there, there}, {}, {{0, 0}, {2, 0}}})), kInvalidGoal);
  EXPECT_EQ(refusal(Goal({kInOrder, {{0.01, 0.5, 0.5, 0.0, 0.0, 0.0}, there}, {}, {{0, 0}, {2, 0}}})),
            kSuccessful);
  EXPECT_EQ(refusal(Goal({kInOrder, {{0.01, 0.5, 0.5, 0.0, 0.0, 0.0}}, {}, {{0, 0}}})), kInvalidGoal);
  // A stamp so old that the trajectory has ended.
  Goal old({kInOrder, {there}, {}, {{2, 0}}});
  old.goal.trajectory.header.stamp = {90, 0};
  EXPECT_EQ(refusal(old, 100.0), kOldHeaderTimestamp);
  EXPECT_EQ(refusal(old, 91.0), kSuccessful);
}

TEST(FollowGoal, APlannersEndOfProfileRunsOnPositionsAndVelocities) {
  // The last point at rest but for a rounding, still decelerating.
  std::vector<double> positions{0.2, 0.5, 0.5, 0.0, 0.0, 0.0}, velocities{1e-9, 0, 0, 0, 0, 0},
      accelerations{-0.3, 0, 0, 0, 0, 0};
  Goal goal({kInOrder, {positions}, {velocities}, {{2, 0}}});
  auto& point = goal.message.points()[0];
  point.accelerations = sequence(accelerations);
  const FollowPlan plan = checkFollowGoal(goal.goal, kHere, 100.0);
  EXPECT_EQ(plan.points[0].velocities, std::vector<double>(6, 0.0));
  EXPECT_TRUE(plan.points[0].accelerations.empty());
}

TEST(FollowGoal, TrackerEndsOnThePathTheGoalAndTheGoalTime) {
  // Joint 1 from 0 to 0.2 rad in 2 s; path tolerance 0.05 rad on joint 1,
  // goal tolerance 0.01 rad, 0.5 s to get there.
  Goal goal({kInOrder, {{0.2, 0.5, 0.5, 0.0, 0.0, 0.0}}, {}, {{2, 0}}});
  goal.tolerance(true, "joint1", 0.05).tolerance(false, "joint1", 0.01);
  goal.goal.goal_time_tolerance = {0, 500000000};
  kav::motion::JointSample start;
  start.position = kHere;
  const FollowTracker tracker(checkFollowGoal(goal.goal, kHere, 100.0), start);
  const kav::motion::JointArray zero{};
  std::string why;

  auto on_path = tracker.desired(1.0).position;
  EXPECT_GT(on_path[0], 0.05);
  EXPECT_LT(on_path[0], 0.15);
  EXPECT_EQ(tracker.update(1.0, on_path, tracker.desired(1.0).velocity, why), FollowTracker::State::kRunning);
  auto off_path = on_path;
  off_path[0] += 0.06;
  EXPECT_EQ(tracker.update(1.0, off_path, zero, why), FollowTracker::State::kPathViolated);
  EXPECT_NE(why.find("joint1"), std::string::npos) << why;

  auto end = tracker.desired(2.0).position;
  EXPECT_NEAR(end[0], 0.2, 1e-9);
  EXPECT_EQ(tracker.update(2.1, end, zero, why), FollowTracker::State::kSucceeded);
  auto short_of_it = end;
  short_of_it[0] -= 0.02;
  EXPECT_EQ(tracker.update(2.3, short_of_it, zero, why), FollowTracker::State::kRunning);
  EXPECT_EQ(tracker.update(2.6, short_of_it, zero, why), FollowTracker::State::kGoalViolated);
}

TEST(JointStream, AStampedWindowCountsFromItsStampAndAPlanRefusedIsTriedLonger) {
  auto point = [](double position, double time) {
    kav::motion::TrajectoryPoint p;
    p.positions.assign(6, position);
    p.time_from_start = time;
    return p;
  };
  JointStream stream;
  std::vector<std::vector<kav::motion::TrajectoryPoint>> plans;
  auto take = [&](const std::vector<kav::motion::TrajectoryPoint>& points) { plans.push_back(points); };
  // Stamped 0.3 s ago: the point at 0.2 s has passed, the others move up.
  stream.follow({point(0.1, 0.2), point(0.2, 0.5), point(0.3, 0.9)}, 100.0, 100.3, take);
  ASSERT_EQ(plans.size(), 1u);
  ASSERT_EQ(plans[0].size(), 2u);
  EXPECT_NEAR(plans[0][0].time_from_start, 0.2, 1e-9);
  EXPECT_EQ(plans[0][1].positions[0], 0.3);
  EXPECT_THROW(stream.follow({point(0.1, 0.2)}, 100.0, 101.0, take), std::invalid_argument);
  EXPECT_EQ(plans.size(), 1u);

  // A point at rest the arm refuses at its time is tried 0.2, 0.4, ... s later.
  plans.clear();
  int refusals = 2;
  stream.follow({point(0.5, 0.05)}, 0.0, 200.0, [&](const auto& points) {
    plans.push_back(points);
    if (refusals-- > 0) throw std::invalid_argument("too fast");
  });
  ASSERT_EQ(plans.size(), 3u);
  EXPECT_NEAR(plans[2].back().time_from_start, 0.05 + 0.4, 1e-9);
  EXPECT_THROW(stream.follow({point(0.5, 0.05)}, 0.0, 300.0,
                             [](const auto&) { throw std::invalid_argument("never"); }),
               std::invalid_argument);
}
