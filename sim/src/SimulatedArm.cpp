#include "sim/SimulatedArm.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <deque>
#include <limits>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "BusPort.h"
#include "canbase/LocalBus.h"
#include "config/ArmConfig.h"
#include "solver/kinematic_solver.h"

namespace kav {
namespace sim {

namespace {

using hw_interface::CanFrame;
using Clock = std::chrono::steady_clock;

using config::kMotorIds;
constexpr int kGripper = kSimJoints - 1;
constexpr double kCurrentPerNewtonMetre = 1.0;
constexpr int kTemperature = 30;
constexpr long kStepNanoseconds = 1000000;  // 1 kHz
constexpr double kStepSeconds = 1e-3;
constexpr double kGripperStop = 1.0;  // distance of the gripper's end stop from 0
constexpr double kPositionNoise = 0.0002, kVelocityNoise = 0.005, kCurrentNoise = 0.005;
constexpr auto kReconnectPause = std::chrono::milliseconds(200);
constexpr int kFramesPerWake = 64;

// Best effort, as the controller's threads do: the simulated motors keep
// answering on a busy machine (a type 4 motor's silence limit is 100 ms), so
// a test or a benchmark sees the controller, not the load beside it.
constexpr int kIoPriority = 78;
constexpr int kPhysicsPriority = 77;

void preferRealtime(int priority) {
  sched_param parameter{};
  parameter.sched_priority = priority;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter);
}

void requireJoint(int joint) {
  if (joint < 0 || joint >= kSimJoints) {
    throw std::invalid_argument("SimulatedArm: joint " + std::to_string(joint) + " is not a joint index 0-6");
  }
}

SimulatedArmOptions checked(SimulatedArmOptions options) {
  if (options.reply_latency < std::chrono::microseconds(0) ||
      options.reply_latency > std::chrono::seconds(1)) {
    throw std::invalid_argument("SimulatedArm: reply_latency must lie within 0 and 1 s");
  }
  if (options.description.empty()) options.description = urdf_xml_g;
  const double inf = std::numeric_limits<double>::infinity();
  if (options.variant == 2) {
    options.physics.lower_stop[kGripper] = -inf;
    options.physics.upper_stop[kGripper] = kGripperStop;
  } else {
    options.physics.lower_stop[kGripper] = -kGripperStop;
    options.physics.upper_stop[kGripper] = inf;
  }
  return options;
}

timespec operator+(timespec t, long nanoseconds) {
  t.tv_nsec += nanoseconds;
  while (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
  return t;
}

long long nanosecondsBetween(const timespec& from, const timespec& to) {
  return (to.tv_sec - from.tv_sec) * 1000000000LL + (to.tv_nsec - from.tv_nsec);
}

}  // namespace

class SimulatedArm::impl {
 public:
  impl(const std::string& endpoint, SimulatedArmOptions options)
      : endpoint_(endpoint),
        options_(checked(std::move(options))),
        physics_(options_.description, options_.start_pose, options_.physics),
        state_(physics_.state()),
        drop_rng_(options_.drop_seed) {
    for (int j = 0; j < kSimJoints; ++j) {
      motors_[j].protocol = protocolOf(j);
      motors_[j].enabled = motors_[j].protocol == MotorProtocol::kType4;
    }
    if (options_.noise_seed) noise_rng_.seed(*options_.noise_seed);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) throw std::runtime_error("SimulatedArm: cannot create an event descriptor");
    try {
      fd_ = openBusSocket(endpoint_);
    } catch (...) {
      ::close(wake_fd_);
      throw;
    }
    physics_thread_ = std::thread([this] { physicsLoop(); });
    io_thread_ = std::thread([this] { ioLoop(); });
  }

  ~impl() {
    stop_.store(true);
    uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd_, &one, sizeof(one));
    (void)ignored;
    io_thread_.join();
    physics_thread_.join();
    if (fd_ >= 0) ::close(fd_);
    ::close(wake_fd_);
  }

  struct Motor {
    MotorProtocol protocol = MotorProtocol::kType4;
    bool enabled = false;
    double zero = 0.0;
    MotorCommand command;  // the one acted on, in the motor's coordinates
    bool silent = false;
    int error = 0;
    ErrorPersistence persistence = ErrorPersistence::kUntilSwitchedOff;
    std::optional<double> current;
    double external = 0.0;  // torque from outside the motor, N·m
    std::deque<ReceivedCommand> log;
  };

