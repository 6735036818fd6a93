// The bridge's checks of incoming commands, on the generated C messages
// directly: what is refused, and how accepted values are reordered.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "Commands.h"

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
