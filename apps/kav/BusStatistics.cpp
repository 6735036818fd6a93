#include "BusStatistics.h"

#include <algorithm>
#include <cmath>

#include "Console.h"

namespace kav {
namespace tool {

namespace {

const char* kindName(hw_interface::CommandKind kind) {
  switch (kind) {
    case hw_interface::CommandKind::kHybrid:
      return "hybrid";
    case hw_interface::CommandKind::kEnable:
      return "enable";
    case hw_interface::CommandKind::kDisable:
      return "disable";
    case hw_interface::CommandKind::kSetZero:
      return "set-zero";
    case hw_interface::CommandKind::kClearError:
      return "clear-error";
  }
  return "?";
}

}  // namespace

BusStatistics::BusStatistics(std::unique_ptr<ExternalTorques> torques)
    : start_(Clock::now()), previous_(start_), torques_(std::move(torques)) {}

BusStatistics::~BusStatistics() = default;

void BusStatistics::add(const BusEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++frames_;
  if (event.joint < 0) return;
  Motor& motor = motors_[event.joint];
  if (event.kind == BusEvent::Kind::kCommand) {
    motor.command = event.command;
    ++motor.commands;
  } else if (event.kind == BusEvent::Kind::kFeedback) {
    motor.feedback = event.feedback;
    motor.last_reply = event.time;
    ++motor.replies;
  }
  if (torques_ && torques_->add(event)) {
    ++rounds_;
    for (int j = 0; j < config::kArmJoints; ++j) {
      double& peak = motors_[j].external_peak;
      peak = std::max(peak, std::fabs(torques_->residual()[j]));
    }
  }
}

BusView BusStatistics::snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  const double span = std::chrono::duration<double>(now - previous_).count();
  const auto rate = [span](std::uint64_t count, std::uint64_t before) {
    return span > 0.0 ? static_cast<double>(count - before) / span : 0.0;
  };
  BusView view;
  view.elapsed = std::chrono::duration<double>(now - start_).count();
  view.frames = frames_;
  view.frames_per_second = rate(frames_, frames_before_);
  frames_before_ = frames_;
  const bool new_rounds = rounds_ != rounds_before_;
  rounds_before_ = rounds_;
  for (int j = 0; j < config::kMotors; ++j) {
    Motor& motor = motors_[j];
    MotorView& shown = view.motors[j];
    shown.command = motor.command;
    shown.feedback = motor.feedback;
    shown.commands_per_second = rate(motor.commands, motor.commands_before);
    shown.replies_per_second = rate(motor.replies, motor.replies_before);
    if (motor.last_reply) shown.since_reply = std::chrono::duration<double>(now - *motor.last_reply).count();
    motor.commands_before = motor.commands;
    motor.replies_before = motor.replies;
    if (new_rounds && j < config::kArmJoints) {
      shown.external_torque = torques_->residual()[j];
      shown.external_peak = motor.external_peak;
    }
    motor.external_peak = 0.0;
  }
  previous_ = now;
  return view;
}

std::string monitorScreen(const BusView& view, const std::string& bus) {
  std::string screen = format("kav monitor   bus %s   %.0f frames/s   %.1f s   (Ctrl-C stops)\n\n",
                              bus.c_str(), view.frames_per_second, view.elapsed);
  screen +=
      "          last command                                          last feedback"
      "                                 per second     last    external\n"
      "motor        k_p     k_d  position  velocity   torque  kind        position  velocity   current"
      "  error    cmds  replies    reply  torque N·m\n";
  for (int j = 0; j < config::kMotors; ++j) {
    const MotorView& m = view.motors[j];
    std::string row = format("%-8s", jointName(j));
    if (m.command) {
      const hw_interface::MotorCommand& c = *m.command;
      row += format(" %7.2f %7.3f %9.4f %9.4f %8.3f  %-11s", c.k_p, c.k_d, c.position, c.velocity, c.torque,
                    kindName(c.kind));
    } else {
      row += format(" %7s %7s %9s %9s %8s  %-11s", "-", "-", "-", "-", "-", "");
    }
    if (m.feedback) {
      const Feedback& f = *m.feedback;
      row += format(" %9.4f %9.4f %9.3f %6d", f.position, f.velocity, f.current, f.error);
    } else {
      row += format(" %9s %9s %9s %6s", "-", "-", "-", "-");
    }
    row += format("  %6.0f %8.0f", m.commands_per_second, m.replies_per_second);
    row += m.since_reply ? format(" %6.0f ms", *m.since_reply * 1000.0) : format(" %9s", "never");
    if (m.external_torque) {
      row += format("  %10.3f", *m.external_torque);
      const Collision collision = collisionOf(j, m.external_peak);
      if (collision != Collision::kNone) row += format(" %s", collisionName(collision));
    } else if (j < config::kArmJoints) {
      row += format("  %10s", "-");
    }
    screen += row + "\n";
  }
  return screen;
}

std::vector<std::string> monitorLines(const BusView& view) {
  std::vector<std::string> lines;
  for (int j = 0; j < config::kMotors; ++j) {
    const MotorView& m = view.motors[j];
    std::string line = format("t=%.1f %s", view.elapsed, jointName(j));
    if (m.command) {
      const hw_interface::MotorCommand& c = *m.command;
      line += format(" cmd kp=%.2f kd=%.3f pos=%.4f vel=%.4f tor=%.3f kind=%s", c.k_p, c.k_d, c.position,
                     c.velocity, c.torque, kindName(c.kind));
    } else {
      line += " cmd none";
    }
    if (m.feedback) {
      const Feedback& f = *m.feedback;
      line += format(" fb pos=%.4f vel=%.4f cur=%.3f err=%d", f.position, f.velocity, f.current, f.error);
    } else {
      line += " fb none";
    }
    line += format(" cmd/s=%.0f replies/s=%.0f", m.commands_per_second, m.replies_per_second);
    line += m.since_reply ? format(" last_reply_ms=%.0f", *m.since_reply * 1000.0) : " last_reply_ms=never";
    if (m.external_torque) {
      line += format(" ext=%.3f ext_peak=%.3f collision=%s", *m.external_torque, m.external_peak,
                     collisionName(collisionOf(j, m.external_peak)));
    } else if (j < config::kArmJoints) {
      line += " ext=none";
    }
    lines.push_back(line);
  }
  lines.push_back(format("t=%.1f bus frames/s=%.0f frames=%llu", view.elapsed, view.frames_per_second,
                         static_cast<unsigned long long>(view.frames)));
  return lines;
}

}  // namespace tool
}  // namespace kav
