// CPU share of the simulated arm under a controller's load: a client sends
// one hybrid command to each of the seven motors every 5 ms, like the control
// thread, for a while; the simulator (bus hub and arm) runs in a child
// process whose CPU time is read from /proc.
//
//   sim_cpu_share [SECONDS]      (default 20)
#include <can_motor_dlc/Mtp2Dlc.h>
#include <can_motor_dlc/Mtp4Dlc.h>
#include <canbase/SocketCan.h>
#include <dirent.h>
#include <pthread.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using kav::hw_interface::CanFrame;

// Nanoseconds a task has run on a CPU (first field of schedstat).
long long runtimeNs(const std::string& schedstat_path) {
  std::ifstream in(schedstat_path);
  long long ns = 0;
  in >> ns;
  return ns;
}

std::string taskName(const std::string& task_dir) {
  std::ifstream in(task_dir + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// Run time per thread name of every thread of a process.
std::map<std::string, long long> threadRuntimes(pid_t pid) {
  std::map<std::string, long long> result;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* tasks = ::opendir(dir.c_str());
  if (tasks == nullptr) return result;
  while (dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string task = dir + "/" + entry->d_name;
    result[taskName(task)] += runtimeNs(task + "/schedstat");
  }
  ::closedir(tasks);
  return result;
}

[[noreturn]] void runSimulator(const std::string& address, int ready_fd, int stop_fd) {
  // The hub's thread inherits this name; the main thread only waits.
  pthread_setname_np(pthread_self(), "hub+main");
  {
    kav::sim::BusHub hub(address);
    kav::sim::SimulatedArm arm(address);
    const char byte = 1;
    if (::write(ready_fd, &byte, 1) != 1) std::_Exit(1);
    char ignored;
    while (::read(stop_fd, &ignored, 1) > 0) {
    }
  }
  std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
  if (!(seconds > 0.0)) {
    std::fprintf(stderr, "usage: sim_cpu_share [SECONDS]\n");
    return 2;
  }
  const std::string address = "unix:@kav-sim-cpu-share-" + std::to_string(::getpid());
  int ready[2], stop[2];
  if (::pipe(ready) != 0 || ::pipe(stop) != 0) return 1;
  const pid_t child = ::fork();
  if (child < 0) return 1;
  if (child == 0) {
    ::close(ready[0]);
    ::close(stop[1]);
    runSimulator(address, ready[1], stop[0]);
  }
  ::close(ready[1]);
  ::close(stop[0]);
  char byte;
  if (::read(ready[0], &byte, 1) != 1) {
    std::fprintf(stderr, "the simulator did not start\n");
    return 1;
  }

  std::vector<std::shared_ptr<kav::hw_interface::MotorDlcBase>> motors = {
      std::make_shared<kav::hw_interface::MotorType4>(1), std::make_shared<kav::hw_interface::MotorType4>(2),
      std::make_shared<kav::hw_interface::MotorType4>(4), std::make_shared<kav::hw_interface::MotorType2>(5),
      std::make_shared<kav::hw_interface::MotorType2>(6), std::make_shared<kav::hw_interface::MotorType2>(7),
      std::make_shared<kav::hw_interface::MotorType2>(8)};
  std::atomic<long> replies{0};
  long sent = 0;
  {
    kav::hw_interface::SocketCan bus;
    bus.setCallBackFunction([&](CanFrame* frame) {
      for (auto& motor : motors) motor->CanAnalyze(frame);
      replies.fetch_add(1);
    });
    bus.setGetMsgContentFunction([&] {
      for (auto& motor : motors) motor->ExchangeMotorMsg();
    });
    if (!bus.Init(address.c_str())) return 1;
    for (auto& motor : motors) {
      CanFrame frame = motor->packEnableMotor();
      bus.ExchangeData(&frame);
    }

    // One second of load before measuring, then the measured run.
    const auto period = std::chrono::microseconds(5000);
    auto next = Clock::now();
    auto cycle = [&] {
      bus.LoadMutexMsg();
      for (std::size_t j = 0; j < motors.size(); ++j) {
        const double position = motors[j]->GetMotorMsg().position;
        CanFrame frame = motors[j]->packMotorMsg(j < 3 ? 150.0 : 25.0, 1.0, position, 0.0, 0.0);
        bus.ExchangeData(&frame);
        ++sent;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      next += period;
      std::this_thread::sleep_until(next);
    };
    const auto warm_up_end = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < warm_up_end) cycle();

    const auto threads_before = threadRuntimes(child);
    const long sent_before = sent, replies_before = replies.load();
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) cycle();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const auto threads_after = threadRuntimes(child);
    const long measured_sent = sent - sent_before;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const long measured_replies = replies.load() - replies_before;

    std::map<std::string, double> share;  // per thread name, percent of one core
    double total = 0.0;
    for (const auto& [name, after] : threads_after) {
      const auto found = threads_before.find(name);
      const long long used = after - (found == threads_before.end() ? 0 : found->second);
      share[name] = 100.0 * static_cast<double>(used) / 1e9 / wall;
      total += share[name];
    }
    std::printf("simulator process (bus hub + arm), %.1f s under 7 frames every 5 ms:\n", wall);
    std::printf("  CPU share of one core: %.2f %%\n", total);
    for (const auto& [name, percent] : share) {
      std::printf("    thread %-16s %.2f %%\n", name.c_str(), percent);
    }
    std::printf("  frames sent %ld, feedback frames received %ld (%.2f %%)\n", measured_sent,
                measured_replies, 100.0 * static_cast<double>(measured_replies) / measured_sent);
    bus.setCallBackFunction(nullptr);
    bus.setGetMsgContentFunction(nullptr);
  }
  ::close(stop[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return 0;
}
