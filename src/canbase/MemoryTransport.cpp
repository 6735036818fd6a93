#include "canbase/MemoryTransport.h"

namespace kav {
namespace hw_interface {

MemoryTransport::MemoryTransport(const rt::Clock& clock, Sink sink) : clock_(clock), sink_(std::move(sink)) {}

bool MemoryTransport::Init(const char* endpoint) {
  if (open_) return false;
  endpoint_ = endpoint != nullptr ? endpoint : "";
  open_ = true;
  online_ = true;
  last_received_ = clock_.now();
  return true;
}

bool MemoryTransport::ExchangeData(CanFrame* frame) {
  if (!open_ || frame == nullptr) return false;
  if (sink_(*frame)) return true;
  ++refused_;
  return false;
}

bool MemoryTransport::checkOnline() {
  if (online_ && open_ && clock_.now() - last_received_ >= kSilenceLimit) online_ = false;
  return online_;
}

void MemoryTransport::setCallBackFunction(std::function<void(CanFrame*)> callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  receive_ = std::move(callback);
  timed_receive_ = nullptr;
}

void MemoryTransport::setTimedCallBackFunction(TimedCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  timed_receive_ = std::move(callback);
  receive_ = nullptr;
}

void MemoryTransport::setGetMsgContentFunction(std::function<void()> callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  publish_ = std::move(callback);
}

void MemoryTransport::LoadMutexMsg() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (publish_) publish_();
}

void MemoryTransport::Close() { open_ = false; }

void MemoryTransport::receive(const CanFrame& frame) {
  if (!open_) return;
  last_received_ = clock_.now();
  CanFrame copy = frame;
  std::lock_guard<std::mutex> lock(mutex_);
  if (timed_receive_) {
    timed_receive_(&copy, last_received_);
  } else if (receive_) {
    receive_(&copy);
  }
}

}  // namespace hw_interface
}  // namespace kav
