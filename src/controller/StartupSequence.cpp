#include "controller/StartupSequence.h"

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "controller/ControllerBase.h"
#include "controller/CycleClock.h"

namespace kav {
namespace t8 {

using namespace config;

StartupSequence::StartupSequence(MotorBus& bus, ControlLoop& loop, std::string can_name, int type)
    : bus_(bus), loop_(loop), can_name_(std::move(can_name)), type_(type) {}

void StartupSequence::run() {
  listenForAnotherHost();
  for (int round = 0; round < kClearErrorRounds; ++round) {
    bus_.clearErrorRound();
    bus_.waitRoundPeriod();
  }
  for (int round = 0; round < kEnableRounds; ++round) {
    bus_.enableRound();
    bus_.waitRoundPeriod();
  }
  for (int cycle = 0; cycle < kStartupDampingCycles; ++cycle) {
    loop_.dampOnce();
    loop_.loadFeedback();
    bus_.waitRoundPeriod();
  }
  requireEveryMotorAnswered();
  loop_.setMotorsEnabled();
  loop_.state().store(ControllerBase::GO_HOME);
  home();
  zeroGripper();
  std::cerr << "Init completed" << std::endl;
}

void StartupSequence::listenForAnotherHost() {
  bus_.clock().sleepFor(kListenBeforeSending);
  bus_.stopListening();
  if (bus_.foreignFrames() > 0) {
    throw std::runtime_error("another host is driving the arm on " + can_name_ +
                             " (its commands are on the bus); nothing was sent");
  }
}

void StartupSequence::requireEveryMotorAnswered() {
  std::string silent;
  for (int i = 0; i < kMotors; ++i) {
    if (bus_.driver(i).framesAccepted() == 0) silent += " " + std::to_string(i + 1);
  }
  if (silent.empty()) return;
  bus_.detach();
  throw std::runtime_error("No answer from motor" + std::string(silent.size() > 2 ? "s" : "") + silent +
                           " on \"" + can_name_ + "\" during the start-up damping; nothing more was sent");
}

void StartupSequence::home() {
  rt::Clock& clock = bus_.clock();
  bool home = false;
  const auto start = clock.now();
  loop_.setPoints().resync(loop_.feedback());
  auto cycle_start = start;
  while (!home) {
    bus_.startRound();
    MotorCommands commands;
    loop_.goHome(commands);
    commands[kGripper] = laws::gripperSearch(type_);
    bus_.send(commands);
    bus_.endRound();
    const auto homing_time = clock.now() - start;
    if (homing_time > kHomingMinimum && loop_.goHomeFlag()) home = true;
    loop_.loadFeedback();
    if (!home && homing_time > kHomingLimit) failHoming();
    cycle_start += kCyclePeriod;
    // No catch-up after an overrun: the next cycle starts at once.
    if (cycle_start < clock.now()) cycle_start = clock.now();
    clock.waitUntil(cycle_start, kCycleSpin);
  }
}

void StartupSequence::failHoming() {
  std::vector<int> stuck;
  for (int i = 0; i < kArmJoints; ++i) {
    if (!laws::jointHome(loop_.feedback(), loop_.home(), i)) stuck.push_back(i + 1);
  }
  bus_.detach();
  loop_.holdDamping(kShutdownDampingRounds);
  std::ostringstream message;
  message << "Homing failed on \"" << can_name_ << "\": joint";
  if (stuck.size() != 1) message << "s";
  for (int joint : stuck) message << " " << joint;
  message << (stuck.empty() ? " (none found still moving)" : "")
          << " not home 30 s after homing began; the arm was left in damping";
  throw std::runtime_error(message.str());
}

void StartupSequence::zeroGripper() {
  loop_.home()[kGripper] = loop_.feedback().joints[kGripper].position;
  bus_.startRound();
  if (type_ == 2) bus_.send(bus_.driver(kGripper).packSetZero());
  bus_.send(bus_.driver(kGripper).packMotorMsg(0.0, kGripperSettleKd, 0.0, 0.0, 0.0));
  bus_.endRound();
}

}  // namespace t8
}  // namespace kav
