#include "BusListener.h"

#include <stdexcept>

namespace kav {
namespace tool {

BusListener::BusListener(const std::string& bus, Handler handler, FrameHandler frames)
    : handler_(std::move(handler)), frames_(std::move(frames)) {
  transport_.setCallBackFunction([this](hw_interface::CanFrame* frame) {
    const Clock::time_point now = Clock::now();
    if (frames_) frames_({*frame, now});
    decoder_.decode(*frame, now, handler_);
  });
  if (!transport_.Init(bus.c_str())) {
    transport_.setCallBackFunction(nullptr);
    throw std::runtime_error("cannot join the bus " + bus);
  }
}

BusListener::~BusListener() {
  transport_.setCallBackFunction(nullptr);
  transport_.Close();
}

}  // namespace tool
}  // namespace kav
