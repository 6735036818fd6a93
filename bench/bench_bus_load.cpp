// The arm's traffic on a bit-timed bus: brings an arm up through the native
// facade against the simulated arm on a local-socket bus timed like the arm's
// 1 Mbit/s CAN bus, runs every state for a while, destroys it, and prints per
// phase the frames the bus carried (host and motors), the frames refused by
// full transmit queues, and the bus load (mean, and peak over 100 ms windows).
//
//   bench_bus_load [--seconds-per-state S] [--bitrate N]
//
// Phases come from the benchmark's own time marks; inside the bring-up and
// the destruction, from the kinds of frames the host sent (clear-error,
// enable, damping, homing). Refused frames are counted by the senders when
// they send; the phases' bounds are bus times, so a refusal within a few
// milliseconds of a bound can fall into the neighbouring phase.
#include <canbase/SocketCan.h>
#include <config/ArmConfig.h>
#include <interfaces/InterfacesThread.h>
#include <sim/BusHub.h>
#include <sim/MotorWire.h>
#include <sim/SimulatedArm.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using kav::sim::CarriedFrame;
using namespace std::chrono_literals;

constexpr std::size_t kMotorsMember = 0;  // the simulated arm joins first
constexpr std::size_t kHostMember = 1;
constexpr auto kLoadWindow = 100ms;
constexpr auto kWindowStep = 10ms;

// ------------------------------------------------------------- frame kinds

enum class Kind { kClearError, kEnable, kLimp, kHeld, kGripper, kOther };

// What a frame from the host asked of a motor: limp means k_p 0 (damping,
// and the type 4 motors' enable), held means k_p above 0 (homing and the
// position laws).
Kind kindOf(const kav::hw_interface::CanFrame& frame) {
  if (frame.can_id == 0 && frame.can_dlc == 0) return Kind::kClearError;  // the type 4 motors' clear-error
  for (int joint = 0; joint < kav::config::kMotors; ++joint) {
    if (frame.can_id != static_cast<uint32_t>(kav::config::kMotorIds[joint])) continue;
    const auto command = kav::sim::decodeCommand(kav::config::kMotorProtocols[joint], frame);
    if (!command) return Kind::kOther;
    if (command->kind == kav::sim::CommandKind::kClearError) return Kind::kClearError;
    if (command->kind == kav::sim::CommandKind::kEnable) return Kind::kEnable;
    if (command->kind != kav::sim::CommandKind::kHybrid) return Kind::kOther;
    if (joint == kav::config::kGripper) return Kind::kGripper;
    return command->k_p > 0 ? Kind::kHeld : Kind::kLimp;
  }
  return Kind::kOther;
}

// ------------------------------------------------------------- refusals

struct RefusalSample {
  Clock::time_point time;
  std::uint64_t host;
  std::uint64_t motors;
};

// Samples both senders' refusal counters every millisecond.
class RefusalSampler {
 public:
  explicit RefusalSampler(const kav::sim::SimulatedArm& arm)
      : arm_(arm), thread_([this] {
          while (!stop_.load()) {
            samples_.push_back(
                {Clock::now(), kav::hw_interface::SocketCan::framesRefusedInProcess(), arm_.framesRefused()});
            std::this_thread::sleep_for(1ms);
          }
        }) {}
  std::vector<RefusalSample> stop() {
    stop_.store(true);
    thread_.join();
    samples_.push_back(
        {Clock::now(), kav::hw_interface::SocketCan::framesRefusedInProcess(), arm_.framesRefused()});
    return samples_;
  }

 private:
  const kav::sim::SimulatedArm& arm_;
  std::atomic<bool> stop_{false};
  std::vector<RefusalSample> samples_;
  std::thread thread_;
};

RefusalSample refusedAt(const std::vector<RefusalSample>& samples, Clock::time_point t) {
  RefusalSample at{t, 0, 0};
  for (const auto& sample : samples) {
    if (sample.time > t) break;
    at = sample;
  }
  return at;
}

// ------------------------------------------------------------- phases

