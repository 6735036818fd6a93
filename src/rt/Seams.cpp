#include "rt/Seams.h"

#include <atomic>
#include <mutex>
#include <stdexcept>

namespace kav {
namespace rt {

namespace {
std::mutex g_mutex;
std::string g_failing_name;
int g_failing_error = 0;
std::atomic<bool> g_cycle_failure_requested{false};
std::string g_cycle_failure;  // guarded by g_mutex
}  // namespace

int startThread(pthread_t* thread, const char* name, void* (*body)(void*), void* argument) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_failing_error != 0 && g_failing_name == name) {
      const int error = g_failing_error;
      g_failing_error = 0;
      return error;
    }
  }
  return pthread_create(thread, nullptr, body, argument);
}

void failNextThreadStart(const std::string& name, int error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_failing_name = name;
  g_failing_error = error;
}

void failNextCycle(const std::string& what) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_cycle_failure = what;
  g_cycle_failure_requested.store(true);
}

void raiseRequestedCycleFailure() {
  if (!g_cycle_failure_requested.load(std::memory_order_relaxed)) return;
  std::string what;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_cycle_failure_requested.exchange(false)) return;
    what = g_cycle_failure;
  }
  throw std::runtime_error(what);
}

}  // namespace rt
}  // namespace kav
