#include "controller/CycleClock.h"

#include <errno.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "console/Console.h"

namespace kav {
namespace t8 {

void reportAbsoluteSleepFailure(int error) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  char reason[128];
  console::print(console::Stream::kErr, "[Controller] absolute sleep failed (%s); using relative sleeps\n",
                 strerror_r(error, reason, sizeof(reason)));
}

void waitUntil(CycleClock::time_point deadline, std::chrono::microseconds spin, AbsoluteSleep sleep) {
  const auto wake = deadline - spin;
  if (CycleClock::now() < wake) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wake.time_since_epoch()).count();
    const timespec until{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    for (;;) {
      const int error = sleep(&until);
      if (error == 0) break;
      if (error == EINTR) continue;
      reportAbsoluteSleepFailure(error);
      const auto left = wake - CycleClock::now();
      if (left > CycleClock::duration::zero()) std::this_thread::sleep_for(left);
      break;
    }
  }
  while (CycleClock::now() < deadline) {
  }
}

}  // namespace t8
}  // namespace kav
