// The bridge's samples byte for byte against vectors written by hand from
// the layouts ROS 2's Cyclone DDS middleware uses (docs/ros2.md, "Wire
// layouts"): XCDR1 little-endian, the request header {uint64 guid; int64 seq}
// right after the encapsulation, and ros_discovery_info with 16- and 24-byte
// gids.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "Dds.h"
#include "Graph.h"
#include "Health.h"
#include "Service.h"
#include "control_msgs.h"

namespace {

using kav::bridge::cdrBytes;
using Bytes = std::vector<std::uint8_t>;

const Bytes kEncapsulation{0x00, 0x01, 0x00, 0x00};
const Bytes kGuid{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};  // 0x0102030405060708
const Bytes kSeq{0x05, 0, 0, 0, 0, 0, 0, 0};                        // 5

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes u32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Bytes f64(double value) {
  Bytes bytes(8);
  std::memcpy(bytes.data(), &value, 8);
  return bytes;
}

Bytes counting(std::uint8_t from, std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(from + i);
  return bytes;
}

const Bytes kPad1{0}, kPad2{0, 0}, kPad4{0, 0, 0, 0};

// A goal as a Cyclone client frames it: header, goal id, then the Goal with
// one joint "j1", one point (0.5 rad at 2 s), an empty multi-DOF trajectory,
// one goal tolerance (j1, 0.01 rad) and a goal time tolerance of 0.5 s.
const Bytes kGoalRequest = cat({
    kEncapsulation, kGuid,          kSeq,          counting(0x10, 16),  // guid, seq, goal_id
    u32(1),         u32(2),         u32(2),        {'b', 0},
    kPad2,                                                 // header: stamp 1 s 2 ns, frame_id "b"
    u32(1),         u32(3),         {'j', '1', 0}, kPad1,  // joint_names ["j1"]
    u32(1),                                                // points: 1
    u32(1),         kPad4,          f64(0.5),              //   positions [0.5] (aligned to 8)
    u32(0),         u32(0),         u32(0),                //   velocities, accelerations, effort []
    u32(2),         u32(0),                                //   time_from_start 2 s
    u32(0),         u32(0),         u32(1),        {0},
    {0, 0, 0},                                             // multi_dof: header stamp 0, frame_id ""
    u32(0),         u32(0),                                //   joint_names [], points []
    u32(0),         u32(0),                                // path_tolerance [], component_path_tolerance []
    u32(1),         u32(3),         {'j', '1', 0}, kPad1,  // goal_tolerance: name "j1"
    f64(0.01),      f64(0.0),       f64(0.0),              //   position, velocity, acceleration
    u32(0),                                                // component_goal_tolerance []
    u32(0),         u32(500000000),                        // goal_time_tolerance 0.5 s
});

TEST(WireLayout, GoalRequestDecodesFromTheMiddlewaresFramingAndEncodesBack) {
  control_msgs_action_dds__FollowJointTrajectory_SendGoal_Request_ request{};
  kav::bridge::fromCdrBytes(control_msgs_action_dds__FollowJointTrajectory_SendGoal_Request__desc,
                            kGoalRequest, &request);
  EXPECT_EQ(request.guid, 0x0102030405060708u);
  EXPECT_EQ(request.seq, 5);
  EXPECT_EQ(request.goal_id.uuid[0], 0x10);
  EXPECT_EQ(request.goal_id.uuid[15], 0x1f);
  const auto& trajectory = request.goal.trajectory;
  EXPECT_EQ(trajectory.header.stamp.sec, 1);
  EXPECT_EQ(trajectory.header.stamp.nanosec, 2u);
  EXPECT_STREQ(trajectory.header.frame_id, "b");
  ASSERT_EQ(trajectory.joint_names._length, 1u);
  EXPECT_STREQ(trajectory.joint_names._buffer[0], "j1");
  ASSERT_EQ(trajectory.points._length, 1u);
  ASSERT_EQ(trajectory.points._buffer[0].positions._length, 1u);
  EXPECT_EQ(trajectory.points._buffer[0].positions._buffer[0], 0.5);
  EXPECT_EQ(trajectory.points._buffer[0].time_from_start.sec, 2);
  ASSERT_EQ(request.goal.goal_tolerance._length, 1u);
  EXPECT_STREQ(request.goal.goal_tolerance._buffer[0].name, "j1");
  EXPECT_EQ(request.goal.goal_tolerance._buffer[0].position, 0.01);
  EXPECT_EQ(request.goal.goal_time_tolerance.nanosec, 500000000u);
  EXPECT_EQ(cdrBytes(control_msgs_action_dds__FollowJointTrajectory_SendGoal_Request__desc, &request),
            kGoalRequest);
  dds_sample_free(&request, &control_msgs_action_dds__FollowJointTrajectory_SendGoal_Request__desc,
                  DDS_FREE_CONTENTS);
}

TEST(WireLayout, RepliesEchoTheRequestHeaderBeforeTheirFields) {
  control_msgs_action_dds__FollowJointTrajectory_SendGoal_Response_ accepted{};
  accepted.guid = 0x0102030405060708u;
  accepted.seq = 5;
  accepted.accepted = true;
  accepted.stamp = {7, 9};
  EXPECT_EQ(cdrBytes(control_msgs_action_dds__FollowJointTrajectory_SendGoal_Response__desc, &accepted),
            cat({kEncapsulation, kGuid, kSeq, {1}, {0, 0, 0}, u32(7), u32(9)}));

  std::string text = "x";
  control_msgs_action_dds__FollowJointTrajectory_GetResult_Response_ result{};
  result.guid = 0x0102030405060708u;
  result.seq = 5;
  result.status = 6;
  result.result.error_code = -4;
  result.result.error_string = kav::bridge::text(text);
  EXPECT_EQ(cdrBytes(control_msgs_action_dds__FollowJointTrajectory_GetResult_Response__desc, &result),
            cat({kEncapsulation, kGuid, kSeq, {6}, {0, 0, 0}, u32(0xfffffffc), u32(2), {'x', 0}}));

  control_msgs_action_dds__GripperCommand_GetResult_Response_ gripper{};
  gripper.guid = 0x0102030405060708u;
  gripper.seq = 5;
  gripper.status = 4;
  gripper.result = {0.25, -1.5, false, true};
  EXPECT_EQ(cdrBytes(control_msgs_action_dds__GripperCommand_GetResult_Response__desc, &gripper),
            cat({kEncapsulation, kGuid, kSeq, {4}, {0, 0, 0, 0, 0, 0, 0}, f64(0.25), f64(-1.5), {0, 1}}));
}

void collect(const void* sample, void* out) {
  auto& [type, bytes] = *static_cast<std::pair<const dds_topic_descriptor_t*, Bytes>*>(out);
  bytes = cdrBytes(*type, sample);
}

Bytes discoveryBytes(kav::bridge::RosDistro distro) {
  kav::bridge::ParticipantEntities entities;
  for (std::uint8_t i = 0; i < 16; ++i) entities.participant[i] = static_cast<std::uint8_t>(0x40 + i);
  entities.node_namespace = "/k";
  entities.node_name = "n";
  entities.readers.push_back({});
  for (std::uint8_t i = 0; i < 16; ++i) entities.readers[0][i] = static_cast<std::uint8_t>(0x80 + i);
  std::pair<const dds_topic_descriptor_t*, Bytes> out{&kav::bridge::discoveryInfoType(distro), {}};
  kav::bridge::withDiscoveryInfo(entities, distro, &collect, &out);
  return out.second;
}

TEST(WireLayout, DiscoveryInfoHasSixteenByteGidsFromIronOnAndTwentyFourInHumble) {
  const Bytes node_names = cat({u32(3), {'/', 'k', 0}, kPad1, u32(2), {'n', 0}, kPad2});
  EXPECT_EQ(
      discoveryBytes(kav::bridge::RosDistro::kJazzy),
      cat({kEncapsulation, counting(0x40, 16), u32(1), node_names, u32(1), counting(0x80, 16), u32(0)}));
  const Bytes padding(8, 0);
  EXPECT_EQ(discoveryBytes(kav::bridge::RosDistro::kHumble),
            cat({kEncapsulation, counting(0x40, 16), padding, u32(1), node_names, u32(1), counting(0x80, 16),
                 padding, u32(0)}));
  for (auto distro : {kav::bridge::RosDistro::kJazzy, kav::bridge::RosDistro::kHumble}) {
    EXPECT_STREQ(kav::bridge::discoveryInfoType(distro).m_typename,
                 "rmw_dds_common::msg::dds_::ParticipantEntitiesInfo_");
  }
  EXPECT_THROW(kav::bridge::parseRosDistro("iron"), std::invalid_argument);
}

TEST(WireLayout, ServiceIdsAndUserDataAsTheMiddlewareWritesThem) {
  std::array<std::uint8_t, 16> participant{};
  participant[0] = 0x01;
  participant[1] = 0xab;
  EXPECT_EQ(kav::bridge::serviceId(participant, 0x01020304), " 1.ab.0.0.0.0.0.0.0.0.0.0.1.2.3.4");
  EXPECT_EQ(kav::bridge::userDataValue("enclave=/;clientid= 1.ab.3;", "clientid"), " 1.ab.3");
  EXPECT_EQ(kav::bridge::userDataValue("enclave=/;", "clientid"), "");
}

}  // namespace

TEST(BridgeHealth, ARecoveryForgetsTheMotorsThatWereOffline) {
  kav::bridge::ErrorCodeWatch watch;
  watch.update({3 * 16 + 15, 5 * 16 + 15});
  EXPECT_EQ(watch.offlineMotors(), (std::set<int>{3, 5}));
  watch.update({3 * 16 + 15, 5 * 16 + 15, 176, 3 * 16 + 15});
  EXPECT_EQ(watch.offlineMotors(), (std::set<int>{3})) << "offline again after the recovery";
}

TEST(BridgeHealth, AReflexHoldsUntilARecovery) {
  kav::bridge::ErrorCodeWatch watch;
  watch.update({3 * 16 + 15});
  EXPECT_FALSE(watch.reflexHolds());
  watch.update({3 * 16 + 15, 165, 1});
  EXPECT_TRUE(watch.reflexHolds()) << "later codes do not end it";
  watch.update({3 * 16 + 15, 165, 1, 176});
  EXPECT_FALSE(watch.reflexHolds());
  watch.update({3 * 16 + 15, 165, 1, 176, 162});
  EXPECT_TRUE(watch.reflexHolds()) << "a reflex after the recovery";
}
