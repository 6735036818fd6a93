#pragma once
// The recover command of kav serve: the arm's recover() takes about 0.2 s,
// longer than a network thread of the server may be held, so it runs on a
// thread of its own, one request at a time, and its outcome goes to the
// client that asked once it is known.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "LiveServer.h"

namespace kav {
namespace serve {

/// Runs recover requests on a thread of its own, one at a time.
class Recovery {
 public:
  /// Delivers the outcome of a request to the client that sent it.
  using Answer = std::function<void(const Sender& to, const ClientReply& outcome)>;

  /// @param answer called on the recovery's thread with an info status on
  ///        success or an error naming the failure
  explicit Recovery(Answer answer);
  /// Waits for a recovery that runs; one not yet started is dropped.
  ~Recovery();
  Recovery(const Recovery&) = delete;
  Recovery& operator=(const Recovery&) = delete;

  /// Starts @p recover for @p sender on the recovery's thread.
  /// @return the refusal (an error) when a recovery is already pending or
  ///         running, else nothing: the outcome follows through the answer
  ClientReply start(const Sender& sender, std::function<void()> recover);
  /// Whether a recovery is pending or running.
  bool busy() const;
  /// While a recovery is pending or running (control has ended for it, so
  /// the arm's setters refuse), queues @p then to run on the recovery's
  /// thread as soon as it has ended, whatever its outcome: a stop that
  /// arrives meanwhile takes effect after it. Exceptions of @p then are
  /// dropped.
  /// @return whether @p then was queued (false: no recovery, nothing done)
  bool afterwards(std::function<void()> then);

 private:
  void run();

  Answer answer_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;
  bool busy_ = false;
  Sender sender_;
  std::function<void()> recover_;
  std::vector<std::function<void()>> afterwards_;
  std::thread thread_;
};

}  // namespace serve
}  // namespace kav
