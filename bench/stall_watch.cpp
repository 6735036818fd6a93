// How long this machine holds real-time threads off: the suites'
// StallWitness (a thread per processor at SCHED_FIFO 78, waking every
// millisecond) over one-second windows, the longest lateness of each.
//
//   stall_watch [SECONDS]     (default 30)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "../tests/support/stall_witness.h"

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: stall_watch [SECONDS]\n");
    return 2;
  }
  long worst_us = 0;
  std::printf("longest lateness per second [ms]:");
  for (int i = 0; i < seconds; ++i) {
    kav_test::StallWitness witness;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long us = static_cast<long>(witness.longest().count());
    worst_us = us > worst_us ? us : worst_us;
    std::printf(" %ld", us / 1000);
    std::fflush(stdout);
  }
  std::printf("\nlongest over %d s: %.1f ms\n", seconds, static_cast<double>(worst_us) / 1000.0);
  return 0;
}
