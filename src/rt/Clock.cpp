#include "rt/Clock.h"

#include "controller/CycleClock.h"

namespace kav {
namespace rt {

RealTimeClock& RealTimeClock::instance() {
  static RealTimeClock clock;
  return clock;
}

void RealTimeClock::waitUntil(time_point deadline, std::chrono::microseconds spin) {
  t8::waitUntil(deadline, spin);
}

void SimulatedClock::waitUntil(time_point deadline, std::chrono::microseconds /*spin*/) {
  if (deadline <= now_) return;
  if (advance_) advance_(deadline);
  set(deadline);
}

}  // namespace rt
}  // namespace kav
