#pragma once
// What a passive member has seen of each motor: the last command and
// feedback, the rates of commands, replies and frames, and the external
// torques estimated from the arm's feedback.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BusDecoder.h"
#include "ExternalTorques.h"

namespace kav {
namespace tool {

/// One motor at the time of a snapshot.
struct MotorView {
  std::optional<hw_interface::MotorCommand> command;  ///< the last one seen
  std::optional<Feedback> feedback;                   ///< the last one seen
  double commands_per_second = 0.0;                   ///< since the previous snapshot
  double replies_per_second = 0.0;
  std::optional<double> since_reply;  ///< seconds since the last feedback
  /// Arm joints, when rounds of the arm's feedback completed since the
  /// previous snapshot: the external torque after the last one, N·m, and the
  /// largest magnitude among them.
  std::optional<double> external_torque;
  double external_peak = 0.0;
};

/// The bus at the time of a snapshot.
struct BusView {
  double elapsed = 0.0;            ///< seconds since the statistics began
  double frames_per_second = 0.0;  ///< every frame, of a motor or not
  std::uint64_t frames = 0;        ///< since the statistics began
  std::array<MotorView, config::kMotors> motors;
};

/// Collects decoded frames (from the receive thread) and hands out views
/// (to the display thread); both may run at once.
class BusStatistics {
 public:
  /// @param torques when given, estimates the external torques from the
  ///        arm's feedback
  explicit BusStatistics(std::unique_ptr<ExternalTorques> torques = nullptr);
  ~BusStatistics();
  /// Counts one decoded frame.
  void add(const BusEvent& event);
  /// The present view; rates cover the time since the previous call.
  BusView snapshot();

 private:
  struct Motor {
    std::optional<hw_interface::MotorCommand> command;
    std::optional<Feedback> feedback;
    std::optional<Clock::time_point> last_reply;
    std::uint64_t commands = 0, replies = 0;
    std::uint64_t commands_before = 0, replies_before = 0;
    double external_peak = 0.0;  // since the previous snapshot
  };
  std::mutex mutex_;
  const Clock::time_point start_;
  Clock::time_point previous_;
  std::uint64_t frames_ = 0, frames_before_ = 0;
  std::unique_ptr<ExternalTorques> torques_;
  std::uint64_t rounds_ = 0, rounds_before_ = 0;
  std::array<Motor, config::kMotors> motors_;
};

/// The monitor's table for a terminal.
std::string monitorScreen(const BusView& view, const std::string& bus);
/// The monitor's plain lines: one per motor and one for the bus.
std::vector<std::string> monitorLines(const BusView& view);

}  // namespace tool
}  // namespace kav
