// The DDS bridge measured from a Fast DDS peer, with kav_bridge processes on
// simulated arms (each on a private local-socket bus):
//  1. latency from a joint command written by the peer to the first frame on
//     the bus that carries it (p50 / p99), seen in the simulated arm's log of
//     received commands: in POSITION_CONTROL the torque of joints 1-3 holds a
//     term proportional to (target - measured position), so a new target
//     shows in the first frame that the controller builds from it;
//  2. joint-state rate and loss with four bridges on one domain, and the rate
//     of their external torques (published with the joint states);
//  3. CPU share of each bridge process (and of its DDS side, without the
//     arm's control and receive threads) during 2.
// Run it inside a private network namespace:
//   unshare -n sh -c 'ip link set lo up && ip link set lo multicast on &&
//                     exec build/tests/dds/bench_dds_bridge [SAMPLES] [SECONDS]'
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "BridgedArm.h"
#include "RosPeer.h"

namespace {

using namespace kav_test;
using JointStateType = sensor_msgs::msg::dds_::JointState_PubSubType;
using TrajectoryType = trajectory_msgs::msg::dds_::JointTrajectory_PubSubType;
using Int32Type = std_msgs::msg::dds_::Int32_PubSubType;

constexpr std::uint32_t kDomain = 0;
constexpr double kStep = 0.05;             // joint 1 target step, rad
constexpr double kTorqueThreshold = 0.04;  // half the torque step it causes (1.5 x 0.05)

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p * values.size()));
  return values[std::max<std::size_t>(rank, 1) - 1];
}

trajectory_msgs::msg::dds_::JointTrajectory_ streamedTarget(double joint1) {
  trajectory_msgs::msg::dds_::JointTrajectory_ message;
  message.joint_names({"joint1", "joint2", "joint3", "joint4", "joint5", "joint6"});
  trajectory_msgs::msg::dds_::JointTrajectoryPoint_ point;
  point.positions({joint1, 0.0, 0.0, 0.0, 0.0, 0.0});
  message.points().push_back(point);
  return message;
}

// Run time in seconds of the threads of @p pid, by thread name.
std::map<std::string, double> threadSeconds(pid_t pid) {
  std::map<std::string, double> result;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* tasks = opendir(dir.c_str());
  if (tasks == nullptr) return result;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(dir + "/" + entry->d_name + "/comm");
    std::ifstream schedstat(dir + "/" + entry->d_name + "/schedstat");
    std::string name;
    long long ns = 0;
    std::getline(comm, name);
    schedstat >> ns;
    result[name] += ns * 1e-9;
  }
  closedir(tasks);
  return result;
}

bool waitForStates(Inbox<sensor_msgs::msg::dds_::JointState_>& inbox) {
  return inbox.latest(std::chrono::seconds(60)) != nullptr;
}

void measureLatency(RosPeer& peer, int samples) {
  BridgedArm bridged("bench", kDomain);
  auto states = peer.subscribe<JointStateType>(bridged.topic("joint_states"));
  auto command = peer.publisher<TrajectoryType>(bridged.topic("joint_command"));
  auto state = peer.publisher<Int32Type>(bridged.topic("set_arm_state"));
  if (!waitForStates(*states) || !peer.waitForReaders(bridged.topic("set_arm_state"), 1) ||
      !peer.waitForReaders(bridged.topic("joint_command"), 1)) {
    std::fprintf(stderr, "the bridge did not come up\n");
    std::exit(1);
  }
  std_msgs::msg::dds_::Int32_ position_control;
  position_control.data(5);
  state(position_control);
  std::this_thread::sleep_for(std::chrono::seconds(1));

  std::vector<double> latencies_us;
  int missed = 0;
  for (int i = 0; i < samples; ++i) {
    const double target = (i % 2 == 0) ? kStep : 0.0;
    bridged.arm.clearReceivedCommands();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto before = bridged.arm.receivedCommands(0);
    const double baseline = before.empty() ? 0.0 : before.back().command.torque;
    const auto written = Clock::now();
    command(streamedTarget(target));
    std::this_thread::sleep_for(std::chrono::milliseconds(70));
    bool found = false;
    for (const auto& received : bridged.arm.receivedCommands(0)) {
      if (received.time > written && std::fabs(received.command.torque - baseline) > kTorqueThreshold) {
        latencies_us.push_back(std::chrono::duration<double, std::micro>(received.time - written).count());
        found = true;
        break;
      }
    }
    if (!found) ++missed;
  }
  std::printf(
      "latency, joint command written -> first frame carrying it on the bus (%zu samples, %d not seen "
      "within 70 ms)\n",
      latencies_us.size(), missed);
  if (!latencies_us.empty()) {
    std::printf("  p50 %.2f ms   p99 %.2f ms   max %.2f ms\n", percentile(latencies_us, 0.5) / 1000,
                percentile(latencies_us, 0.99) / 1000, percentile(latencies_us, 1.0) / 1000);
  }
  bridged.stop(SIGTERM);
}

void measureFleet(RosPeer& peer, int seconds) {
  std::vector<std::unique_ptr<BridgedArm>> arms;
  std::vector<std::shared_ptr<Inbox<sensor_msgs::msg::dds_::JointState_>>> inboxes, torque_inboxes;
  for (int i = 0; i < 4; ++i) {
    arms.push_back(std::make_unique<BridgedArm>("fleet/arm" + std::to_string(i + 1), kDomain));
    inboxes.push_back(peer.subscribe<JointStateType>(arms.back()->topic("joint_states")));
    torque_inboxes.push_back(peer.subscribe<JointStateType>(arms.back()->topic("external_torques")));
  }
  for (auto& inbox : inboxes) {
    if (!waitForStates(*inbox)) {
      std::fprintf(stderr, "a bridge did not come up\n");
      std::exit(1);
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::vector<std::map<std::string, double>> cpu_before;
  for (auto& arm : arms) cpu_before.push_back(threadSeconds(arm->pid));
  for (auto& inbox : inboxes) inbox->clear();
  for (auto& inbox : torque_inboxes) inbox->clear();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  std::printf("four bridges, %d s: joint states per arm (rate 200 Hz)\n", seconds);
  for (std::size_t i = 0; i < arms.size(); ++i) {
    const auto entries = inboxes[i]->entries();
    // Samples the bridge wrote but the peer never got: gaps in the writer's
    // sequence numbers.
    const std::uint64_t written =
        entries.empty() ? 0 : entries.back().sequence - entries.front().sequence + 1;
    const long missing = static_cast<long>(written) - static_cast<long>(entries.size());
    const auto cpu = threadSeconds(arms[i]->pid);
    double total = 0, arm_side = 0;
    for (const auto& [name, value] : cpu) {
      const double used = value - cpu_before[i][name];
      total += used;
      if (name == "kav-control" || name == "kav-can-rx" || name == "kav-ik") arm_side += used;
    }
    std::printf(
        "  %s: received %.1f per s, written %.1f per s, lost %ld (%.3f %%); external torques received "
        "%.1f per s; CPU of one core: process %.1f %%, without the arm's threads %.1f %%\n",
        arms[i]->ns.c_str(), entries.size() / elapsed, written / elapsed, missing,
        100.0 * missing / std::max<double>(1.0, static_cast<double>(written)),
        torque_inboxes[i]->size() / elapsed, 100 * total / elapsed, 100 * (total - arm_side) / elapsed);
  }
  for (auto& arm : arms) arm->stop(SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
  const int samples = argc > 1 ? std::atoi(argv[1]) : 200;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
  RosPeer peer(kDomain);
  measureLatency(peer, samples);
  measureFleet(peer, seconds);
  return 0;
}
