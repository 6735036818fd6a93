#pragma once
// Pacing of the 5 ms control cycle on the monotonic clock.

#include <time.h>

#include <chrono>

namespace kav {
namespace t8 {

using CycleClock = std::chrono::steady_clock;

/// Sleeps until shortly before @p deadline (absolute, CLOCK_MONOTONIC, which
/// steady_clock reads on Linux) and spins the rest, so the wake-up is exact
/// without holding a processor for the whole cycle.
inline void waitUntil(CycleClock::time_point deadline) {
  constexpr auto kSpin = std::chrono::microseconds(150);
  const auto wake = deadline - kSpin;
  if (CycleClock::now() < wake) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wake.time_since_epoch()).count();
    timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
    }
  }
  while (CycleClock::now() < deadline) {
  }
}

}  // namespace t8
}  // namespace kav
