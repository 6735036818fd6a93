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
#include <deque>
#include <stdexcept>
#include <thread>

#include "ArmModel.h"
#include "BusPort.h"
#include "canbase/LocalBus.h"
#include "config/ArmConfig.h"
#include "rt/Priority.h"

namespace kav {
namespace sim {

namespace {

using hw_interface::CanFrame;
using Clock = std::chrono::steady_clock;

constexpr long kStepNanoseconds =
    std::chrono::duration_cast<std::chrono::nanoseconds>(ArmModel::kStep).count();  // 1 kHz
constexpr auto kReconnectPause = std::chrono::milliseconds(200);
constexpr int kFramesPerWake = 64;

void requireJoint(int joint) {
  if (joint < 0 || joint >= kSimJoints) {
    throw std::invalid_argument("SimulatedArm: joint " + std::to_string(joint) + " is not a joint index 0-6");
  }
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
  // On a bus, with a thread for the physics and one for the frames.
  impl(const std::string& endpoint, SimulatedArmOptions options)
      : endpoint_(endpoint), model_(std::move(options)) {
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

  // Without threads or a bus: a simulation steps the model.
  explicit impl(SimulatedArmOptions options) : endpoint_(), model_(std::move(options)) {}

  ~impl() {
    if (!io_thread_.joinable()) return;
    stop_.store(true);
    uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd_, &one, sizeof(one));
    (void)ignored;
    io_thread_.join();
    physics_thread_.join();
    if (fd_ >= 0) ::close(fd_);
    ::close(wake_fd_);
  }

  const std::string endpoint_;
  ArmModel model_;

 private:
  using Clock = std::chrono::steady_clock;

  struct PendingReply {
    Clock::time_point due;
    int joint;
  };

  // ------------------------------------------------------------ physics

  void physicsLoop() {
    pthread_setname_np(pthread_self(), "kav-sim-physics");
    // Best effort, as the controller's threads do: the simulated motors keep
    // answering on a busy machine (a type 4 motor's silence limit is 100 ms),
    // so a test or a benchmark sees the controller, not the load beside it.
    rt::preferRealtime(config::kSimulatorPhysicsPriority);
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!stop_.load()) {
      next = next + kStepNanoseconds;
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
      }
      // The steps due up to now: after this thread was kept off the
      // processor, the ones it missed at once (the bus thread may have made
      // them up already), and the timer carries on from now.
      model_.catchUp(Clock::now());
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (nanosecondsBetween(next, now) > kStepNanoseconds) next = now;
    }
  }

  // ------------------------------------------------------------ bus

  void ioLoop() {
    pthread_setname_np(pthread_self(), "kav-sim-io");
    rt::preferRealtime(config::kSimulatorBusPriority);
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
      const Clock::time_point received = Clock::now();
      model_.catchUp(received);
      const int joint = model_.accept(frame, received);
      if (joint < 0) continue;
      const auto latency = model_.options().reply_latency;
      if (latency.count() == 0) {
        sendReply(joint);
      } else {
        pending->push_back({Clock::now() + latency, joint});
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
    const Clock::time_point now = Clock::now();
    model_.catchUp(now);
    std::optional<CanFrame> frame = model_.feedbackFrame(joint, now);
    if (!frame || fd_ < 0) return;
    if (::send(fd_, &*frame, sizeof(CanFrame), MSG_DONTWAIT | MSG_NOSIGNAL) ==
        static_cast<ssize_t>(sizeof(CanFrame))) {
      model_.countSent();
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
      model_.countRefused();  // the transmit queue is full
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

  std::atomic<bool> stop_{false};
  int wake_fd_ = -1;
  int fd_ = -1;  // owned by the I/O thread once it runs
  std::thread physics_thread_;
  std::thread io_thread_;
};

SimulatedArm::SimulatedArm(const std::string& endpoint, SimulatedArmOptions options)
    : pimpl(new impl(endpoint, std::move(options))) {}

SimulatedArm::SimulatedArm(SimulatedArmOptions options, Stepped) : pimpl(new impl(std::move(options))) {}

SimulatedArm::~SimulatedArm() = default;

ArmModel& SimulatedArm::model() { return pimpl->model_; }

const std::string& SimulatedArm::endpoint() const { return pimpl->endpoint_; }

int SimulatedArm::motorId(int joint) {
  requireJoint(joint);
  return config::kMotorIds[joint];
}

MotorProtocol SimulatedArm::protocolOf(int joint) {
  requireJoint(joint);
  return config::kMotorProtocols[joint];
}

std::array<JointState, kSimJoints> SimulatedArm::jointStates() const { return pimpl->model_.jointStates(); }

JointState SimulatedArm::jointState(int joint) const {
  requireJoint(joint);
  return pimpl->model_.jointStates()[joint];
}

std::array<double, kSimArmJoints> SimulatedArm::gravityTorques() const {
  return pimpl->model_.gravityTorques();
}

bool SimulatedArm::motorEnabled(int joint) const { return pimpl->model_.motorEnabled(joint); }

double SimulatedArm::motorZero(int joint) const { return pimpl->model_.motorZero(joint); }

double SimulatedArm::gripperStop() const { return pimpl->model_.gripperStop(); }

std::vector<ReceivedCommand> SimulatedArm::receivedCommands(int joint) const {
  return pimpl->model_.receivedCommands(joint);
}

void SimulatedArm::clearReceivedCommands() { pimpl->model_.clearReceivedCommands(); }

std::uint64_t SimulatedArm::framesReceived() const { return pimpl->model_.framesReceived(); }

std::uint64_t SimulatedArm::framesSent() const { return pimpl->model_.framesSent(); }

std::uint64_t SimulatedArm::framesRefused() const { return pimpl->model_.framesRefused(); }

void SimulatedArm::setMotorSilent(int joint, bool silent) { pimpl->model_.setMotorSilent(joint, silent); }

void SimulatedArm::setMotorError(int joint, int code, ErrorPersistence persistence) {
  pimpl->model_.setMotorError(joint, code, persistence);
}

void SimulatedArm::setMotorCurrent(int joint, std::optional<double> current) {
  pimpl->model_.setMotorCurrent(joint, current);
}

void SimulatedArm::setExternalTorque(int joint, double torque) {
  pimpl->model_.setExternalTorque(joint, torque);
}

void SimulatedArm::setObstacle(int joint, double position, double stiffness, int side) {
  pimpl->model_.setObstacle(joint, position, stiffness, side);
}

double SimulatedArm::obstacleTorque(int joint) const { return pimpl->model_.obstacleTorque(joint); }

void SimulatedArm::setBusSilent(bool silent) { pimpl->model_.setBusSilent(silent); }

void SimulatedArm::setDropShare(double share) { pimpl->model_.setDropShare(share); }

void SimulatedArm::clearFaults() { pimpl->model_.clearFaults(); }

}  // namespace sim
}  // namespace kav
