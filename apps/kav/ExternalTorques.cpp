#include "ExternalTorques.h"

#include <bitset>
#include <cmath>

// The library's own observer, not part of its public headers: this file is
// built with the library's source folder on its include path.
#include "controller/CollisionObserver.h"

namespace kav {
namespace tool {

using config::kArmJoints;

Collision collisionOf(int joint, double torque) {
  const double magnitude = std::fabs(torque);
  if (magnitude > config::kCollisionThreshold[joint]) return Collision::kReflex;
  if (magnitude > config::kContactThreshold[joint]) return Collision::kContact;
  return Collision::kNone;
}

const char* collisionName(Collision collision) {
  switch (collision) {
    case Collision::kContact:
      return "contact";
    case Collision::kReflex:
      return "reflex";
    case Collision::kNone:
      break;
  }
  return "none";
}

struct ExternalTorques::Rounds {
  explicit Rounds(const KDL::Chain& chain) : observer(chain) {}
  t8::MomentumObserver observer;
  t8::laws::Feedback feedback;
  std::bitset<kArmJoints> refreshed;
  std::optional<Clock::time_point> previous;  // the previous round's last frame
};

ExternalTorques::ExternalTorques(const KDL::Chain& chain) : rounds_(std::make_unique<Rounds>(chain)) {}

ExternalTorques::~ExternalTorques() = default;

bool ExternalTorques::add(const BusEvent& event) {
  if (event.kind != BusEvent::Kind::kFeedback || event.joint < 0 || event.joint >= kArmJoints) return false;
  Rounds& r = *rounds_;
  hw_interface::HybridJointStatus& joint = r.feedback.joints[event.joint];
  joint.position = event.feedback.position;
  joint.velocity = event.feedback.velocity;
  joint.current = event.feedback.current;
  r.refreshed.set(event.joint);
  if (!r.refreshed.all()) return false;
  r.refreshed.reset();
  const double dt = r.previous ? std::chrono::duration<double>(event.time - *r.previous).count() : 0.0;
  r.previous = event.time;
  // The same rule as the controller's cycles (ControlLoop::loadFeedback).
  const bool step = dt > 0.0 && dt < config::kObserverLongestStep;
  if (!step) r.observer.reset();
  r.observer.update(r.feedback, step ? dt : 0.0);
  return true;
}

const JointTorques& ExternalTorques::residual() const { return rounds_->observer.residual(); }

}  // namespace tool
}  // namespace kav
