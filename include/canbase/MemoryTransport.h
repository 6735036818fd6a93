#pragma once
/// @file MemoryTransport.h
/// A transport that carries frames in memory: for tests of everything above
/// the transport, and for the lockstep simulation.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "canbase/Transport.h"
#include "rt/Clock.h"

namespace kav {
namespace hw_interface {

/// One member of a bus that exists only in memory. What it sends goes to a
/// sink function (the simulated bus, or a test); what the bus delivers is
/// handed to receive(), which runs the receive callback at once on the
/// calling thread (a timed one with the clock's present time). Like SocketCan, it marks the link offline for
/// good once nothing was received for two seconds of its clock.
class MemoryTransport final : public Transport {
 public:
  /// Takes a frame that was sent; returns false when the bus refused it
  /// (a full transmit queue).
  using Sink = std::function<bool(const CanFrame&)>;

  /// Silence after which the link counts as offline.
  static constexpr std::chrono::seconds kSilenceLimit{2};

  /// @param clock times the silence; it must outlive the transport
  MemoryTransport(const rt::Clock& clock, Sink sink);

  /// Opens (any endpoint name is taken); false when already open.
  bool Init(const char* endpoint) override;
  /// Hands the frame to the sink. False when not open, @p frame is null, or
  /// the sink refused it (then counted, see framesRefused()).
  bool ExchangeData(CanFrame* frame) override;
  bool checkOnline() override;
  void setCallBackFunction(std::function<void(CanFrame*)> callback) override;
  /// The receive time is the clock's time when the bus delivers the frame.
  void setTimedCallBackFunction(TimedCallback callback) override;
  void setGetMsgContentFunction(std::function<void()> callback) override;
  void LoadMutexMsg() override;
  std::uint64_t framesRefused() const override { return refused_; }
  void Close() override;

  /// A frame from the bus: runs the receive callback with it (nothing while
  /// closed).
  void receive(const CanFrame& frame);
  /// Whether Init() opened it and Close() has not closed it since.
  bool isOpen() const { return open_; }
  /// The endpoint name given to the last Init().
  const std::string& endpoint() const { return endpoint_; }

 private:
  const rt::Clock& clock_;
  Sink sink_;
  std::mutex mutex_;  // the receive and publish callbacks never overlap
  std::function<void(CanFrame*)> receive_;
  TimedCallback timed_receive_;  // instead of receive_ when set
  std::function<void()> publish_;
  std::string endpoint_;
  bool open_ = false;
  bool online_ = true;
  rt::Clock::time_point last_received_{};
  std::uint64_t refused_ = 0;
};

}  // namespace hw_interface
}  // namespace kav
