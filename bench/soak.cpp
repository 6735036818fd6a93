// soak: one arm on a simulated arm for a long time. Three host threads send
// random commands (states, joint targets, poses, gripper, home positions,
// interpolation limits, reads, and bad input) while a fourth injects faults
// into the simulated arm and clears them again (silent motors, motor error
// codes, currents, dropped frames, bus silence). When control ends on a
// fault, or a motor went offline (which holds the arm in damping for good),
// the arm is shut down and a new one brought up, and the soak goes on.
//
// Every minute and at the end it prints the resident memory and its slope
// after the warm-up, the thread and descriptor counts, the arms brought up,
// the error codes seen by kind, the faults injected, the host calls, and the
// longest control cycle (start to start) and Update().
//
//   soak [--seconds N | --minutes N] [--seed N] [--report-seconds N]
//
// Exit status 1 when, after the warm-up (a quarter of the run, at most
// 5 minutes), resident memory grows: its least-squares slope over samples
// every 5 s exceeds 512 kB/min and the last sample lies more than 2 MB above
// the warm-up's peak (short runs see slopes of a few hundred kB/min from
// noise alone); or when the threads or descriptors, counted while an arm
// runs, exceed their warm-up maximum by more than 2 / 4. Also when a control
// cycle failed (code 3), a host call threw what it must not, or no arm could
// be brought up five times in a row. 2 for a usage error.
#include <config/ArmConfig.h>
#include <controller/ControllerThread.h>
#include <controller/ErrorCode.h>
#include <dirent.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchStats.h"

namespace {

using Clock = std::chrono::steady_clock;
using kav::t8::ControllerBase;
using kav::t8::ControllerThread;
using namespace std::chrono_literals;
namespace config = kav::config;

constexpr double kRssSlopeLimitKbPerMin = 512.0;
constexpr long kRssGrowthLimitKb = 2048;
constexpr long kThreadAllowance = 2;
constexpr long kDescriptorAllowance = 4;
constexpr auto kSampleEvery = 5s;
constexpr auto kLongestWarmUp = 5min;
constexpr int kBringUpAttempts = 5;
constexpr int kHostThreads = 3;

// ------------------------------------------------------------ process figures

using kav_bench::descriptorCount;
using kav_bench::statusField;

long rssKb() { return statusField("VmRSS:"); }
long threadCount() { return statusField("Threads:"); }

// Least-squares slope of y over x.
double slope(const std::vector<std::pair<double, double>>& points) {
  if (points.size() < 2) return 0.0;
  double mean_x = 0, mean_y = 0;
  for (const auto& [x, y] : points) mean_x += x, mean_y += y;
  mean_x /= points.size();
  mean_y /= points.size();
  double sxy = 0, sxx = 0;
  for (const auto& [x, y] : points) sxy += (x - mean_x) * (y - mean_y), sxx += (x - mean_x) * (x - mean_x);
  return sxx > 0 ? sxy / sxx : 0.0;
}

// ------------------------------------------------------------ error codes

std::string kindOf(int code) {
  using Kind = kav::t8::ErrorCode::Kind;
  const kav::t8::ErrorCode decoded(code);
  switch (decoded.kind()) {
    case Kind::kOverCurrent:
      return "over-current";
    case Kind::kLinkOffline:
      return "link offline";
    case Kind::kCycleFailed:
      return "cycle failed";
    case Kind::kMotorOffline:
      return decoded.motor() == config::kGripper + 1 ? "gripper offline" : "arm motor offline";
    case Kind::kMotorFault:
      return "motor fault";
    case Kind::kImplausibleFeedback:
      return "implausible feedback";
    case Kind::kMotorDisabled:
      return "motor disabled";
    case Kind::kCollision:
      return "collision reflex";
    case Kind::kRecovered:
      return "recovered";
    case Kind::kLawFailed:
    case Kind::kLawOverrun:
    case Kind::kCommandsLate:
      return "host control law";
    case Kind::kLimitNotFinite:
    case Kind::kLimitPosition:
    case Kind::kLimitVelocity:
    case Kind::kLimitTorque:
    case Kind::kLimitBox:
    case Kind::kLimitSpeed:
      return "safety limit";
    case Kind::kUnknown:
      break;
  }
  return "other";
}

bool offlineCode(int code) {
  return kav::t8::ErrorCode(code).kind() == kav::t8::ErrorCode::Kind::kMotorOffline;
}

// ------------------------------------------------------------ shared state

struct Counters {
  std::mutex mutex;
  std::map<std::string, long> codes;    // of finished arms
  std::map<std::string, long> faults;   // injected
  std::map<std::string, long> calls;    // host calls by outcome
  std::vector<std::string> violations;  // reasons for a non-zero exit
  Clock::duration longest_cycle{};      // start to start
  std::chrono::nanoseconds longest_update{};
  int arms = 0;

