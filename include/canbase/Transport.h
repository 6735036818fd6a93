#pragma once
/// @file Transport.h
/// What a controller needs of a CAN bus. SocketCan is the transport of a
/// real bus (SocketCAN or a local-socket bus); MemoryTransport (MemoryBus.h)
/// carries frames in memory, for tests and the lockstep simulation.

#include <chrono>
#include <cstdint>
#include <functional>

#include "canbase/CanBaseDef.h"

namespace kav {
namespace hw_interface {

/// One member's connection to a CAN bus, with SocketCan's names for its
/// operations. Expected order of use: set both callbacks, Init(); then
/// ExchangeData(), LoadMutexMsg() and checkOnline() from one control thread;
/// Close() (or destruction) at the end. Failures are results, never
/// exceptions.
class Transport {
 public:
  virtual ~Transport() = default;

  /// Opens @p endpoint; received frames reach the receive callback from then on.
  /// @return true when open
  virtual bool Init(const char* endpoint) = 0;
  /// Sends one frame without blocking.
  /// @return false when it was not sent (not open, refused by a full queue)
  virtual bool ExchangeData(CanFrame* frame) = 0;
  /// False once the bus was silent for about two seconds; never true again.
  virtual bool checkOnline() = 0;
  /// The receive callback: run for every received frame, one at a time; the
  /// frame is valid only during the call. An empty callable switches it off.
  virtual void setCallBackFunction(std::function<void(CanFrame*)> callback) = 0;
  /// A receive callback that also takes the time the frame was received, on
  /// the machine's monotonic clock (or the simulated clock of a simulation).
  using TimedCallback = std::function<void(CanFrame*, std::chrono::steady_clock::time_point)>;
  /// Sets a receive callback that also gets each frame's receive time: the
  /// kernel's receive timestamp where the transport has one, else the time
  /// the frame was read. It replaces the callback of setCallBackFunction()
  /// (and that one replaces it). This default gives the monotonic clock's
  /// time at the call.
  virtual void setTimedCallBackFunction(TimedCallback callback) {
    if (!callback) {
      setCallBackFunction(nullptr);
      return;
    }
    setCallBackFunction([callback = std::move(callback)](CanFrame* frame) {
      callback(frame, std::chrono::steady_clock::now());
    });
  }
  /// The callable LoadMutexMsg() runs.
  virtual void setGetMsgContentFunction(std::function<void()> callback) = 0;
  /// Runs the message-content callback so that it never overlaps the
  /// receive callback.
  virtual void LoadMutexMsg() = 0;
  /// Sends refused because the transmit queue was full.
  virtual std::uint64_t framesRefused() const = 0;
  /// True when the last Init() failed because a thread of the transport
  /// could not be started.
  virtual bool threadStartFailed() const { return false; }
  /// Stops receiving and closes the connection.
  virtual void Close() = 0;
};

}  // namespace hw_interface
}  // namespace kav
