#include "interfaces/CommandStream.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <mutex>

#include "controller/ControllerThread.h"
#include "controller/ErrorCode.h"
#include "controller/UserLaw.h"

namespace kav {
namespace t8 {

namespace {

// N·m·s/rad per arm joint until the first command: the arm floats, slowly.
constexpr double kWaitingDamping[6] = {2.0, 2.0, 2.0, 0.2, 0.2, 0.2};

void requireCommand(const JointCommand& command) {
  static const char* const kFields[] = {"k_p", "k_d", "position", "velocity", "torque"};
  for (int i = 0; i < 6; ++i) {
    const HybridJointCmd& joint = command.joints[i];
    const double values[] = {joint.k_p, joint.k_d, joint.position, joint.velocity, joint.torque};
    for (int field = 0; field < 5; ++field) {
      const std::string what = std::string(kFields[field]) + "[" + std::to_string(i) + "]";
      if (!std::isfinite(values[field])) throw std::invalid_argument(what + " is not a finite number");
      if (field < 2 && values[field] < 0.0) throw std::invalid_argument(what + " is a negative gain");
    }
  }
}

}  // namespace

CommandStream::~CommandStream() {
  try {
    stop();
  } catch (const std::exception&) {
    // The arm is going away: how the law ended was the host's to ask.
  }
  sem_destroy(&cycles_);
}

void CommandStream::start() {
  if (thread_.joinable()) throw std::logic_error("torque control runs already on this arm");
  while (sem_trywait(&cycles_) == 0) {
  }
  {
    std::lock_guard<rt::PiMutex> lock(mutex_);
    state_number_ = 0;
    command_ = JointCommand{};
    command_number_ = 0;
  }
  applied_number_ = 0;
  missed_ = 0;
  read_number_ = 0;
  late_cycles_.store(0);
  first_cycle_.store(false);
  starved_.store(false);
  ended_.store(false);
  failed_.store(false);
  reported_.store(false);
  end_message_.clear();
  thread_ = std::thread([this] {
    try {
      arm_.control([this](const CycleState& state) { return cycle(state); });
      end_message_ = "the torque control has ended: another command selected a state, or it was stopped";
    } catch (const std::exception& error) {
      end_message_ = error.what();
      failed_.store(true);
    }
    ended_.store(true);
    sem_post(&cycles_);  // wakes a reader
  });
  // control() refuses at once (another law, control ended) or the law runs.
  while (!first_cycle_.load() && !ended_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!first_cycle_.load()) {
    thread_.join();
    throw std::runtime_error(end_message_);
  }
}

JointCommand CommandStream::cycle(const CycleState& state) {
  bool fresh = false;
  std::unique_lock<rt::PiMutex> lock(mutex_, std::try_to_lock);
  if (lock.owns_lock()) {
    state_ = state;
    ++state_number_;
    if (command_number_ != applied_number_) {
      applied_ = command_;
      applied_number_ = command_number_;
      fresh = true;
    }
    lock.unlock();
    sem_post(&cycles_);
  } else {
    // The host is writing or reading this very moment: not late.
    fresh = true;
  }
  first_cycle_.store(true);
  if (applied_number_ == 0) {
    // No command yet (the host may still be setting up): the joints carry
    // their own weight, damped, and no cycle counts as late.
    JointCommand waiting;
    for (int i = 0; i < 6; ++i) {
      waiting.joints[i].torque = state.gravity[i];
      waiting.joints[i].k_d = kWaitingDamping[i];
    }
    return waiting;
  }
  if (fresh) {
    missed_ = 0;
  } else {
    late_cycles_.fetch_add(1, std::memory_order_relaxed);
    if (++missed_ >= kMissedCyclesLimit) {
      starved_.store(true);
      throw LawEnded{ErrorCode::commandsLate().code()};
    }
  }
  return applied_;
}

void CommandStream::rethrowEnd(const char* operation) {
  reported_.store(true);
  if (starved_.load()) {
    throw StreamTimeout(std::string(operation) + ": no command came for " +
                        std::to_string(kMissedCyclesLimit) + " cycles: " + end_message_);
  }
  throw std::runtime_error(std::string(operation) + ": " + end_message_);
}

void CommandStream::read(double timeout_s, CycleState& state) {
  if (!std::isfinite(timeout_s) || timeout_s < 0.0)
    throw std::invalid_argument("read_once: timeout must be a finite number of at least 0 s");
  if (!thread_.joinable()) throw std::runtime_error("read_once: the torque control is not running");
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const double whole = std::floor(timeout_s);
  deadline.tv_sec += static_cast<time_t>(whole);
  deadline.tv_nsec += static_cast<long>((timeout_s - whole) * 1e9);
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (true) {
    if (ended_.load()) rethrowEnd("read_once");
    {
      std::lock_guard<rt::PiMutex> lock(mutex_);
      if (state_number_ != read_number_) {
        state = state_;
        read_number_ = state_number_;
        return;
      }
    }
    if (sem_clockwait(&cycles_, CLOCK_MONOTONIC, &deadline) != 0 && errno == ETIMEDOUT) {
      throw StreamTimeout("read_once: no control cycle within " + std::to_string(timeout_s) + " s");
    }
  }
}

void CommandStream::write(const JointCommand& command) {
  requireCommand(command);
  if (!thread_.joinable()) throw std::runtime_error("write_once: the torque control is not running");
  if (ended_.load()) rethrowEnd("write_once");
  std::lock_guard<rt::PiMutex> lock(mutex_);
  command_ = command;
  ++command_number_;
}

void CommandStream::stop() {
  if (!thread_.joinable()) return;
  if (!ended_.load()) arm_.stopControl();
  thread_.join();
  // An end the host was told of already (read or write raised) is not told again.
  if (failed_.load() && !reported_.load()) rethrowEnd("torque control");
}

}  // namespace t8
}  // namespace kav