  void count(std::map<std::string, long>& map, const std::string& key, long n = 1) {
    std::lock_guard<std::mutex> lock(mutex);
    map[key] += n;
  }
  void violation(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    if (violations.size() < 20) violations.push_back(what);
  }
};

// The arm the hosts drive; empty while one is being replaced.
class ArmSlot {
 public:
  std::shared_ptr<ControllerThread> get() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arm_;
  }
  void put(std::shared_ptr<ControllerThread> arm) {
    std::lock_guard<std::mutex> lock(mutex_);
    arm_ = std::move(arm);
  }
  // Takes the arm out and waits until no host holds it any more.
  std::shared_ptr<ControllerThread> take() {
    std::shared_ptr<ControllerThread> arm;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      arm.swap(arm_);
    }
    while (arm && arm.use_count() > 1) std::this_thread::sleep_for(1ms);
    return arm;
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<ControllerThread> arm_;
};

// ------------------------------------------------------------ host threads

class Host {
 public:
  Host(ArmSlot& slot, Counters& counters, std::uint64_t seed)
      : slot_(slot), counters_(counters), random_(seed) {}

  void run(const std::atomic<bool>& stop) {
    while (!stop.load()) {
      if (std::shared_ptr<ControllerThread> arm = slot_.get()) {
        oneCall(*arm);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(uniformInt(2, 30)));
    }
  }

 private:
  double uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random_);
  }
  int uniformInt(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool chance(double p) { return uniform(0.0, 1.0) < p; }

  // Joint values within the limits, or up to 0.5 rad beyond them.
  std::vector<double> jointValues() {
    std::vector<double> values(config::kArmJoints);
    for (int i = 0; i < config::kArmJoints; ++i) {
      values[i] = uniform(config::kJointLower[i] - 0.5, config::kJointUpper[i] + 0.5);
    }
    return values;
  }

  Eigen::Isometry3d pose() {
    Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
    const Eigen::Vector3d axis =
        Eigen::Vector3d(uniform(-1, 1), uniform(-1, 1), uniform(-1, 1)) + 0.01 * Eigen::Vector3d::UnitZ();
    pose.linear() = Eigen::AngleAxisd(uniform(-1.5, 1.5), axis.normalized()).toRotationMatrix();
    pose.translation() = Eigen::Vector3d(uniform(-0.1, 0.4), uniform(-0.3, 0.3), uniform(-0.3, 0.3));
    return pose;
  }

  // A call that must be refused with std::invalid_argument.
  void badCall(ControllerThread& arm) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    switch (uniformInt(0, 5)) {
      case 0:
        arm.setJointPositions({0.1, 0.2, nan, 0.0, 0.0, 0.0});
        break;
      case 1:
        arm.setJointPositions({0.1, 0.2});
        break;
      case 2: {
        Eigen::Isometry3d skewed = pose();
        skewed.linear() *= 1.5;
        arm.setEndPose(skewed);
        break;
      }
      case 3:
        arm.setHomePositions({0, 0, 0, std::numeric_limits<double>::infinity(), 0, 0});
        break;
      case 4:
        arm.setCatch(nan);
        break;
      default:
        arm.setInterpolationParam(nan, 1.0);
        break;
    }
  }

  // Returns whether the call was a setter (getters answer after control ended).
  bool goodCall(ControllerThread& arm) {
    const int kind = uniformInt(0, 99);
    if (kind < 3) {
      // Mostly the six states; now and then a number that means damping.
      arm.setArmStatus(chance(0.9) ? uniformInt(0, 5) : uniformInt(-3, 12));
    } else if (kind < 30) {
      arm.setJointPositions(jointValues());
    } else if (kind < 45) {
      arm.setEndPose(pose());
    } else if (kind < 52) {
      arm.setCatch(uniform(-0.5, 5.5));
    } else if (kind < 57) {
      arm.setCatchTorque(uniform(-3.0, 3.0));
    } else if (kind < 62) {
      arm.setHomePositions(jointValues());
    } else if (kind < 67) {
      arm.setInterpolationParam(uniform(0.0, 0.6), uniform(0.0, 2.5));
    } else if (kind < 97) {
      arm.getJointStatus();
      arm.getEndPose();
      arm.getJointPositons();
      return false;
    } else {
      arm.getErrorCode();
      arm.getCycleTimings();
      return false;
    }
    return true;
  }

  void oneCall(ControllerThread& arm) {
    const bool bad = chance(0.1);
    const bool was_active = arm.controlActive();
    try {
      if (bad) {
        badCall(arm);
        counters_.violation("bad input was accepted");
      } else {
        const bool setter = goodCall(arm);
        if (setter && !was_active) counters_.violation("a setter succeeded after control had ended");
      }
      counters_.count(counters_.calls, "accepted");
    } catch (const std::invalid_argument& error) {
      if (!bad) counters_.violation(std::string("good input was refused: ") + error.what());
      counters_.count(counters_.calls, "bad input refused");
    } catch (const std::runtime_error& error) {
      if (arm.controlActive())
        counters_.violation(std::string("a call failed while control runs: ") + error.what());
      counters_.count(counters_.calls, "refused after control ended");
    } catch (const std::exception& error) {
      counters_.violation(std::string("a call threw an unexpected exception: ") + error.what());
    }
  }

  ArmSlot& slot_;
  Counters& counters_;
  std::mt19937_64 random_;
};

