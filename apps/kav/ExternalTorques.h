#pragma once
// The external torques of joints 1-6 as the controller estimates them (its
// momentum observer, docs/safety.md), from the feedback a passive member of
// the bus decodes: one observer step per round of the arm's feedback.

#include <array>
#include <memory>

#include "BusDecoder.h"

namespace KDL {
class Chain;
}

namespace kav {
namespace tool {

using JointTorques = std::array<double, config::kArmJoints>;

/// How an external torque compares with the controller's default thresholds.
enum class Collision {
  kNone,
  kContact,  ///< above the lower threshold (config::kContactThreshold)
  kReflex,   ///< above the upper threshold (config::kCollisionThreshold)
};

/// How @p torque (N·m, either sign) on arm joint @p joint (0-5) compares
/// with that joint's default thresholds.
Collision collisionOf(int joint, double torque);
/// "none", "contact" or "reflex".
const char* collisionName(Collision collision);

/// Runs the controller's momentum observer on decoded feedback.
///
/// Each arm joint's feedback refreshes that joint; once all six have been
/// refreshed since the previous round, the round is complete and the
/// observer takes one step over the time between the two rounds' last
/// frames. A longer step than config::kObserverLongestStep (the bus fell
/// silent, a motor missed its replies) starts the observer again, as the
/// controller does after a pause of its cycles. Commands, the gripper and
/// frames of no motor are ignored. One thread at a time.
class ExternalTorques {
 public:
  /// @param chain the arm's chain from "base_link" to "link6", as the
  ///        controller builds it from the robot description
  explicit ExternalTorques(const KDL::Chain& chain);
  ~ExternalTorques();
  ExternalTorques(const ExternalTorques&) = delete;
  ExternalTorques& operator=(const ExternalTorques&) = delete;

  /// Takes one decoded frame.
  /// @return whether it completed a round (the residuals are new)
  bool add(const BusEvent& event);
  /// The residuals after the last complete round, N·m; zero before the
  /// second round after a start.
  const JointTorques& residual() const;

 private:
  struct Rounds;
  std::unique_ptr<Rounds> rounds_;
};

}  // namespace tool
}  // namespace kav