  const std::string endpoint_;
  const SimulatedArmOptions options_;
  ArmPhysics physics_;  // stepped by the physics thread only; see gravity_mutex_

  mutable std::mutex mutex_;  // everything below up to the counters
  std::array<Motor, kSimJoints> motors_;
  std::array<JointState, kSimJoints> state_;
  bool bus_silent_ = false;
  double drop_share_ = 0.0;
  std::mt19937_64 drop_rng_;
  std::mt19937_64 noise_rng_;

  // ArmPhysics::gravityTorques may run beside step() but not beside itself.
  mutable std::mutex gravity_mutex_;

  std::atomic<std::uint64_t> frames_received_{0};
  std::atomic<std::uint64_t> frames_sent_{0};
  std::atomic<std::uint64_t> frames_refused_{0};

 private:
  struct PendingReply {
    Clock::time_point due;
    int joint;
  };

  // ------------------------------------------------------------ physics

  void physicsLoop() {
    pthread_setname_np(pthread_self(), "kav-sim-physics");
    preferRealtime(kPhysicsPriority);
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    std::array<JointDrive, kSimJoints> drives;
    while (!stop_.load()) {
      next = next + kStepNanoseconds;
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int j = 0; j < kSimJoints; ++j) drives[j] = driveOf(motors_[j]);
      }
      physics_.step(drives, kStepSeconds);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = physics_.state();
      }
      // Far behind (a stopped process, an overloaded machine): carry on from
      // now rather than racing through the missed steps.
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (nanosecondsBetween(next, now) > 50 * kStepNanoseconds) next = now;
    }
  }

  static JointDrive driveOf(const Motor& motor) {
    JointDrive drive;
    if (motor.enabled) {
      const MotorCommand& c = motor.command;
      drive = JointDrive{c.k_p, c.k_d, c.position + motor.zero, c.velocity, c.torque};
    }
    drive.external = motor.external;  // a hand pushes whether the motor acts or not
    return drive;
  }

  // ------------------------------------------------------------ bus

  void ioLoop() {
    pthread_setname_np(pthread_self(), "kav-sim-io");
    preferRealtime(kIoPriority);
    std::deque<PendingReply> pending;
    while (!stop_.load()) {
      if (fd_ < 0) {
        // Every attempt to join again comes after a pause, so a bus that keeps
        // failing (an interface that is down) costs no CPU.
        pending.clear();
        waitForWake(kReconnectPause);
        if (stop_.load() || !reconnect()) continue;
      }
      auto timeout = std::chrono::nanoseconds(std::chrono::seconds(1));
      if (!pending.empty()) {
        timeout = std::max(std::chrono::nanoseconds(0), pending.front().due - Clock::now());
      }
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      const timespec wait{static_cast<time_t>(timeout.count() / 1000000000),
                          static_cast<long>(timeout.count() % 1000000000)};
      if (::ppoll(fds, 2, &wait, nullptr) < 0 && errno != EINTR) continue;
      if (fds[1].revents) drainWake();
      if (fds[0].revents) receiveFrames(&pending);
      sendDueReplies(&pending);
    }
  }

  void receiveFrames(std::deque<PendingReply>* pending) {
    for (int n = 0; n < kFramesPerWake && fd_ >= 0; ++n) {
      CanFrame frame{};
      const ssize_t got = ::recv(fd_, &frame, sizeof(frame), MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      if (got <= 0) {  // the bus went away; join it again
        disconnect();
        return;
      }
      // A timed bus announces the length of a node's transmit queue; each
      // motor is a node of its own on a real bus, so the arm's socket holds
      // one queue per motor (a late burst of answers from all of them, as
      // after this thread was kept off the processor, is not refused).
      if (hw_interface::applyLocalBusAnnouncement(fd_, &frame, static_cast<std::size_t>(got),
                                                  config::kMotors))
        continue;
      const int joint = accept(frame);
      if (joint < 0) continue;
      if (options_.reply_latency.count() == 0) {
        sendReply(joint);
      } else {
        pending->push_back({Clock::now() + options_.reply_latency, joint});
      }
    }
  }

  void sendDueReplies(std::deque<PendingReply>* pending) {
    const auto now = Clock::now();
    while (!pending->empty() && pending->front().due <= now) {
      sendReply(pending->front().joint);
      pending->pop_front();
    }
  }

  void sendReply(int joint) {
    std::optional<CanFrame> frame = feedbackFrame(joint);
    if (!frame || fd_ < 0) return;
    if (::send(fd_, &*frame, sizeof(CanFrame), MSG_DONTWAIT | MSG_NOSIGNAL) ==
        static_cast<ssize_t>(sizeof(CanFrame))) {
      frames_sent_.fetch_add(1);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
      frames_refused_.fetch_add(1);  // the transmit queue is full
    }
  }

  bool reconnect() {
    try {
      fd_ = openBusSocket(endpoint_);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

  void disconnect() {
    ::close(fd_);
    fd_ = -1;
  }

  void waitForWake(std::chrono::milliseconds timeout) {
    pollfd fd{wake_fd_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) > 0) drainWake();
  }

  void drainWake() {
    uint64_t count;
    ssize_t ignored = ::read(wake_fd_, &count, sizeof(count));
    (void)ignored;
  }

  // ------------------------------------------------------------ motors

  // Hands a received frame to its motor. Returns the joint whose motor
  // answers it, or -1 when no motor takes it.
  int accept(const CanFrame& frame) {
    int joint = -1;
    for (int j = 0; j < kSimJoints; ++j) {
      if (frame.can_id == static_cast<uint32_t>(kMotorIds[j])) joint = j;
    }
    if (joint < 0) return -1;
    const std::optional<MotorCommand> command = decodeCommand(protocolOf(joint), frame);
    if (!command) return -1;

    std::lock_guard<std::mutex> lock(mutex_);
    if (bus_silent_ || dropped()) return -1;
    Motor& motor = motors_[joint];
    switch (command->kind) {
      case CommandKind::kHybrid:
        if (motor.enabled) motor.command = *command;
        break;
      case CommandKind::kEnable:
        if (!motor.enabled) motor.command = MotorCommand();
        motor.enabled = true;
        break;
      case CommandKind::kDisable:
        motor.enabled = false;
        motor.command = MotorCommand();
        break;
      case CommandKind::kSetZero:
        motor.zero = state_[joint].position;
        break;
      case CommandKind::kClearError:
        if (motor.persistence == ErrorPersistence::kUntilClearError) motor.error = 0;
        break;
    }
    if (options_.log_capacity > 0) {
      if (motor.log.size() >= options_.log_capacity) motor.log.pop_front();
      motor.log.push_back({Clock::now(), *command});
    }
    frames_received_.fetch_add(1);
    return joint;
  }

  std::optional<CanFrame> feedbackFrame(int joint) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Motor& motor = motors_[joint];
    if (bus_silent_ || motor.silent || dropped()) return std::nullopt;
    const JointState& state = state_[joint];
    MotorFeedback feedback;
    feedback.position = singleTurnReading(state.position - motor.zero) + noise(kPositionNoise);
    feedback.velocity = state.velocity + noise(kVelocityNoise);
    feedback.current =
        motor.current ? *motor.current : state.torque * kCurrentPerNewtonMetre + noise(kCurrentNoise);
    if (motor.error != 0) {
      feedback.code = motor.error;
    } else if (motor.protocol == MotorProtocol::kType2) {
      feedback.code = motor.enabled ? 1 : 0;
    }
    feedback.temperature = kTemperature;
    return encodeFeedback(motor.protocol, kMotorIds[joint], feedback);
  }

  bool dropped() {
    if (drop_share_ <= 0.0) return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(drop_rng_) < drop_share_;
  }

  double noise(double sigma) {
    if (!options_.noise_seed) return 0.0;
    return std::normal_distribution<double>(0.0, sigma)(noise_rng_);
  }

  std::atomic<bool> stop_{false};
  int wake_fd_ = -1;
  int fd_ = -1;  // owned by the I/O thread once it runs
  std::thread physics_thread_;
  std::thread io_thread_;
};

