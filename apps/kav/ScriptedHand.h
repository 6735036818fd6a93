#pragma once
// A hand for a simulated arm: it pushes the joints, through the simulator's
// external torques, along a fixed path, as a person guiding the arm would.

#include <sim/SimulatedArm.h>

#include <array>
#include <atomic>
#include <thread>

namespace kav {
namespace tool {

/// Moves a simulated arm with a spring and damper per joint towards a
/// scripted path that starts where the arm is: out over 4 s (each joint by
/// its own amplitude, smoothly from rest to rest), held for 3 s, back over
/// 4 s, held for 3 s, again and again. The hand holds the arm against what
/// its controller's gravity compensation leaves over.
class ScriptedHand {
 public:
  /// Starts pushing @p arm, which must outlive the hand.
  explicit ScriptedHand(sim::SimulatedArm& arm);
  /// Lets go of the arm.
  ~ScriptedHand();
  ScriptedHand(const ScriptedHand&) = delete;
  ScriptedHand& operator=(const ScriptedHand&) = delete;

  /// The offset of the path from its start at @p seconds since the start.
  static std::array<double, sim::kSimJoints> offsetAt(double seconds);

 private:
  void push();

  sim::SimulatedArm& arm_;
  std::array<double, sim::kSimJoints> start_{};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tool
}  // namespace kav
