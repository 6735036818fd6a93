#pragma once
// Pacing of the control cycle and of the frames within it, on the monotonic
// clock.

#include <time.h>

#include <chrono>

namespace kav {
namespace t8 {

using CycleClock = std::chrono::steady_clock;

/// How long before a cycle's deadline the wait stops sleeping and spins: it
/// absorbs a real-time thread's usual wake-up lateness (tens to about 150 us
/// on a virtual machine), so the cycle starts on time.
constexpr std::chrono::microseconds kCycleSpin{150};
/// The same for the frames within a cycle: much shorter. A cycle has seven
/// frames, whose 200 us slots pace the bus; longer spins there cost a
/// processor at the top priority (with several arms, in front of the other
/// arms' threads) and the motors do not need the frames to the microsecond.
constexpr std::chrono::microseconds kFrameSpin{10};

/// An absolute sleep on CLOCK_MONOTONIC (steady_clock on Linux); returns 0
/// or an error number, as clock_nanosleep does.
using AbsoluteSleep = int (*)(const timespec* until);

inline int sleepUntilMonotonic(const timespec* until) {
  return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, until, nullptr);
}

/// Says once per process, on standard error, that absolute sleeps fail with
/// @p error and relative sleeps stand in for them.
void reportAbsoluteSleepFailure(int error);

/// Sleeps until @p spin before @p deadline and spins the rest, so the
/// wake-up is exact without holding a processor for the whole wait. An
/// interrupted sleep is resumed; a sleep that fails otherwise is reported
/// once and replaced by a relative sleep, so the caller never spins on a
/// failing call. @p sleep is replaceable for tests.
void waitUntil(CycleClock::time_point deadline, std::chrono::microseconds spin = kCycleSpin,
               AbsoluteSleep sleep = sleepUntilMonotonic);

}  // namespace t8
}  // namespace kav
