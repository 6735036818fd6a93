#include "controller/MotionExecutor.h"

#include "controller/ControllerBase.h"

namespace kav {
namespace t8 {

void MotionExecutor::interrupt() { epoch_.fetch_add(1); }

void MotionExecutor::interruptWithState(std::atomic<int>& state, int value) {
  std::lock_guard<rt::PiMutex> lock(mutex_);
  epoch_.fetch_add(1);
  state.store(value);
}

void MotionExecutor::post(const Request& request) {
  std::lock_guard<rt::PiMutex> lock(mutex_);
  pending_ = request;
}

bool MotionExecutor::withdraw(std::uint64_t id) {
  std::lock_guard<rt::PiMutex> lock(mutex_);
  if (!pending_ || pending_->id != id) return false;
  pending_.reset();
  return true;
}

MotionExecutor::Snapshot MotionExecutor::snapshot() {
  std::lock_guard<rt::PiMutex> lock(mutex_);
  return published_;
}

bool MotionExecutor::restsAt(std::uint64_t cycle) const {
  return cycle >= active_start_ && static_cast<long>(cycle - active_start_) >= active_rest_;
}

void MotionExecutor::start(const motion::Motion* motion, std::uint64_t epoch) {
  active_ = motion;
  active_start_ = cycle_;
  active_epoch_ = epoch;
  active_rest_ = motion::restCycle(*motion);
}

bool MotionExecutor::beginCycle(std::atomic<int>& state, const double* set_point, Held held) {
  ++cycle_;
  const std::uint64_t epoch = epoch_.load();
  if (active_ &&
      (epoch != active_epoch_ || held != Held::kNo || state.load() != ControllerBase::POSITION_CONTROL)) {
    active_ = nullptr;
  }
  // A host holds the lock only to copy a few values; if it does right now,
  // the request waits for the next cycle and the host reads a snapshot one
  // cycle old (it carries its cycle number).
  std::unique_lock<rt::PiMutex> lock(mutex_, std::try_to_lock);
  if (lock.owns_lock()) answerRequest(state, set_point, held, epoch);
  if (active_) active_->sample(static_cast<double>(cycle_ - active_start_) * motion::kSamplePeriod, sample_);
  if (lock.owns_lock()) {
    published_.cycle = cycle_;
    published_.active = active_;
    published_.active_start = active_start_;
    published_.running = active_ && !restsAt(cycle_);
    for (int j = 0; j < motion::kJoints; ++j) {
      published_.set_point[j] = active_ ? sample_.position[j] : set_point[j];
    }
  }
  return active_ != nullptr;
}

void MotionExecutor::answerRequest(std::atomic<int>& state, const double* set_point, Held held,
                                   std::uint64_t epoch) {
  if (!pending_) return;
  const Request request = *pending_;
  Outcome outcome = Outcome::kNone;
  if (held == Held::kOffline) {
    outcome = Outcome::kOffline;
  } else if (held == Held::kReflex) {
    outcome = Outcome::kReflex;
  } else if (request.epoch != epoch) {
    outcome = Outcome::kInterrupted;
  } else if (request.motion == nullptr) {
    if (!active_) {
      motion::JointArray position;
      for (int j = 0; j < motion::kJoints; ++j) position[j] = set_point[j];
      capture_.reset(position);
      state.store(ControllerBase::POSITION_CONTROL);
      start(&capture_, epoch);
    }
    outcome = Outcome::kStarted;
  } else if (active_ != request.predecessor) {
    outcome = Outcome::kStale;
  } else if ((restsAt(cycle_) && restsAt(request.start_cycle)) || cycle_ == request.start_cycle) {
    // A predecessor at rest is the same at any cycle: no need to wait.
    start(request.motion, epoch);
    outcome = Outcome::kStarted;
  } else if (cycle_ > request.start_cycle) {
    outcome = Outcome::kLate;
  } else {
    return;  // its cycle has not come yet
  }
  pending_.reset();
  published_.answered = request.id;
  published_.outcome = outcome;
}

}  // namespace t8
}  // namespace kav
