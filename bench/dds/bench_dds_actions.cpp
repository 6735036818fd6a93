// kav_bridge's FollowJointTrajectory action measured from a Fast DDS peer
// framed as ROS 2's Cyclone DDS middleware frames its clients, with the
// bridge on a simulated arm (private local-socket bus):
//  1. goal acceptance latency: from writing the send_goal request to taking
//     the reply that accepts it (p50 / p99 / max); it includes the library's
//     whole-trajectory check and the hand-over to the control loop;
//  2. feedback rate while a goal runs (messages per second) and the gaps
//     between feedback messages (p50 / p99 / max);
//  3. /tf messages per second over the whole run.
// Run it inside a private network namespace:
//   unshare -n sh -c 'ip link set lo up && ip link set lo multicast on &&
//                     exec build/tests/dds/bench_dds_actions [GOALS]'
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "ActionClient.h"
#include "BridgedArm.h"

namespace {

using namespace kav_test;

constexpr std::uint32_t kDomain = 0;
constexpr double kGoalSeconds = 1.0;
constexpr double kStep = 0.05;  // joint 1, rad, back and forth

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p * values.size()));
  return values[std::max<std::size_t>(rank, 1) - 1];
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const int goals = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  BridgedArm bridged("bench", kDomain, 50);
  RosPeer peer(kDomain);
  auto states = peer.subscribe<sensor_msgs::msg::dds_::JointState_PubSubType>(bridged.topic("joint_states"));
  FollowClient follow(peer, "bench/follow_joint_trajectory", 0x42);
  if (states->latest(std::chrono::seconds(60)) == nullptr || !follow.ready()) {
    std::fprintf(stderr, "bench_dds_actions: the bridge did not come up\n");
    return 1;
  }
  const std::vector<std::string> joints{"joint1", "joint2", "joint3", "joint4", "joint5", "joint6"};
  // First away from home, where a joint may rest just outside its limit.
  std::vector<double> measured;
  for (int i = 0; i < 6; ++i) measured.push_back(bridged.arm.jointState(i).position);
  const std::vector<double> pose{0.0, 0.5, 0.5, 0.0, 0.0, 0.0};
  if (!follow.send(uuid(255), goal(joints, {measured, pose}, {0.0, 3.0})) ||
      follow.result(uuid(255)) == nullptr) {
    std::fprintf(stderr, "bench_dds_actions: the arm did not reach the start pose\n");
    return 1;
  }
  auto tf = peer.subscribe<tf2_msgs::msg::dds_::TFMessage_PubSubType>("rt/tf", Qos{true, false, 100});
  tf->clear();
  const auto began = Clock::now();
  std::vector<double> latency_ms, rate_hz, gaps_ms;
  for (int n = 0; n < goals; ++n) {
    std::vector<double> start = pose, end = pose;
    (n % 2 == 0 ? end : start)[0] += kStep;
    follow.feedback->clear();
    const auto sent = Clock::now();
    if (!follow.send(uuid(n), goal(joints, {start, end}, {0.0, kGoalSeconds}))) {
      std::fprintf(stderr, "bench_dds_actions: goal %d refused\n", n);
      return 1;
    }
    latency_ms.push_back(ms(Clock::now() - sent));
    const auto result = follow.result(uuid(n));
    if (result == nullptr || result->status() != 4) {
      std::fprintf(stderr, "bench_dds_actions: goal %d did not succeed\n", n);
      return 1;
    }
    const auto feedback = follow.feedback->entries();
    if (feedback.size() >= 2) {
      const double span =
          std::chrono::duration<double>(feedback.back().arrival - feedback.front().arrival).count();
      rate_hz.push_back((feedback.size() - 1) / span);
      for (std::size_t i = 1; i < feedback.size(); ++i)
        gaps_ms.push_back(ms(feedback[i].arrival - feedback[i - 1].arrival));
    }
  }
  const double tf_rate = tf->size() / std::chrono::duration<double>(Clock::now() - began).count();
  std::printf("goals: %d of %.1f s each\n", goals, kGoalSeconds);
  std::printf("acceptance latency [ms]: p50 %.2f  p99 %.2f  max %.2f\n", percentile(latency_ms, 0.5),
              percentile(latency_ms, 0.99), percentile(latency_ms, 1.0));
  std::printf("feedback rate per goal [1/s]: min %.1f  p50 %.1f  max %.1f\n", percentile(rate_hz, 0.0),
              percentile(rate_hz, 0.5), percentile(rate_hz, 1.0));
  std::printf("feedback gaps [ms]: p50 %.1f  p99 %.1f  max %.1f\n", percentile(gaps_ms, 0.5),
              percentile(gaps_ms, 0.99), percentile(gaps_ms, 1.0));
  std::printf("/tf messages per second: %.1f\n", tf_rate);
  return 0;
}
