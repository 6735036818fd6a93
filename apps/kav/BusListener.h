#pragma once
// A passive member of the arm's bus: joins it, sends nothing, and hands every
// frame it sees, decoded, to a handler.

#include <canbase/SocketCan.h>

#include <functional>
#include <string>

#include "BusDecoder.h"

namespace kav {
namespace tool {

/// Listens to one bus through the library's transport (a SocketCAN
/// interface or a local-socket bus) until destroyed. The transport rejoins a
/// bus that was silent for two seconds by itself.
class BusListener {
 public:
  using Handler = std::function<void(const BusEvent&)>;
  using FrameHandler = std::function<void(const SeenFrame&)>;

  /// Joins @p bus and starts calling @p handler, on the transport's receive
  /// thread, once per frame, in the order the frames arrive; @p frames, when
  /// given, gets every frame as it arrived, before it is decoded.
  /// @throw std::runtime_error when the bus cannot be joined
  BusListener(const std::string& bus, Handler handler, FrameHandler frames = nullptr);
  /// Stops the handler calls and leaves the bus.
  ~BusListener();
  BusListener(const BusListener&) = delete;
  BusListener& operator=(const BusListener&) = delete;

 private:
  BusDecoder decoder_;  // used on the receive thread only
  Handler handler_;
  FrameHandler frames_;
  hw_interface::SocketCan transport_;
};

}  // namespace tool
}  // namespace kav
