#include "BusListener.h"

#include <stdexcept>

namespace kav {
namespace tool {

BusListener::BusListener(const std::string& bus, Handler handler) : handler_(std::move(handler)) {
  transport_.setCallBackFunction(
      [this](hw_interface::CanFrame* frame) { decoder_.decode(*frame, Clock::now(), handler_); });
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
