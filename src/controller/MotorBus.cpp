#include "controller/MotorBus.h"

#include <algorithm>

#include "can_motor_dlc/Mtp2Dlc.h"
#include "can_motor_dlc/Mtp4Dlc.h"
#include "controller/CycleClock.h"

namespace kav {
namespace t8 {

namespace {

bool isMotorId(std::uint32_t id) {
  return std::find(config::kMotorIds.begin(), config::kMotorIds.end(), static_cast<int>(id)) !=
         config::kMotorIds.end();
}

}  // namespace

MotorBus::MotorBus(hw_interface::Transport& transport, rt::Clock& clock)
    : transport_(transport), clock_(clock) {
  for (int i = 0; i < config::kMotors; ++i) {
    if (config::kMotorProtocols[i] == config::MotorProtocol::kType4) {
      drivers_.push_back(std::make_shared<hw_interface::MotorType4>(config::kMotorIds[i], clock_));
    } else {
      drivers_.push_back(std::make_shared<hw_interface::MotorType2>(config::kMotorIds[i], clock_));
    }
  }
}

void MotorBus::attach() {
  transport_.setTimedCallBackFunction(
      [this](hw_interface::CanFrame* frame, rt::Clock::time_point received) { onFrame(frame, received); });
  transport_.setGetMsgContentFunction([this] { exchangeMotorMessages(); });
  listening_.store(true);
}

void MotorBus::detach() {
  transport_.setCallBackFunction(nullptr);
  transport_.setGetMsgContentFunction(nullptr);
}

void MotorBus::startRound(rt::Clock::time_point start) {
  round_start_ = start;
  frame_slot_ = 0;
}

rt::Clock::time_point MotorBus::send(hw_interface::CanFrame frame) {
  // Frame k of the round at its slot on the absolute schedule.
  if (frame_slot_ > 0) clock_.waitUntil(round_start_ + frame_slot_ * config::kFrameSpacing, kFrameSpin);
  ++frame_slot_;
  const rt::Clock::time_point at = clock_.now();
  transport_.ExchangeData(&frame);
  return at;
}

void MotorBus::send(const MotorCommands& commands) {
  for (int i = 0; i < config::kMotors; ++i) {
    const hw_interface::HybridJointCmd& c = commands[static_cast<std::size_t>(i)];
    const std::size_t index = static_cast<std::size_t>(i);
    command_sent_before_[index] = command_sent_[index];
    command_sent_[index] = send(driver(i).packMotorMsg(c.k_p, c.k_d, c.position, c.velocity, c.torque));
  }
}

void MotorBus::endRound() {
  clock_.waitUntil(round_start_ + frame_slot_ * config::kFrameSpacing, kFrameSpin);
}

void MotorBus::waitRoundPeriod() { clock_.waitUntil(round_start_ + config::kCyclePeriod, kCycleSpin); }

void MotorBus::enableRound() {
  startRound();
  sendEnables();
  endRound();
}

void MotorBus::clearErrorRound() {
  startRound();
  sendClearErrors();
  endRound();
}

void MotorBus::sendEnables() {
  for (auto& motor : drivers_) send(motor->packEnableMotor());
}

void MotorBus::sendClearErrors() {
  for (auto& motor : drivers_) send(motor->packClearError());
}

void MotorBus::onFrame(hw_interface::CanFrame* frame) { onFrame(frame, clock_.now()); }

void MotorBus::onFrame(hw_interface::CanFrame* frame, rt::Clock::time_point received) {
  const rt::Clock::time_point now = clock_.now();
  if (received > now + std::chrono::seconds(1) || received < now - std::chrono::seconds(1)) received = now;
  if (listening_.load(std::memory_order_relaxed)) {
    // Before the start-up sends anything, a frame on a motor's identifier
    // is another host's command (or a motor's answer to one).
    if (frame != nullptr && isMotorId(frame->can_id)) foreign_frames_.fetch_add(1);
    return;
  }
  for (auto& motor : drivers_) motor->CanAnalyzeAt(frame, received);
}

void MotorBus::exchangeMotorMessages() {
  for (auto& motor : drivers_) motor->ExchangeMotorMsg();
}

std::vector<std::uint64_t> MotorBus::droppedFrames() const {
  std::vector<std::uint64_t> dropped;
  for (const auto& motor : drivers_) dropped.push_back(motor->framesDropped());
  return dropped;
}

}  // namespace t8
}  // namespace kav
