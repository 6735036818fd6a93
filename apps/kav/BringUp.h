#pragma once
// Bringing arms up through the native facade while showing how it goes. The
// facade's constructor blocks for several seconds; meanwhile a passive member
// of each arm's bus decodes the feedback, so the progress shows the time
// spent and which joints are not home yet, and by how much.

#include <interfaces/InterfacesThread.h>
#include <sim/ModelError.h>

#include <memory>
#include <string>
#include <vector>

#include "StopSignals.h"

namespace kav {
namespace sim {
class BusHub;
class SimulatedArm;
}  // namespace sim

namespace tool {

/// A simulated arm of variant @p type on a local-socket bus of its own (the
/// programs' --sim), differing from the controller's model by @p error. Keep
/// it until the arm brought up on endpoint() is gone.
class OwnSimulatedArm {
 public:
  explicit OwnSimulatedArm(int type, const sim::ModelError& error = sim::ModelError());
  ~OwnSimulatedArm();
  OwnSimulatedArm(const OwnSimulatedArm&) = delete;
  OwnSimulatedArm& operator=(const OwnSimulatedArm&) = delete;
  /// The bus to bring the arm up on.
  const std::string& endpoint() const { return endpoint_; }

 private:
  std::unique_ptr<sim::BusHub> hub_;
  std::unique_ptr<sim::SimulatedArm> arm_;
  std::string endpoint_;
};

/// One arm to bring up.
struct ArmSpec {
  std::string label;        ///< shown in the progress ("arm", "leader", ...)
  std::string description;  ///< robot description file
  std::string bus;
  int type = 0;  ///< arm variant
};

/// Brings all @p arms up at the same time and returns them in that order.
/// Progress: redrawn in place on a terminal, otherwise one line per arm per
/// second. A stop requested meanwhile is noticed by the caller afterwards
/// (the constructors cannot be interrupted).
/// @throw std::runtime_error with the arm's label when one cannot be brought
///        up (those that came up are stopped again)
std::vector<std::unique_ptr<t8::InterfacesThread>> bringUp(const std::vector<ArmSpec>& arms);

}  // namespace tool
}  // namespace kav
