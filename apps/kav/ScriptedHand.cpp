#include "ScriptedHand.h"

#include <chrono>
#include <cmath>

namespace kav {
namespace tool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kMove = 4.0, kHold = 3.0;  // seconds
constexpr std::array<double, sim::kSimJoints> kAmplitude{0.5, 0.4, 0.3, 0.4, 0.4, 0.5, 0.6};
// Spring (N·m/rad) and damper (N·m·s/rad) of the hand per joint: stiff enough
// to carry the rest of the weight on the proximal joints.
constexpr std::array<double, sim::kSimJoints> kStiffness{60, 60, 60, 10, 10, 5, 2};
constexpr std::array<double, sim::kSimJoints> kDamping{6, 6, 6, 1, 1, 0.5, 0.2};
constexpr auto kPeriod = std::chrono::milliseconds(1);

}  // namespace

std::array<double, sim::kSimJoints> ScriptedHand::offsetAt(double seconds) {
  const double period = 2.0 * (kMove + kHold);
  const double t = std::fmod(std::max(seconds, 0.0), period);
  double share = 0.0;  // of the way out
  if (t < kMove) {
    share = 0.5 * (1.0 - std::cos(M_PI * t / kMove));
  } else if (t < kMove + kHold) {
    share = 1.0;
  } else if (t < 2.0 * kMove + kHold) {
    share = 0.5 * (1.0 + std::cos(M_PI * (t - kMove - kHold) / kMove));
  }
  std::array<double, sim::kSimJoints> offset{};
  for (int j = 0; j < sim::kSimJoints; ++j) offset[j] = kAmplitude[j] * share;
  return offset;
}

ScriptedHand::ScriptedHand(sim::SimulatedArm& arm) : arm_(arm) {
  const auto states = arm_.jointStates();
  for (int j = 0; j < sim::kSimJoints; ++j) start_[j] = states[j].position;
  thread_ = std::thread([this] { push(); });
}

ScriptedHand::~ScriptedHand() {
  stop_.store(true);
  thread_.join();
  for (int j = 0; j < sim::kSimJoints; ++j) arm_.setExternalTorque(j, 0.0);
}

void ScriptedHand::push() {
  const auto start = Clock::now();
  auto next = start;
  while (!stop_.load()) {
    const auto offset = offsetAt(std::chrono::duration<double>(Clock::now() - start).count());
    const auto states = arm_.jointStates();
    for (int j = 0; j < sim::kSimJoints; ++j) {
      const double target = start_[j] + offset[j];
      arm_.setExternalTorque(
          j, kStiffness[j] * (target - states[j].position) - kDamping[j] * states[j].velocity);
    }
    next += kPeriod;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace tool
}  // namespace kav
