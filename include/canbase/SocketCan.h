#pragma once
/// @file SocketCan.h
/// The CAN transport: a raw SocketCAN socket or a local-socket bus, a receive
/// thread that hands every frame to a callback, link watching and reconnection.

#include <cstdint>
#include <functional>
#include <memory>

#include "canbase/CanBaseDef.h"
#include "canbase/Transport.h"

namespace kav {
namespace hw_interface {

/// One connection to a CAN bus.
///
/// The endpoint given to Init() is either a SocketCAN interface name ("can0",
/// "vcan0"; at most 15 characters) or a local-socket bus: "unix:/path" for a
/// filesystem address or "unix:@name" for a Linux abstract-namespace address.
/// A local-socket bus carries one 16-byte CanFrame per message; everything
/// else (thread, callbacks, silence detection, reconnection) is the same.
///
/// Expected order of use: construct, setCallBackFunction(),
/// setGetMsgContentFunction(), Init(); then ExchangeData(), LoadMutexMsg() and
/// checkOnline() from one control thread; Close() or destruction at the end.
/// Failures are reported by results and printed lines, never by exceptions.
/// Lines printed on the receive thread, and by ExchangeData() on a thread
/// marked real-time, go through the console queue (console/Console.h).
class SocketCan final : public CanBase, public Transport {
 public:
  /// Prints "SocketCAN adapter created.".
  SocketCan();
  /// Stops the receive thread if it runs and closes the socket.
  ~SocketCan() override;
  SocketCan(const SocketCan&) = delete;
  SocketCan& operator=(const SocketCan&) = delete;

  /// Opens the endpoint and starts the receive thread.
  /// @param interface interface name or "unix:" address; null counts as ""
  /// @return true when the socket is open and bound (or connected)
  bool Init(const char* interface) override;
  /// Sends one 16-byte frame. Never blocks: a frame that finds the transmit
  /// queue full is refused (and counted, see framesRefused()).
  /// @return false when no socket is open (and prints
  ///         "[CAN] Unable to transmit: Socket not open"), when @p frame is
  ///         null, or when the write failed or was short
  bool ExchangeData(CanFrame* frame) override;
  /// Frames this transport's ExchangeData() could not send because the
  /// transmit queue was full: a SocketCAN interface's queue, or on a
  /// bit-timed local-socket bus the queue the hub announced (see
  /// canbase/LocalBus.h). Safe to call from any thread.
  std::uint64_t framesRefused() const override;
  /// The same count summed over every transport of this process, for hosts
  /// whose transport is owned by a controller.
  static std::uint64_t framesRefusedInProcess();
  /// Does nothing; returns true.
  bool WriteData() override;
  /// Prints "[ReadData]" without a line end; returns true.
  bool ReadData() override;
  /// True while a socket descriptor is held.
  bool IsOpen() override;
  /// True when the last Init() failed because the receive thread could not
  /// be started (the socket was closed again).
  bool threadStartFailed() const override;

  /// False once the link was silent for two consecutive one-second waits;
  /// it never turns true again.
  bool checkOnline() override;
  /// From now on silence neither marks the link offline nor reconnects.
  void closeReset();
  /// Sets the receive callback, run on the receive thread for every frame.
  /// The frame pointer is valid only during the call. An empty callable
  /// switches the callback off. Waits for a call in progress to finish.
  void setCallBackFunction(std::function<void(CanFrame*)> callback) override;
  /// Sets a receive callback that also gets the frame's receive time: the
  /// kernel's receive timestamp (SO_TIMESTAMPNS: on a SocketCAN interface
  /// when the frame arrived, on a local-socket bus when the hub sent it),
  /// moved onto the monotonic clock; the time it was read when the kernel
  /// gave none. Replaces the plain callback. Waits for a call in progress.
  void setTimedCallBackFunction(TimedCallback callback) override;
  /// Sets the message-content callback run by LoadMutexMsg().
  void setGetMsgContentFunction(std::function<void()> callback) override;
  /// Runs the message-content callback under the lock the receive callback
  /// runs under, so the two never overlap.
  void LoadMutexMsg() override;
  /// Stops the receive thread and closes the socket. The receive thread is
  /// woken at once, also while it waits for the interface to come back, so
  /// Close returns as soon as a callback in progress has finished.
  void Close() override;

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace hw_interface
}  // namespace kav
