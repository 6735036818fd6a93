#pragma once
// The seven motor drivers on the bus transport, and the schedule of the
// frames a controller sends.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "can_motor_dlc/MotorDlcBase.h"
#include "canbase/Transport.h"
#include "config/ArmConfig.h"
#include "rt/Clock.h"
#include "typedef/HybridJointTypeDef.h"

namespace kav {
namespace t8 {

/// One command per motor, joints 1-6 then the gripper.
using MotorCommands = std::array<hw_interface::HybridJointCmd, config::kMotors>;

/// Frames are sent in rounds: frame k of a round (a control cycle, a
/// start-up round, a damping round) goes out k x 200 us after the round
/// began, on an absolute schedule, so one late wake-up delays that frame
/// only. Every received frame is offered to every driver; publish() has the
/// drivers publish their decoded feedback under the transport's lock.
///
/// The transport is the caller's; the bus neither creates nor closes it.
/// Control thread only, except onFrame() (the transport's receive path) and
/// droppedFrames() (any thread).
class MotorBus {
 public:
  using Drivers = std::vector<std::shared_ptr<hw_interface::MotorDlcBase>>;

  /// Builds the seven drivers (identifiers and protocols of ArmConfig.h),
  /// timed on @p clock.
  MotorBus(hw_interface::Transport& transport, rt::Clock& clock);

  hw_interface::Transport& transport() { return transport_; }
  rt::Clock& clock() { return clock_; }
  const Drivers& drivers() const { return drivers_; }
  hw_interface::MotorDlcBase& driver(int index) { return *drivers_[static_cast<std::size_t>(index)]; }

  /// Registers the receive and publish callbacks with the transport; until
  /// stopListening() frames on the motors' identifiers are only counted
  /// (another host's commands, or its motors' answers).
  void attach();
  /// Detaches from the transport's callbacks.
  void detach();
  /// Ends the listening that attach() began.
  void stopListening() { listening_.store(false); }
  /// Frames on a motor identifier seen while listening.
  int foreignFrames() const { return foreign_frames_.load(); }

  /// Starts a round at @p start.
  void startRound(rt::Clock::time_point start);
  void startRound() { startRound(clock_.now()); }
  /// Sends @p frame at its slot in the present round.
  /// @return when it was handed to the transport
  rt::Clock::time_point send(hw_interface::CanFrame frame);
  /// Sends one command per motor, in order, in the present round.
  void send(const MotorCommands& commands);
  /// When the hybrid command of motor @p index (0-6) that a reply received
  /// at @p received answered was handed to the transport: the last one sent
  /// before that time, of this round or the one before (a reply is sampled
  /// when its command arrives). The epoch when none was.
  rt::Clock::time_point commandSentBefore(int index, rt::Clock::time_point received) const {
    const std::size_t i = static_cast<std::size_t>(index);
    if (command_sent_[i] <= received) return command_sent_[i];
    return command_sent_before_[i] <= received ? command_sent_before_[i] : rt::Clock::time_point{};
  }
  /// Waits for the slot after the round's last frame.
  void endRound();
  /// Waits until one control period after the round began.
  void waitRoundPeriod();
  /// One round of each motor's enable frame; one of each clear-error frame.
  void enableRound();
  void clearErrorRound();
  /// Each motor's enable frame; each clear-error frame: in the present round.
  void sendEnables();
  void sendClearErrors();

  /// Has every driver publish its latest decoded feedback (under the
  /// transport's lock).
  void publish() { transport_.LoadMutexMsg(); }
  /// Offers a received frame to every driver (or counts it while listening).
  void onFrame(hw_interface::CanFrame* frame);
  /// As onFrame(), the frame received at @p received (taken unless it lies
  /// more than a second from this bus's clock: a transport on another clock).
  void onFrame(hw_interface::CanFrame* frame, rt::Clock::time_point received);
  /// The publish callback: every driver's ExchangeMotorMsg().
  void exchangeMotorMessages();
  /// Feedback frames each driver dropped, joints 1-6 and the gripper.
  std::vector<std::uint64_t> droppedFrames() const;

 private:
  hw_interface::Transport& transport_;
  rt::Clock& clock_;
  Drivers drivers_;
  std::atomic<int> foreign_frames_{0};
  std::atomic<bool> listening_{false};
  rt::Clock::time_point round_start_{};
  int frame_slot_ = 0;
  std::array<rt::Clock::time_point, config::kMotors> command_sent_{};
  std::array<rt::Clock::time_point, config::kMotors> command_sent_before_{};  // the one before
};

}  // namespace t8
}  // namespace kav
