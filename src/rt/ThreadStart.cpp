#include "rt/ThreadStart.h"

#include <mutex>

namespace kav {
namespace rt {

namespace {
std::mutex g_mutex;
std::string g_failing_name;
int g_failing_error = 0;
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

}  // namespace rt
}  // namespace kav
