#pragma once
// Commands streamed by a host loop that is not real-time (a Python loop):
// a control law of the library's own runs in the cycle, publishes each
// cycle's state for the host to read and applies the newest command the
// host wrote. No host code runs on the control thread; the two sides meet
// at one priority-inheriting mutex that the control thread only tries.

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

#include "controller/UserControl.h"
#include "interfaces/InterfacesPy.h"
#include "rt/PiMutex.h"

namespace kav {
namespace t8 {

class ControllerThread;

class CommandStream {
 public:
  /// Cycles in a row without a new command that end the law (code 194).
  static constexpr int kMissedCyclesLimit = 4;

  explicit CommandStream(ControllerThread& arm) : arm_(arm) { sem_init(&cycles_, 0, 0); }
  ~CommandStream();
  CommandStream(const CommandStream&) = delete;
  CommandStream& operator=(const CommandStream&) = delete;

  /// Starts the law on a thread of its own and returns after its first
  /// cycle. Until the first write() the joints get their gravity torques and
  /// some damping; from the first command on, kMissedCyclesLimit cycles in a
  /// row without a new one end the law.
  /// @throw std::logic_error when a stream runs already
  /// @throw std::runtime_error as InterfacesThread::control (nothing runs then)
  void start();
  /// Waits up to @p timeout_s for a cycle newer than the last one read and
  /// stores its state in @p state.
  /// @throw std::invalid_argument for a timeout that is not finite or below 0
  /// @throw StreamTimeout when no cycle came in time, or the law ended
  ///        because no command came for kMissedCyclesLimit cycles
  /// @throw std::runtime_error naming why when the law ended otherwise
  void read(double timeout_s, CycleState& state);
  /// The command the next cycles apply (units of JointCommand).
  /// @throw std::invalid_argument for a value that is not finite or a
  ///        negative gain (nothing changes then)
  /// @throw as read() once the law has ended
  void write(const JointCommand& command);
  /// Ends the law at its next cycle (the arm is held where it is, as after
  /// InterfacesThread::stopControl) and waits for its thread.
  /// @throw what read() would throw when the law had ended on its own with
  ///        an error that read() or write() did not raise yet; nothing when
  ///        no stream ran
  void stop();
  /// Cycles since start() that applied no new command (the host was late).
  std::uint64_t lateCycles() const { return late_cycles_.load(std::memory_order_relaxed); }
  bool running() const { return thread_.joinable(); }

 private:
  JointCommand cycle(const CycleState& state);
  // Throws the reason the law ended (once ended_).
  void rethrowEnd(const char* operation);

  ControllerThread& arm_;
  std::thread thread_;
  sem_t cycles_;  // posted once per published state (a post never blocks)

  rt::PiMutex mutex_;  // guards the fields below it
  CycleState state_{};
  std::uint64_t state_number_ = 0;
  JointCommand command_{};
  std::uint64_t command_number_ = 0;

  // Control thread only.
  JointCommand applied_{};
  std::uint64_t applied_number_ = 0;
  int missed_ = 0;

  std::uint64_t read_number_ = 0;  // host side: the last state read
  std::atomic<std::uint64_t> late_cycles_{0};
  std::atomic<bool> first_cycle_{false};
  std::atomic<bool> starved_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> failed_{false};    // control() threw
  std::atomic<bool> reported_{false};  // read() or write() told the host of the end
  std::string end_message_;            // written before ended_ is set
};

}  // namespace t8
}  // namespace kav