// ------------------------------------------------------------ fault injector

class FaultInjector {
 public:
  FaultInjector(kav::sim::SimulatedArm& arm, Counters& counters, std::uint64_t seed)
      : arm_(arm), counters_(counters), random_(seed) {}

  void run(const std::atomic<bool>& stop, const std::atomic<bool>& paused) {
    while (!stop.load()) {
      if (!sleepFor(std::chrono::milliseconds(uniformInt(2000, 15000)), stop) || paused.load()) continue;
      injectOne(stop);
    }
  }

 private:
  int uniformInt(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  double uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random_);
  }

  // False when stopped meanwhile.
  static bool sleepFor(Clock::duration time, const std::atomic<bool>& stop) {
    const auto end = Clock::now() + time;
    while (Clock::now() < end) {
      if (stop.load()) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  // One fault, held for a while (short ones may pass unnoticed, long ones
  // take a motor offline or end control), then switched off.
  void injectOne(const std::atomic<bool>& stop) {
    const int joint = uniformInt(0, config::kMotors - 1);
    switch (uniformInt(0, 4)) {
      case 0:
        counters_.count(counters_.faults, "silent motor");
        arm_.setMotorSilent(joint, true);
        sleepFor(std::chrono::milliseconds(uniformInt(20, 400)), stop);
        break;
      case 1: {
        counters_.count(counters_.faults, "motor error code");
        const bool type4 = kav::sim::SimulatedArm::protocolOf(joint) == kav::sim::MotorProtocol::kType4;
        arm_.setMotorError(joint, type4 ? uniformInt(1, 31) : uniformInt(2, 15));
        sleepFor(std::chrono::milliseconds(uniformInt(20, 500)), stop);
        break;
      }
      case 2:
        counters_.count(counters_.faults, "current");
        arm_.setMotorCurrent(uniformInt(0, config::kArmJoints - 1), uniform(-16.0, 16.0));
        sleepFor(std::chrono::milliseconds(uniformInt(200, 2000)), stop);
        break;
      case 3:
        counters_.count(counters_.faults, "dropped frames");
        arm_.setDropShare(uniform(0.02, 0.4));
        sleepFor(std::chrono::milliseconds(uniformInt(500, 5000)), stop);
        break;
      default:
        counters_.count(counters_.faults, "bus silence");
        arm_.setBusSilent(true);
        sleepFor(std::chrono::milliseconds(uniformInt(20, 300)), stop);
        break;
    }
    arm_.clearFaults();
  }

  kav::sim::SimulatedArm& arm_;
  Counters& counters_;
  std::mt19937_64 random_;
};

// ------------------------------------------------------------ the soak

struct Options {
  std::chrono::seconds duration{3600};
  std::chrono::seconds report_every{60};
  std::uint64_t seed = 1;
};

const char* const kUsage =
    "usage: soak [--seconds N | --minutes N] [--seed N] [--report-seconds N]\n"
    "Drives one arm on a simulated arm with random host commands from three threads\n"
    "and random faults for the given time (default 60 minutes); prints memory,\n"
    "threads, descriptors, error codes and cycle times every minute and at the end.\n";

class Soak {
 public:
  explicit Soak(const Options& options)
      : options_(options),
        sim_(hub_.endpoint(), simOptions()),
        injector_(sim_, counters_, options.seed + 100) {}

  int run() {
    start_ = Clock::now();
    warm_up_ = std::min<Clock::duration>(options_.duration / 4, kLongestWarmUp);
    if (!bringUp()) return finish();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kHostThreads; ++i) {
      hosts_.push_back(std::make_unique<Host>(slot_, counters_, options_.seed + i));
    }
    for (auto& host : hosts_) threads.emplace_back([&] { host->run(stop); });
    threads.emplace_back([&] { injector_.run(stop, injector_paused_); });

    auto next_sample = start_;
    auto next_report = start_ + options_.report_every;
    while (Clock::now() - start_ < options_.duration && !fatal_) {
      std::this_thread::sleep_for(100ms);
      superviseArm();
      if (Clock::now() >= next_sample) {
        sample();
        next_sample += kSampleEvery;
      }
      if (Clock::now() >= next_report) {
        report("minute");
        next_report += options_.report_every;
      }
    }
    stop.store(true);
    for (auto& thread : threads) thread.join();
    sample();
    return finish();
  }

 private:
  static kav::sim::SimulatedArmOptions simOptions() {
    kav::sim::SimulatedArmOptions options;
    options.log_capacity = 0;  // nothing reads the received commands
    return options;
  }

  double minutes() const { return std::chrono::duration<double>(Clock::now() - start_).count() / 60.0; }
  bool warmedUp() const { return Clock::now() - start_ >= warm_up_; }

  bool bringUp() {
    for (int attempt = 1; attempt <= kBringUpAttempts; ++attempt) {
      sim_.clearFaults();
      try {
        auto arm = std::make_shared<ControllerThread>(KAV_SOURCE_DIR "/share/urdf/vorlan_v1.1_aa.urdf",
                                                      hub_.endpoint(), 0);
        last_timing_ = {};
        slot_.put(std::move(arm));
        std::lock_guard<std::mutex> lock(counters_.mutex);
        ++counters_.arms;
        return true;
      } catch (const std::runtime_error& error) {
        std::printf("[soak] bring-up %d failed: %s\n", attempt, error.what());
        std::this_thread::sleep_for(1s);
      }
    }
    counters_.violation("no arm could be brought up " + std::to_string(kBringUpAttempts) + " times in a row");
    fatal_ = true;
    return false;
  }

  // Replaces the arm once control ended or a motor went offline.
  void superviseArm() {
    std::shared_ptr<ControllerThread> arm = slot_.get();
    if (!arm) return;
    readTimings(*arm);
    const std::vector<int> codes = arm->getErrorCode();
    if (std::find(codes.begin(), codes.end(), ControllerBase::kCodeCycleFailed) != codes.end()) {
      counters_.violation("a control cycle failed (code 3): " + arm->controlEndReason());
    }
    const bool offline = std::any_of(codes.begin(), codes.end(), offlineCode);
    if (arm->controlActive() && !offline) return;
    arm.reset();
    injector_paused_.store(true);
    std::shared_ptr<ControllerThread> old = slot_.take();
    readTimings(*old);
    tally(old->getErrorCode());
    old.reset();  // stops its control thread and holds it in damping
    bringUp();
    injector_paused_.store(false);
  }

  void tally(const std::vector<int>& codes) {
    std::lock_guard<std::mutex> lock(counters_.mutex);
    for (int code : codes) ++counters_.codes[kindOf(code)];
  }

  void readTimings(ControllerThread& arm) {
    const auto timings = arm.getCycleTimings();
    std::lock_guard<std::mutex> lock(counters_.mutex);
    for (const auto& timing : timings) {
      if (timing.start <= last_timing_) continue;
      if (last_timing_ != Clock::time_point{}) {
        counters_.longest_cycle = std::max(counters_.longest_cycle, timing.start - last_timing_);
      }
      counters_.longest_update = std::max(counters_.longest_update, timing.update);
      last_timing_ = timing.start;
    }
  }

  void sample() {
    const long rss = rssKb();
    const bool arm_running = static_cast<bool>(slot_.get());
    if (warmedUp()) {
      rss_after_warm_up_.emplace_back(minutes(), static_cast<double>(rss));
    } else {
      warm_up_rss_ = std::max(warm_up_rss_, rss);
    }
    if (!arm_running) return;  // a replacement is under way: threads come and go
    const long threads = threadCount();
    const long descriptors = descriptorCount();
    if (!warmedUp()) {
      warm_up_threads_ = std::max(warm_up_threads_, threads);
      warm_up_descriptors_ = std::max(warm_up_descriptors_, descriptors);
    } else {
      max_threads_ = std::max(max_threads_, threads);
      max_descriptors_ = std::max(max_descriptors_, descriptors);
    }
  }

  static std::string join(const std::map<std::string, long>& map) {
    std::string text;
    for (const auto& [key, count] : map)
      text += (text.empty() ? "" : ", ") + key + " " + std::to_string(count);
    return text.empty() ? "none" : text;
  }

  void report(const char* when) {
    std::map<std::string, long> codes;
    std::map<std::string, long> faults, calls;
    Clock::duration longest_cycle;
    std::chrono::nanoseconds longest_update;
    int arms;
    {
      std::lock_guard<std::mutex> lock(counters_.mutex);
      codes = counters_.codes;
      faults = counters_.faults;
      calls = counters_.calls;
      longest_cycle = counters_.longest_cycle;
      longest_update = counters_.longest_update;
      arms = counters_.arms;
    }
    if (std::shared_ptr<ControllerThread> arm = slot_.get()) {
      for (int code : arm->getErrorCode()) ++codes[kindOf(code)];
    }
    const auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
    std::printf(
        "[soak %s] %.1f min: rss %ld kB, slope after warm-up %.1f kB/min, threads %ld, descriptors %ld, arms "
        "%d\n  codes: %s\n  faults injected: %s\n  host calls: %s\n  longest cycle %.2f ms, longest Update "
        "%.2f "
        "ms\n",
        when, minutes(), rssKb(), slope(rss_after_warm_up_), threadCount(), descriptorCount(), arms,
        join(codes).c_str(), join(faults).c_str(), join(calls).c_str(), ms(longest_cycle),
        ms(longest_update));
    std::fflush(stdout);
  }

  int finish() {
    if (std::shared_ptr<ControllerThread> arm = slot_.take()) {
      readTimings(*arm);
      tally(arm->getErrorCode());
    }
    report("end");
    const double rss_slope = slope(rss_after_warm_up_);
    const long rss_growth =
        rss_after_warm_up_.empty() ? 0 : static_cast<long>(rss_after_warm_up_.back().second) - warm_up_rss_;
    if (rss_slope > kRssSlopeLimitKbPerMin && rss_growth > kRssGrowthLimitKb) {
      counters_.violation("resident memory grows " + std::to_string(rss_slope) +
                          " kB/min after the warm-up, " + std::to_string(rss_growth) +
                          " kB above the warm-up's peak");
    }
    if (max_threads_ > warm_up_threads_ + kThreadAllowance) {
      counters_.violation("threads grew from " + std::to_string(warm_up_threads_) + " to " +
                          std::to_string(max_threads_));
    }
    if (max_descriptors_ > warm_up_descriptors_ + kDescriptorAllowance) {
      counters_.violation("descriptors grew from " + std::to_string(warm_up_descriptors_) + " to " +
                          std::to_string(max_descriptors_));
    }
    std::printf(
        "[soak] bounds: rss slope <= %.0f kB/min or rss <= %ld + %ld kB (now %+ld kB), threads <= %ld + %ld, "
        "descriptors <= %ld + %ld\n",
        kRssSlopeLimitKbPerMin, warm_up_rss_, kRssGrowthLimitKb, rss_growth, warm_up_threads_,
        kThreadAllowance, warm_up_descriptors_, kDescriptorAllowance);
    for (const auto& violation : counters_.violations) std::printf("[soak] FAILED: %s\n", violation.c_str());
    std::printf("[soak] %s\n", counters_.violations.empty() ? "passed" : "failed");
    return counters_.violations.empty() ? 0 : 1;
  }

  Options options_;
  kav::sim::BusHub hub_;
  kav::sim::SimulatedArm sim_;
  Counters counters_;
  ArmSlot slot_;
  std::vector<std::unique_ptr<Host>> hosts_;
  FaultInjector injector_;
  std::atomic<bool> injector_paused_{false};
  bool fatal_ = false;
  Clock::time_point start_;
  Clock::duration warm_up_{};
  Clock::time_point last_timing_{};
  std::vector<std::pair<double, double>> rss_after_warm_up_;  // (minutes, kB)
  long warm_up_rss_ = 0;
  long warm_up_threads_ = 0, warm_up_descriptors_ = 0, max_threads_ = 0, max_descriptors_ = 0;
};

bool parseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return false;
    if (i + 1 >= argc) return false;
    char* end = nullptr;
    const long long value = std::strtoll(argv[++i], &end, 10);
    if (*end != '\0' || value <= 0) return false;
    if (arg == "--seconds") {
      options->duration = std::chrono::seconds(value);
    } else if (arg == "--minutes") {
      options->duration = std::chrono::minutes(value);
    } else if (arg == "--seed") {
      options->seed = static_cast<std::uint64_t>(value);
    } else if (arg == "--report-seconds") {
      options->report_every = std::chrono::seconds(value);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::printf("[soak] %lld s, seed %llu\n", static_cast<long long>(options.duration.count()),
              static_cast<unsigned long long>(options.seed));
  Soak soak(options);
  return soak.run();
}
