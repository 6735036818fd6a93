#include "Recovery.h"

#include <pthread.h>

#include <exception>

#include "Text.h"

namespace kav {
namespace serve {

Recovery::Recovery(Answer answer) : answer_(std::move(answer)) {
  thread_ = std::thread([this] { run(); });
}

Recovery::~Recovery() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

ClientReply Recovery::start(const Sender& sender, std::function<void()> recover) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (busy_) return std::string("/arm/command refused: a recover is running already; wait for its outcome");
    busy_ = true;
    sender_ = sender;
    recover_ = std::move(recover);
  }
  wake_.notify_one();
  return {};
}

bool Recovery::busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

bool Recovery::afterwards(std::function<void()> then) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!busy_) return false;
  afterwards_.push_back(std::move(then));
  return true;
}

void Recovery::run() {
  pthread_setname_np(pthread_self(), "kav-serve-recover");
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return quit_ || recover_; });
    if (quit_) return;
    const std::function<void()> recover = std::move(recover_);
    recover_ = nullptr;
    const Sender sender = sender_;
    lock.unlock();
    ClientReply outcome;
    try {
      recover();
      outcome = ClientReply::info("/arm/command: recovered, holding the present pose in POSITION_CONTROL");
    } catch (const std::exception& error) {
      // The library's message names motors and faults; quoted like every
      // other text that reaches a client.
      outcome = "/arm/command failed: recover: " + excerpt(error.what(), 4 * kExcerptBytes);
    } catch (...) {
      outcome = std::string("/arm/command failed: recover: an unknown error");
    }
    lock.lock();
    // Until none is left: what was queued while they ran comes after them.
    while (!afterwards_.empty()) {
      const std::vector<std::function<void()>> then = std::move(afterwards_);
      afterwards_.clear();
      lock.unlock();
      for (const auto& step : then) {
        try {
          step();
        } catch (...) {  // the arm refuses (a failed recovery left it in damping): nothing to add
        }
      }
      lock.lock();
    }
    busy_ = false;  // before the answer: whoever reads it may ask again at once
    lock.unlock();
    try {
      answer_(sender, outcome);
    } catch (...) {  // out of memory queueing it: the client goes without
    }
    lock.lock();
  }
}

}  // namespace serve
}  // namespace kav
