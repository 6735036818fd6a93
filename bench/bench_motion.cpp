// Motions on the simulated arm: how closely the arm tracks a trajectory, how
// smooth the commanded set-points are, how long a synchronised move takes
// against its analytic time-optimal duration, how straight a line is, and
// what sampling a motion costs per control cycle.
//
//   bench_motion [--csv FILE]     FILE receives the trajectory's commanded
//                                 and measured joint positions (for the plot
//                                 made by bench/plot_motion.py)
//
// The controller and the simulated arm (no measurement noise) run in this
// process on a private local-socket bus. The commanded set-points are the
// motion's own samples (the functions the controller runs, rebuilt here from
// the same start), checked against the commands the motors received; the
// measured positions are the simulated joints, read every millisecond.
#include <controller/ControllerThread.h>
#include <motion/CartesianLine.h>
#include <motion/PointToPoint.h>
#include <motion/Trajectory.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using kav::motion::JointArray;
using kav::motion::JointSample;
using kav::motion::kJoints;
using kav::motion::kSamplePeriod;

// The simulated joints, read every millisecond by a thread of its own.
class Recorder {
 public:
  explicit Recorder(kav::sim::SimulatedArm& arm) : arm_(arm), thread_([this] { run(); }) {}
  ~Recorder() {
    stop_ = true;
    thread_.join();
  }
  // Joint positions at @p time, interpolated between two readings.
  JointArray at(Clock::time_point time) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto after = std::lower_bound(times_.begin(), times_.end(), time);
    if (after == times_.begin()) return positions_.front();
    if (after == times_.end()) return positions_.back();
    const std::size_t i = static_cast<std::size_t>(after - times_.begin());
    const double w = std::chrono::duration<double>(time - times_[i - 1]).count() /
                     std::chrono::duration<double>(times_[i] - times_[i - 1]).count();
    JointArray q;
    for (int j = 0; j < kJoints; ++j)
      q[j] = positions_[i - 1][j] + w * (positions_[i][j] - positions_[i - 1][j]);
    return q;
  }

 private:
  void run() {
    auto next = Clock::now();
    while (!stop_) {
      const auto states = arm_.jointStates();
      JointArray q;
      for (int j = 0; j < kJoints; ++j) q[j] = states[j].position;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        times_.push_back(Clock::now());
        positions_.push_back(q);
      }
      next += std::chrono::milliseconds(1);
      std::this_thread::sleep_until(next);
    }
  }
  kav::sim::SimulatedArm& arm_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Clock::time_point> times_;
  std::vector<JointArray> positions_;
  std::thread thread_;
};

// Where in one joint's received commands the motion's samples start: the
// offset with the smallest largest difference of position.
std::size_t alignment(const std::vector<kav::sim::ReceivedCommand>& commands,
                      const std::vector<JointSample>& samples, int joint, double* worst_out) {
  double best = 1e9;
  std::size_t best_offset = 0;
  for (std::size_t offset = 0; offset + samples.size() <= commands.size(); ++offset) {
    double worst = 0.0;
    for (std::size_t k = 0; k < samples.size() && worst < best; ++k) {
      worst = std::max(worst, std::fabs(commands[offset + k].command.position - samples[k].position[joint]));
    }
    if (worst < best) best = worst, best_offset = offset;
  }
  *worst_out = best;
  return best_offset;
}

std::vector<JointSample> samplesOf(const kav::motion::Motion& motion) {
  std::vector<JointSample> samples(static_cast<std::size_t>(kav::motion::restCycle(motion)) + 1);
  for (std::size_t k = 0; k < samples.size(); ++k)
    motion.sample(static_cast<double>(k) * kSamplePeriod, samples[k]);
  return samples;
}

double largestVelocityChange(const std::vector<JointSample>& samples, int joint) {
  double worst = 0.0;
  for (std::size_t k = 1; k < samples.size(); ++k) {
    worst = std::max(worst, std::fabs(samples[k].velocity[joint] - samples[k - 1].velocity[joint]));
  }
  return worst;
}

