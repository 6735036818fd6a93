#include "rt/Priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace kav {
namespace rt {

bool preferRealtime(int priority) {
  sched_param parameter{};
  parameter.sched_priority = priority;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter) == 0;
}

void preferNormal(int nice) {
  sched_param normal{};
  normal.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice);
}

}  // namespace rt
}  // namespace kav
