#include "controller/UserLaw.h"

#include "controller/ErrorCode.h"

namespace kav {
namespace t8 {

bool UserLaw::arm(const ControlLaw& law) {
  if (phase() != Phase::kIdle) return false;
  law_ = law;  // the one copy, on the host's thread
  stop_.store(false);
  end_code_.store(0, std::memory_order_relaxed);
  phase_.store(Phase::kArmed, std::memory_order_release);
  return true;
}

void UserLaw::release() {
  law_ = nullptr;
  phase_.store(Phase::kIdle, std::memory_order_release);
}

bool UserLaw::disarm() {
  Phase armed = Phase::kArmed;
  return phase_.compare_exchange_strong(armed, Phase::kEnded, std::memory_order_acq_rel);
}

void UserLaw::begin(rt::Clock::time_point start) {
  Phase armed = Phase::kArmed;
  if (!phase_.compare_exchange_strong(armed, Phase::kRunning, std::memory_order_acq_rel)) return;
  start_ = start;
  cycle_ = 0;
  overruns_ = 0;
  first_overrun_ = false;
  last_run_ = std::chrono::nanoseconds(0);
}

int UserLaw::run(rt::Clock::time_point start, JointCommand& command) {
  state_.time = std::chrono::duration<double>(start - start_).count();
  state_.cycle = cycle_++;
  const auto before = std::chrono::steady_clock::now();
  int failed = 0;
  try {
    command = law_(state_);
  } catch (const LawEnded& ended) {
    failed = ended.code;
  } catch (...) {
    failed = ErrorCode::lawFailed().code();
  }
  last_run_ = std::chrono::steady_clock::now() - before;
  first_overrun_ = false;
  if (last_run_ > kBudget) first_overrun_ = overruns_++ == 0;
  return failed;
}

void UserLaw::end(int code, const std::array<double, config::kArmJoints>& hold) {
  end_code_.store(code, std::memory_order_relaxed);
  hold_ = hold;
  phase_.store(Phase::kEnded, std::memory_order_release);
}

}  // namespace t8
}  // namespace kav
