#pragma once
// Fault decisions of the control cycle: which error codes the motors'
// reports and the arm's currents raise, and which fault ends control.

#include <array>
#include <string>
#include <vector>

#include "config/ArmConfig.h"
#include "controller/ControlLaws.h"
#include "controller/ErrorCode.h"
#include "controller/MotorBus.h"

namespace kav {
namespace t8 {

/// Collects the error codes of the cycles since the host last took them,
/// counts over-current, and remembers the first motor fault, which ends
/// control at the next cycle. Control thread only; allocates nothing once
/// constructed.
class FaultMonitor {
 public:
  FaultMonitor();

  /// Queues @p code for the host.
  void record(ErrorCode code);
  /// Queues @p code and, unless one is pending, makes it the fault that
  /// ends control.
  void noteFault(ErrorCode code);
  /// The motor fault that ends (or ended) control; 0 when none.
  int pendingFault() const { return pending_fault_; }
  /// Forgets the pending fault and the over-current counts (recovery).
  void clearFault() {
    pending_fault_ = 0;
    over_current_.fill(0);
  }

  /// Counts, per arm joint, the checks in a row with the current above its
  /// limit. @return false once a joint reached the count that trips
  bool currentWithinLimit(const laws::Feedback& feedback);

  /// Reads every driver's fault reports into codes: a driver error, ten
  /// implausible readings, a wrist motor that went limp by itself (once the
  /// motors were enabled), motors offline. @p offline receives the arm
  /// motors found offline (numbered from 1).
  /// @return whether every arm motor is online
  bool inspect(const MotorBus::Drivers& drivers, bool motors_enabled, std::vector<int>& offline);

  /// The codes queued since the last clear.
  const std::vector<int>& codes() const { return codes_; }
  void clearCodes() { codes_.clear(); }

  /// The message a fault that ends control is reported with.
  static std::string message(ErrorCode code);
  /// The message of fault @p fault reported by motor @p motor.
  static std::string motorFaultMessage(int motor, int fault);

 private:
  std::vector<int> codes_;
  std::array<int, config::kMotors> over_current_{};
  int pending_fault_ = 0;
};

}  // namespace t8
}  // namespace kav
