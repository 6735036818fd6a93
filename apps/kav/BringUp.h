#pragma once
// Bringing arms up through the native facade while showing how it goes. The
// facade's constructor blocks for several seconds; meanwhile a passive member
// of each arm's bus decodes the feedback, so the progress shows the time
// spent and which joints are not home yet, and by how much.

#include <interfaces/InterfacesThread.h>

#include <memory>
#include <string>
#include <vector>

#include "StopSignals.h"

namespace kav {
namespace tool {

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