SimulatedArm::SimulatedArm(const std::string& endpoint, SimulatedArmOptions options)
    : pimpl(new impl(endpoint, std::move(options))) {}

SimulatedArm::~SimulatedArm() = default;

const std::string& SimulatedArm::endpoint() const { return pimpl->endpoint_; }

int SimulatedArm::motorId(int joint) {
  requireJoint(joint);
  return kMotorIds[joint];
}

MotorProtocol SimulatedArm::protocolOf(int joint) {
  requireJoint(joint);
  return config::kMotorProtocols[joint];
}

std::array<JointState, kSimJoints> SimulatedArm::jointStates() const {
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  return pimpl->state_;
}

JointState SimulatedArm::jointState(int joint) const {
  requireJoint(joint);
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  return pimpl->state_[joint];
}

std::array<double, kSimArmJoints> SimulatedArm::gravityTorques() const {
  const std::array<JointState, kSimJoints> state = jointStates();
  std::array<double, kSimArmJoints> positions{};
  for (int j = 0; j < kSimArmJoints; ++j) positions[j] = state[j].position;
  std::lock_guard<std::mutex> lock(pimpl->gravity_mutex_);
  return pimpl->physics_.gravityTorques(positions);
}

bool SimulatedArm::motorEnabled(int joint) const {
  requireJoint(joint);
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  return pimpl->motors_[joint].enabled;
}

