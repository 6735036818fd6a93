#pragma once
/// @file PiMutex.h
/// A mutex with priority inheritance, for locks that a real-time thread
/// shares with threads of lower priority.

#include <pthread.h>

namespace kav {
namespace rt {

/// Like std::mutex (usable with std::lock_guard and std::unique_lock), but a
/// thread holding it runs at the priority of the highest-priority thread
/// waiting for it (PTHREAD_PRIO_INHERIT), so a real-time thread never waits
/// behind a host thread that the scheduler has put aside.
class PiMutex {
 public:
  PiMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~PiMutex() { pthread_mutex_destroy(&mutex_); }
  PiMutex(const PiMutex&) = delete;
  PiMutex& operator=(const PiMutex&) = delete;

  /// Waits for the mutex and takes it.
  void lock() { pthread_mutex_lock(&mutex_); }
  /// Takes the mutex if it is free; true when taken.
  bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
  /// Releases the mutex.
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};

}  // namespace rt
}  // namespace kav
