#pragma once
// The control thread's side of motions: takes a motion handed over by a host
// thread and samples it once per cycle for the position-control law.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "motion/Motion.h"
#include "rt/PiMutex.h"

namespace kav {
namespace t8 {

/// Runs at most one motion at a time in POSITION_CONTROL.
///
/// A motion is a pure function of time, so the future of a running one is
/// known: a host thread plans the next motion from the state the running one
/// will have at a chosen cycle, and the control thread switches at that
/// cycle. While no motion runs, a host first asks for a capture: the control
/// thread selects POSITION_CONTROL and holds the present set-point, and the
/// motion is then planned from that hold.
///
/// The control thread calls beginCycle() and sample() only; it takes the one
/// mutex of this object with try_lock, so it never waits for a host thread,
/// allocates nothing and frees nothing (the host owns every motion). Host
/// functions may be called from any thread.
class MotionExecutor {
 public:
  /// How the control thread answered a request.
  enum class Outcome {
    kNone,
    kStarted,      ///< the motion (or the capture) runs
    kLate,         ///< its start cycle had passed while the running motion still moved
    kStale,        ///< another motion runs than the one it was planned from
    kInterrupted,  ///< a command ended motions since it was planned
    kOffline,      ///< an arm motor is offline: the arm is held in damping for good
    kReflex,       ///< a collision reflex holds the arm compliant until recover()
  };

  /// What keeps the arm from following motions this cycle.
  enum class Held { kNo, kOffline, kReflex };

  /// Hand-over of one motion, or of a capture (motion null).
  struct Request {
    std::uint64_t id = 0;
    const motion::Motion* motion = nullptr;
    const motion::Motion* predecessor = nullptr;  ///< the motion it was planned from
    std::uint64_t start_cycle = 0;                ///< cycle at which it takes over
    std::uint64_t epoch = 0;                      ///< epoch() when it was planned
  };

  /// What the control thread published at its last cycle.
  struct Snapshot {
    std::uint64_t cycle = 0;                 ///< cycles begun so far
    const motion::Motion* active = nullptr;  ///< the motion that drives the set-point
    std::uint64_t active_start = 0;          ///< cycle at which its time 0 was commanded
    bool running = false;                    ///< active and not yet at rest
    motion::JointArray set_point{};          ///< position commanded (or, without a motion, the set-point)
    std::uint64_t answered = 0;              ///< id of the last request answered
    Outcome outcome = Outcome::kNone;        ///< and its answer
  };

  // ---- host threads
  /// Ends the running motion at the next cycle (a new joint or pose target).
  void interrupt();
  /// Ends the running motion and stores @p value into @p state, both under
  /// this object's lock so that a capture cannot overwrite the state.
  void interruptWithState(std::atomic<int>& state, int value);
  /// The number of interruptions so far.
  std::uint64_t epoch() const { return epoch_.load(); }
  /// Leaves @p request for the control thread (replacing one not yet taken).
  void post(const Request& request);
  /// Takes back request @p id if the control thread has not answered it.
  bool withdraw(std::uint64_t id);
  Snapshot snapshot();

  // ---- control thread
  /// Starts a cycle: ends the motion on an interruption, when the arm is not
  /// in POSITION_CONTROL or is held, answers a waiting request (refused while
  /// held), publishes, and samples the running motion.
  /// @param state the arm state (a capture selects POSITION_CONTROL)
  /// @param set_point the six set-points of the previous cycle
  /// @param held what holds the arm (an offline motor, a reflex), if anything
  /// @return true when a motion drives the set-point this cycle
  bool beginCycle(std::atomic<int>& state, const double* set_point, Held held);
  /// This cycle's sample of the running motion; null when none runs.
  const motion::JointSample* current() const { return active_ ? &sample_ : nullptr; }

 private:
  void answerRequest(std::atomic<int>& state, const double* set_point, Held held, std::uint64_t epoch);
  void start(const motion::Motion* motion, std::uint64_t epoch);
  bool restsAt(std::uint64_t cycle) const;

  std::atomic<std::uint64_t> epoch_{0};
  rt::PiMutex mutex_;               // guards pending_ and published_
  std::optional<Request> pending_;  // guarded
  Snapshot published_;              // guarded

  // Control thread only.
  std::uint64_t cycle_ = 0;
  const motion::Motion* active_ = nullptr;
  std::uint64_t active_start_ = 0;
  std::uint64_t active_epoch_ = 0;
  long active_rest_ = 0;  // cycles after active_start_ at which it rests
  motion::Hold capture_;  // written under mutex_, before the host can see it active
  motion::JointSample sample_;
};

}  // namespace t8
}  // namespace kav