Eigen::Vector3d positionOf(kav::KinematicDynamicSolver& solver, const JointArray& q) {
  KDL::JntArray joints(kJoints);
  for (int j = 0; j < kJoints; ++j) joints(j) = q[j];
  const KDL::Frame frame = solver.computeForwardKinematics(joints);
  return Eigen::Vector3d(frame.p.x(), frame.p.y(), frame.p.z());
}

double distanceFromLine(const Eigen::Vector3d& p, const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  const Eigen::Vector3d d = (b - a).normalized();
  const Eigen::Vector3d offset = p - a;
  return (offset - offset.dot(d) * d).norm();
}

// CPU time of the calling thread, so that other work on the machine does not count.
double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

template <class F>
double nanosecondsPerCall(long calls, F f) {
  const double start = threadCpuSeconds();
  for (long i = 0; i < calls; ++i) f(i);
  return 1e9 * (threadCpuSeconds() - start) / static_cast<double>(calls);
}

}  // namespace

int main(int argc, char** argv) {
  std::string csv;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--csv") == 0 && i + 1 < argc) {
      csv = argv[++i];
    } else {
      std::fprintf(stderr, "usage: bench_motion [--csv FILE]\n");
      return 2;
    }
  }
  const std::string urdf = std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf";
  const kav::motion::MotionLimits limits = kav::motion::MotionLimits::defaults();
  const JointArray start{0.0, 0.8, 0.7, 0.0, 0.0, 0.0};
  std::vector<kav::motion::TrajectoryPoint> points(5);
  const double positions[5][6] = {{0.4, 1.1, 0.9, 0.3, -0.2, 0.3},
                                  {0.7, 1.3, 1.2, 0.0, 0.2, 0.6},
                                  {0.3, 1.0, 1.0, -0.3, 0.3, 0.0},
                                  {-0.2, 0.9, 0.8, 0.0, 0.0, -0.4},
                                  {0.0, 0.8, 0.7, 0.0, 0.0, 0.0}};
  for (int p = 0; p < 5; ++p) {
    points[p].positions.assign(positions[p], positions[p] + 6);
    points[p].time_from_start = 3.0 * (p + 1);
  }
  JointSample at_rest;
  at_rest.position = start;
  const auto trajectory = kav::motion::interpolateTrajectory(at_rest, points);
  const std::vector<JointSample> expected = samplesOf(*trajectory);

  kav::sim::BusHub hub;
  kav::sim::SimulatedArm arm(hub.endpoint());
  kav::t8::ControllerThread controller(urdf, hub.endpoint(), 0);
  Recorder recorder(arm);
  kav::KinematicDynamicSolver solver(urdf, "base_link", "link6");

  // ---- trajectory through five points on all six joints
  controller.moveJoints({start.begin(), start.end()});
  controller.waitMotion(30.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  arm.clearReceivedCommands();
  controller.followJointTrajectory(points);
  controller.waitMotion(60.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::printf("trajectory through 5 points on 6 joints, %.1f s (cubic spline, %zu cycles)\n",
              trajectory->duration(), expected.size());
  std::printf(
      "  joint  tracking RMS [mrad]  max [mrad]  wire vs samples [mrad]  max dv/cycle [rad/s]  (wire)\n");
  std::FILE* out = csv.empty() ? nullptr : std::fopen(csv.c_str(), "w");
  std::vector<std::vector<kav::sim::ReceivedCommand>> commands(kJoints);
  std::vector<std::size_t> offsets(kJoints);
  for (int j = 0; j < kJoints; ++j) {
    commands[j] = arm.receivedCommands(j);
    double wire_error = 0.0;
    offsets[j] = alignment(commands[j], expected, j, &wire_error);
    double sum = 0.0, worst = 0.0, wire_change = 0.0;
    for (std::size_t k = 0; k < expected.size(); ++k) {
      const auto& received = commands[j][offsets[j] + k];
      const double error = expected[k].position[j] - recorder.at(received.time)[j];
      sum += error * error;
      worst = std::max(worst, std::fabs(error));
      if (k > 0) {
        wire_change = std::max(wire_change, std::fabs(received.command.velocity -
                                                      commands[j][offsets[j] + k - 1].command.velocity));
      }
    }
    std::printf("  %5d  %19.2f  %10.2f  %22.2f  %20.5f  (%.4f)\n", j + 1,
                1e3 * std::sqrt(sum / static_cast<double>(expected.size())), 1e3 * worst, 1e3 * wire_error,
                largestVelocityChange(expected, j), wire_change);
  }
  std::printf(
      "  bound on dv/cycle: acceleration limit x 5 ms = %.5f rad/s (the wire rounds velocities to "
      "steps of 0.0088 / 0.022 rad/s)\n",
      limits.max_acceleration[0] * kSamplePeriod);
  if (out) {
    std::fprintf(out, "t");
    for (int j = 1; j <= kJoints; ++j) std::fprintf(out, ",commanded_%d", j);
    for (int j = 1; j <= kJoints; ++j) std::fprintf(out, ",measured_%d", j);
    std::fprintf(out, "\n");
    for (std::size_t k = 0; k < expected.size(); ++k) {
      std::fprintf(out, "%.3f", static_cast<double>(k) * kSamplePeriod);
      for (int j = 0; j < kJoints; ++j) std::fprintf(out, ",%.6f", expected[k].position[j]);
      const JointArray measured = recorder.at(commands[0][offsets[0] + k].time);
      for (int j = 0; j < kJoints; ++j) std::fprintf(out, ",%.6f", measured[j]);
      std::fprintf(out, "\n");
    }
    std::fclose(out);
  }

  // ---- synchronised moves against the analytic time-optimal duration
  std::printf("\nmoveJoints: measured duration against the analytic time-optimal duration\n");
  const std::vector<JointArray> targets{{1.0, 1.4, 1.2, 0.5, -0.5, 0.8},
                                        {0.0, 0.8, 0.7, 0.0, 0.0, 0.0},
                                        {-1.5, 2.0, 2.2, -1.0, 1.0, -1.2},
                                        {0.0, 0.8, 0.7, 0.0, 0.0, 0.0}};
  JointArray from = start;
  for (const JointArray& target : targets) {
    double analytic = 0.0;
    for (int j = 0; j < kJoints; ++j) {
      analytic = std::max(
          analytic, kav::motion::timeOptimalDuration(std::fabs(target[j] - from[j]), limits.max_velocity[j],
                                                     limits.max_acceleration[j]));
    }
    arm.clearReceivedCommands();
    controller.moveJoints({target.begin(), target.end()});
    const auto begun = Clock::now();
    while (!controller.motionDone()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double polled = std::chrono::duration<double>(Clock::now() - begun).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // On the wire: the commands that follow the profile, first to last.
    const kav::motion::SynchronizedMove move(from, target, limits, 1.0);
    const std::vector<JointSample> move_samples = samplesOf(move);
    double largest = 0.0, worst_match = 0.0;
    int slowest = 0;
    for (int j = 0; j < kJoints; ++j) {
      if (std::fabs(target[j] - from[j]) > largest) largest = std::fabs(target[j] - from[j]), slowest = j;
    }
    const auto received = arm.receivedCommands(slowest);
    const std::size_t first = alignment(received, move_samples, slowest, &worst_match);
    const double on_wire =
        std::chrono::duration<double>(received[first + move_samples.size() - 1].time - received[first].time)
            .count();
    std::printf(
        "  largest move %.2f rad: analytic %.4f s, %zu cycles commanded (%.4f s), first to last command "
        "%.4f s (%+.1f ms), motionDone after %.4f s; commands within %.2f mrad of the profile\n",
        largest, analytic, move_samples.size() - 1,
        static_cast<double>(move_samples.size() - 1) * kSamplePeriod, on_wire, 1e3 * (on_wire - analytic),
        polled, 1e3 * worst_match);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    from = target;
  }

  // ---- straight line
  const JointArray line_start{0.3, 0.8, 0.6, 0.0, 0.2, 0.0};
  controller.moveJoints({line_start.begin(), line_start.end()});
  controller.waitMotion(30.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const Eigen::Vector3d a = positionOf(solver, line_start);
  Eigen::Isometry3d goal = controller.getEndPose();
  {
    KDL::JntArray q(kJoints);
    for (int j = 0; j < kJoints; ++j) q(j) = line_start[j];
    const KDL::Frame frame = solver.computeForwardKinematics(q);
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) goal.linear()(r, c) = frame.M(r, c);
    }
    goal.translation() = a + Eigen::Vector3d(0.06, 0.04, -0.03);
  }
  const Eigen::Vector3d b = goal.translation();
  const double speed = 0.04;
  const double plan_begin = threadCpuSeconds();
  const auto line = kav::motion::planLine(solver, line_start, goal, speed, limits);
  const double plan_seconds = threadCpuSeconds() - plan_begin;
  arm.clearReceivedCommands();
  controller.moveLinear(goal, speed);
  controller.waitMotion(30.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  double commanded = 0.0, wire = 0.0, measured_worst = 0.0, measured_sum = 0.0;
  for (const JointArray& q : line->positions())
    commanded = std::max(commanded, distanceFromLine(positionOf(solver, q), a, b));
  std::vector<std::vector<kav::sim::ReceivedCommand>> line_commands(kJoints);
  std::vector<JointSample> line_samples = samplesOf(*line);
  std::size_t line_offset = 0;
  for (int j = 0; j < kJoints; ++j) {
    line_commands[j] = arm.receivedCommands(j);
    double worst = 0.0;
    const std::size_t offset = alignment(line_commands[j], line_samples, j, &worst);
    if (j == 0) line_offset = offset;
  }
  const std::size_t n = line_samples.size();
  for (std::size_t k = 0; k < n; ++k) {
    JointArray q_wire;
    for (int j = 0; j < kJoints; ++j) {
      q_wire[j] = line_commands[j][std::min(line_offset + k, line_commands[j].size() - 1)].command.position;
    }
    wire = std::max(wire, distanceFromLine(positionOf(solver, q_wire), a, b));
    const double d =
        distanceFromLine(positionOf(solver, recorder.at(line_commands[0][line_offset + k].time)), a, b);
    measured_worst = std::max(measured_worst, d);
    measured_sum += d * d;
  }
  std::printf("\nmoveLinear: %.1f mm at %.0f mm/s, %.2f s, %zu cycles\n", 1e3 * (b - a).norm(), 1e3 * speed,
              line->duration(), n);
  std::printf("  commanded path (forward kinematics of the set-points): max %.2g mm from the line\n",
              1e3 * commanded);
  std::printf("  as received by the motors (16-bit positions):          max %.3f mm\n", 1e3 * wire);
  std::printf("  measured path (simulated joints):                      max %.3f mm, RMS %.3f mm\n",
              1e3 * measured_worst, 1e3 * std::sqrt(measured_sum / static_cast<double>(n)));
  std::printf("  planning on the host: %.1f ms of CPU time for %zu cycles\n", 1e3 * plan_seconds, n);

  // ---- cost per cycle
  JointSample sink;
  const double trajectory_ns = nanosecondsPerCall(
      2000000, [&](long i) { trajectory->sample(static_cast<double>(i % 3000) * kSamplePeriod, sink); });
  const double path_ns = nanosecondsPerCall(2000000, [&](long i) {
    line->sample(static_cast<double>(i % static_cast<long>(n)) * kSamplePeriod, sink);
  });
  const double step_ns = 1e9 * plan_seconds / static_cast<double>(n);
  std::printf("\ncost per control cycle (CPU time of this thread)\n");
  std::printf("  sampling the trajectory (5 cubic segments, 6 joints): %.0f ns\n", trajectory_ns);
  std::printf("  sampling a planned straight line:                      %.0f ns\n", path_ns);
  std::printf(
      "  one straight-line step (inverse kinematics from the previous cycle's solution, on the host "
      "while planning): %.1f us\n",
      step_ns / 1e3);
  std::printf("\nerror codes during the run: %zu\n", controller.getErrorCode().size());
  return 0;
}