struct Phase {
  std::string name;
  Clock::time_point from;
  Clock::time_point to;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void printPhase(const Phase& phase, const kav::sim::BusHub& hub, const std::vector<CarriedFrame>& carried,
                const std::vector<RefusalSample>& refusals) {
  if (!(phase.to > phase.from)) {
    std::printf("%-26s (not found in the traffic)\n", phase.name.c_str());
    return;
  }
  std::size_t host = 0, motors = 0;
  for (const auto& frame : carried) {
    if (frame.end <= phase.from || frame.end > phase.to) continue;
    (frame.member == kHostMember ? host : motors) += 1;
  }
  const RefusalSample before = refusedAt(refusals, phase.from);
  const RefusalSample after = refusedAt(refusals, phase.to);
  const double mean = hub.busLoad(phase.from, phase.to);
  const auto window = std::min<Clock::duration>(kLoadWindow, phase.to - phase.from);
  double peak = 0.0;
  for (auto start = phase.from; start + window <= phase.to; start += kWindowStep) {
    peak = std::max(peak, hub.busLoad(start, start + window));
  }
  peak = std::max(peak, hub.busLoad(phase.to - window, phase.to));
  std::printf("%-26s %8.3f %7zu %7zu %8llu %8llu %7.1f %% %7.1f %%%s\n", phase.name.c_str(),
              seconds(phase.to - phase.from), host, motors,
              static_cast<unsigned long long>(after.host - before.host),
              static_cast<unsigned long long>(after.motors - before.motors), 100.0 * mean, 100.0 * peak,
              window < kLoadWindow ? " (whole phase)" : "");
}

// The end of the last carried host frame of `kind` within [from, to].
std::optional<Clock::time_point> lastHostFrame(const std::vector<CarriedFrame>& carried, Kind kind,
                                               Clock::time_point from, Clock::time_point to) {
  std::optional<Clock::time_point> last;
  for (const auto& frame : carried) {
    if (frame.member == kHostMember && frame.end >= from && frame.end <= to && kindOf(frame.frame) == kind) {
      last = frame.end;
    }
  }
  return last;
}

// The bring-up's steps, from the kinds of frames the host sent.
std::vector<Phase> bringUpSteps(const std::vector<CarriedFrame>& carried, Clock::time_point from,
                                Clock::time_point to) {
  const auto cleared = lastHostFrame(carried, Kind::kClearError, from, to).value_or(from);
  const auto enabled = lastHostFrame(carried, Kind::kEnable, from, to).value_or(cleared);
  // Damping lasts up to the last frame before the first held one (homing).
  Clock::time_point damped = enabled;
  for (const auto& frame : carried) {
    if (frame.member != kHostMember || frame.end <= enabled || frame.end > to) continue;
    if (kindOf(frame.frame) == Kind::kHeld) break;
    damped = frame.end;
  }
  return {{"  clear errors (3 rounds)", from, cleared},
          {"  enable (3 rounds)", cleared, enabled},
          {"  damping (100 rounds)", enabled, damped},
          {"  homing", damped, to}};
}

// The destruction's damping hold: from the first limp frame after the last
// held one (the control thread has stopped by then) to the host's last frame.
Phase dampingHold(const std::vector<CarriedFrame>& carried, Clock::time_point from, Clock::time_point to,
                  long bitrate) {
  const auto held = lastHostFrame(carried, Kind::kHeld, from, to).value_or(from);
  std::optional<Clock::time_point> first;
  Clock::time_point last = held;
  for (const auto& frame : carried) {
    if (frame.member != kHostMember || frame.end <= held || frame.end > to) continue;
    if (!first && kindOf(frame.frame) == Kind::kLimp) {
      const std::chrono::nanoseconds on_bus(kav::sim::canFrameBits(frame.frame) * 1000000000LL / bitrate);
      first = frame.end - on_bus;
    }
    last = frame.end;
  }
  return {"  damping hold", first.value_or(last), last};
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// ------------------------------------------------------------- the run

// Holds the state, calling `step` with the seconds since its start every 10 ms.
template <class Step>
Phase holdState(const char* name, kav::t8::InterfacesThread& arm, int state, double seconds_per_state,
                Step step) {
  const auto from = Clock::now();
  arm.setArmStatus(state);
  const auto until =
      from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds_per_state));
  while (Clock::now() < until) {
    step(std::chrono::duration<double>(Clock::now() - from).count());
    std::this_thread::sleep_for(10ms);
  }
  return {name, from, Clock::now()};
}

}  // namespace

