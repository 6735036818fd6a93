#include "BringUp.h"

#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>

#include <cmath>
#include <future>
#include <stdexcept>

#include "BusListener.h"
#include "BusStatistics.h"
#include "Console.h"

namespace kav {
namespace tool {

OwnSimulatedArm::OwnSimulatedArm(int type, const sim::ModelError& error)
    : hub_(std::make_unique<sim::BusHub>()) {
  sim::SimulatedArmOptions options;
  options.variant = type;
  options.physics = error.physics;
  options.current_noise = error.current_noise;
  arm_ = std::make_unique<sim::SimulatedArm>(hub_->endpoint(), options);
  endpoint_ = hub_->endpoint();
}

OwnSimulatedArm::~OwnSimulatedArm() = default;

namespace {

// What the passive member saw of one arm during its bring-up.
struct Watch {
  BusStatistics statistics;
  std::unique_ptr<BusListener> listener;
};

std::string progressOf(const ArmSpec& arm, Watch& watch, double elapsed, bool done) {
  std::string line = format("bringing up %s on %s: %4.1f s", arm.label.c_str(), arm.bus.c_str(), elapsed);
  if (done) return line + ", up";
  if (!watch.listener) return line;
  const BusView view = watch.statistics.snapshot();
  std::string away;
  bool heard = false;
  for (int j = 0; j < config::kArmJoints; ++j) {
    if (!view.motors[j].feedback) continue;
    heard = true;
    const double distance = std::fabs(view.motors[j].feedback->position);  // home is 0
    if (distance > config::kHomePositionTolerance) away += format(" %s %.2f rad", jointName(j), distance);
  }
  if (!heard) return line + ", no feedback yet";
  return line + (away.empty() ? ", every joint home" : ", not home:" + away);
}

}  // namespace

std::vector<std::unique_ptr<t8::InterfacesThread>> bringUp(const std::vector<ArmSpec>& arms) {
  std::vector<std::unique_ptr<Watch>> watches;
  std::vector<std::future<std::unique_ptr<t8::InterfacesThread>>> pending;
  for (const ArmSpec& arm : arms) {
    auto watch = std::make_unique<Watch>();
    try {
      Watch* w = watch.get();
      watch->listener =
          std::make_unique<BusListener>(arm.bus, [w](const BusEvent& event) { w->statistics.add(event); });
    } catch (const std::runtime_error&) {
      // No progress from the bus; the facade reports why it cannot open it.
    }
    watches.push_back(std::move(watch));
    pending.push_back(std::async(std::launch::async, [arm] {
      return std::make_unique<t8::InterfacesThread>(arm.description, arm.bus, arm.type);
    }));
  }

  const auto start = Clock::now();
  const auto period = Console::live() ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000);
  for (;;) {
    std::string screen;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::future<std::unique_ptr<t8::InterfacesThread>>* waiting = nullptr;
    for (std::size_t i = 0; i < arms.size(); ++i) {
      const bool done = pending[i].wait_for(std::chrono::seconds(0)) == std::future_status::ready;
      if (!done && waiting == nullptr) waiting = &pending[i];
      screen += progressOf(arms[i], *watches[i], elapsed, done) + "\n";
    }
    Console::show(screen);
    if (waiting == nullptr) break;
    waiting->wait_for(period);
  }
  watches.clear();  // leave the buses before the arms run

  std::vector<std::unique_ptr<t8::InterfacesThread>> up;
  std::string failures;
  for (std::size_t i = 0; i < arms.size(); ++i) {
    try {
      up.push_back(pending[i].get());
    } catch (const std::exception& error) {
      failures += (failures.empty() ? "" : "; ") + arms[i].label + ": " + error.what();
    }
  }
  if (!failures.empty()) throw std::runtime_error("cannot bring the arm up (" + failures + ")");
  return up;
}

}  // namespace tool
}  // namespace kav