double SimulatedArm::motorZero(int joint) const {
  requireJoint(joint);
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  return pimpl->motors_[joint].zero;
}

double SimulatedArm::gripperStop() const {
  const PhysicsParameters& p = pimpl->physics_.parameters();
  return std::isfinite(p.lower_stop[kGripper]) ? p.lower_stop[kGripper] : p.upper_stop[kGripper];
}

std::vector<ReceivedCommand> SimulatedArm::receivedCommands(int joint) const {
  requireJoint(joint);
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  const auto& log = pimpl->motors_[joint].log;
  return std::vector<ReceivedCommand>(log.begin(), log.end());
}

void SimulatedArm::clearReceivedCommands() {
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  for (auto& motor : pimpl->motors_) motor.log.clear();
}

std::uint64_t SimulatedArm::framesReceived() const { return pimpl->frames_received_.load(); }

std::uint64_t SimulatedArm::framesSent() const { return pimpl->frames_sent_.load(); }

std::uint64_t SimulatedArm::framesRefused() const { return pimpl->frames_refused_.load(); }

void SimulatedArm::setMotorSilent(int joint, bool silent) {
  requireJoint(joint);
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  pimpl->motors_[joint].silent = silent;
}

void SimulatedArm::setMotorError(int joint, int code, ErrorPersistence persistence) {
  const MotorProtocol protocol = protocolOf(joint);
  if (code != 0) {
    const bool type4 = protocol == MotorProtocol::kType4;
    const int lowest = type4 ? 1 : 2;
    const int highest = type4 ? 31 : 15;
    if (code < lowest || code > highest) {
      throw std::invalid_argument("SimulatedArm: error code " + std::to_string(code) + " of joint " +
                                  std::to_string(joint) + " must be 0 or " + std::to_string(lowest) + "-" +
                                  std::to_string(highest));
    }
    if (type4 && persistence == ErrorPersistence::kUntilClearError) {
      throw std::invalid_argument("SimulatedArm: joint " + std::to_string(joint) +
                                  " has a type 4 motor, which has no clear-error command");
    }
  }
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  pimpl->motors_[joint].error = code;
  pimpl->motors_[joint].persistence = persistence;
}

void SimulatedArm::setMotorCurrent(int joint, std::optional<double> current) {
  requireJoint(joint);
  if (current && !std::isfinite(*current)) {
    throw std::invalid_argument("SimulatedArm: the current of joint " + std::to_string(joint) +
                                " is not finite");
  }
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  pimpl->motors_[joint].current = current;
}

void SimulatedArm::setExternalTorque(int joint, double torque) {
  requireJoint(joint);
  if (!std::isfinite(torque)) {
    throw std::invalid_argument("SimulatedArm: the external torque of joint " + std::to_string(joint) +
                                " is not finite");
  }
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  pimpl->motors_[joint].external = torque;
}

void SimulatedArm::setBusSilent(bool silent) {
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  pimpl->bus_silent_ = silent;
}

void SimulatedArm::setDropShare(double share) {
  if (!(share >= 0.0 && share <= 1.0)) {
    throw std::invalid_argument("SimulatedArm: the drop share must lie within 0 and 1");
  }
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  pimpl->drop_share_ = share;
}

void SimulatedArm::clearFaults() {
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  pimpl->bus_silent_ = false;
  pimpl->drop_share_ = 0.0;
  for (auto& motor : pimpl->motors_) {
    motor.silent = false;
    motor.error = 0;
    motor.current.reset();
  }
}

}  // namespace sim
}  // namespace kav