int main(int argc, char** argv) {
  double seconds_per_state = 3.0;
  long bitrate = kav::config::kCanBitrate;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds-per-state" && i + 1 < argc) {
      seconds_per_state = std::atof(argv[++i]);
    } else if (arg == "--bitrate" && i + 1 < argc) {
      bitrate = std::atol(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: bench_bus_load [--seconds-per-state S] [--bitrate N]\n");
      return 2;
    }
  }
  if (!(seconds_per_state > 0.0 && seconds_per_state <= 600.0) || bitrate < 1000 || bitrate > 1000000) {
    std::fprintf(stderr, "bench_bus_load: --seconds-per-state must be 0-600, --bitrate 1000-1000000\n");
    return 2;
  }

  kav::sim::BusHubOptions options;
  options.bitrate = static_cast<std::uint32_t>(bitrate);
  options.record_capacity = 1 << 21;
  options.realtime_priority = 81;
  kav::sim::BusHub hub(options);
  kav::sim::SimulatedArm motors(hub.endpoint());
  hub.waitForMembers(1);
  const std::string load_before = loadAverage();
  RefusalSampler sampler(motors);
  const std::string urdf = std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf";

  std::vector<Phase> phases;
  const auto bring_up = Clock::now();
  auto arm = std::make_unique<kav::t8::InterfacesThread>(urdf, hub.endpoint(), 0);
  const auto ready = Clock::now();
  phases.push_back({"bring-up", bring_up, ready});

  auto still = [](double) {};
  phases.push_back(holdState("SOFT (0)", *arm, 0, seconds_per_state, still));
  phases.push_back(holdState("GO_HOME (1)", *arm, 1, seconds_per_state, still));
  phases.push_back(holdState("PROTECT (2)", *arm, 2, seconds_per_state, still));
  phases.push_back(holdState("G_COMPENSATION (3)", *arm, 3, seconds_per_state, still));
  // END_CONTROL: the pose where the arm is, then a 2 cm circle around it.
  const Eigen::Isometry3d here = arm->getEndPose();
  arm->setEndPose(here);
  phases.push_back(holdState("END_CONTROL (4)", *arm, 4, seconds_per_state, [&](double t) {
    Eigen::Isometry3d pose = here;
    pose.translation() += Eigen::Vector3d(0.0, 0.02 * std::sin(1.0 * t), 0.02 * std::cos(1.0 * t) - 0.02);
    arm->setEndPose(pose);
  }));
  phases.push_back(holdState("POSITION_CONTROL (5)", *arm, 5, seconds_per_state, [&](double t) {
    arm->setJointPositions({0.4 * std::sin(0.8 * t), 0.5 + 0.3 * std::sin(1.1 * t), 0.5,
                            0.4 * std::sin(1.3 * t), 0.2, 0.6 * std::sin(0.6 * t)});
  }));
  const auto codes = arm->getErrorCode();
  const auto destroy = Clock::now();
  arm.reset();
  const auto destroyed = Clock::now();
  phases.push_back({"destruction", destroy, destroyed});
  std::this_thread::sleep_for(50ms);  // the last frames leave the bus
  const std::vector<RefusalSample> refusals = sampler.stop();
  const std::vector<CarriedFrame> carried = hub.takeCarriedFrames();
  const kav::sim::BusStatistics statistics = hub.statistics();

  std::printf("\nbus load benchmark: %ld bit/s, transmit queue %zu frames, %.1f s per state\n", bitrate,
              options.transmit_queue, seconds_per_state);
  std::printf("load average before %s, after %s\n", load_before.c_str(), loadAverage().c_str());
  std::printf("\n%-26s %8s %7s %7s %8s %8s %9s %9s\n", "phase", "s", "host", "motors", "ref.host", "ref.mot",
              "load", "peak");
  for (const Phase& phase : phases) {
    printPhase(phase, hub, carried, refusals);
    if (phase.name == "bring-up") {
      for (const Phase& step : bringUpSteps(carried, phase.from, phase.to)) {
        printPhase(step, hub, carried, refusals);
      }
    }
    if (phase.name == "destruction")
      printPhase(dampingHold(carried, phase.from, phase.to, bitrate), hub, carried, refusals);
  }
  printPhase({"whole run", bring_up, destroyed}, hub, carried, refusals);
  std::printf("\nframes carried %llu (not recorded %llu), members %zu, error codes in the states: %zu\n",
              static_cast<unsigned long long>(statistics.frames),
              static_cast<unsigned long long>(statistics.frames_not_recorded), statistics.members.size(),
              codes.size());
  return 0;
}
