#pragma once
/// @file SigpipeGuard.h
/// Keeps SIGPIPE from killing the process while the library writes its own
/// lines around bringing an arm up or down.

#include <signal.h>

#include <ctime>

namespace kav {
namespace rt {

/// While it lives, SIGPIPE is blocked on the calling thread, so a write to a
/// standard output whose reader went away fails with EPIPE instead of ending
/// the process before the arm is held in damping. A SIGPIPE raised meanwhile
/// is discarded when the guard goes, and the thread's mask is restored.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &saved_);
  }
  ~SigpipeGuard() {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    const timespec now{0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &now) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace rt
}  // namespace kav
