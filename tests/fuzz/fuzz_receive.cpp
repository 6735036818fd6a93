// Fuzzes the receive path: frames with any identifier, length and bytes are
// offered to the seven motor drivers, built as the controller builds them
// from the arm's constants table, and published and read as the control
// thread does. Properties, after every publication:
// - every published position, velocity and current is finite, velocity and
//   current within their field's range, the error code within its field;
// - a single-turn motor reads within its 25 rad range, and a counting motor's
//   turns follow from its accepted readings: the first one counts no turn,
//   and since no reading moves more than 1 rad, two turns the same way are
//   at least 23 accepted readings apart;
// - the drivers never accept or drop more frames than were offered;
// - a command packed from the published values decodes (both directions of
//   the wire, can_motor_dlc/MotorWire.h) to finite values within range,
//   within about one step of the values clamped to their fields.
//
// Input: a sequence of records. A record's first byte selects publication
// and check (0), a turn-counter reset (1, then a byte naming the motor), or
// a frame (any other value):
// then the frame: 4 bytes identifier (least significant first), 1 byte
// length, 8 data bytes and the 3 bytes of padding and reserved fields.
#include <can_motor_dlc/MotorWire.h>
#include <can_motor_dlc/Mtp2Dlc.h>
#include <can_motor_dlc/Mtp4Dlc.h>
#include <config/ArmConfig.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>

#include "fuzz_check.h"

namespace {

using kav::config::kMotorIds;
using kav::config::kMotorProtocols;
using kav::config::kMotors;
using kav::config::MotorProtocol;
using kav::hw_interface::CanFrame;
using kav::hw_interface::MotorDlcBase;
using kav_fuzz::check;

constexpr double kReadingSpan = 25.0;
// Accepted readings between two turns counted the same way (see above).
constexpr std::uint64_t kReadingsPerTurn = 23;

using Drivers = std::array<std::unique_ptr<MotorDlcBase>, kMotors>;

Drivers makeDrivers() {
  Drivers drivers;
  for (int i = 0; i < kMotors; ++i) {
    if (kMotorProtocols[i] == MotorProtocol::kType4) {
      drivers[i] = std::make_unique<kav::hw_interface::MotorType4>(kMotorIds[i]);
    } else {
      drivers[i] = std::make_unique<kav::hw_interface::MotorType2>(kMotorIds[i]);
    }
  }
  return drivers;
}

// One and a half steps of a field of `bits` bits spanning 2 * max (packing
// truncates), plus single-precision rounding.
double tolerance(double max, int bits) { return 1.5 * 2.0 * max / ((1 << bits) - 1) + 1e-5 * max; }

bool near(double decoded, double value, double max, int bits) {
  return std::fabs(decoded - std::clamp(value, -max, max)) <= tolerance(max, bits);
}

void checkPacking(MotorDlcBase& driver, int joint, const kav::hw_interface::HybridJointStatus& status) {
  const MotorProtocol protocol = kMotorProtocols[joint];
  const auto& r = kav::hw_interface::rangesOf(protocol);
  const bool arm_joint = joint < kav::config::kArmJoints;
  const double k_p = arm_joint ? kav::config::kPositionGains.k_p[joint] : kav::config::kGripperVariant2Kp;
  const double k_d = arm_joint ? kav::config::kPositionGains.k_d[joint] : kav::config::kGripperVariant2Kd;
  const CanFrame frame = driver.packMotorMsg(k_p, k_d, status.position, status.velocity, status.current);
  check(frame.can_dlc == 8 && frame.can_id == static_cast<std::uint32_t>(kMotorIds[joint]),
        "a packed command has the wrong identifier or length", joint);
  const auto command = kav::hw_interface::decodeCommand(protocol, frame);
  check(command.has_value() && command->kind == kav::hw_interface::CommandKind::kHybrid,
        "a command packed from published values does not decode as a hybrid command", joint);
  for (double value : {command->k_p, command->k_d, command->position, command->velocity, command->torque}) {
    check(std::isfinite(value), "a packed command decodes to a value that is not finite", joint, value);
  }
  check(near(command->position, status.position, r.position_max, 16),
        "a packed position does not decode to the published one", joint, command->position);
  check(near(command->velocity, status.velocity, r.velocity_max, 12),
        "a packed velocity does not decode to the published one", joint, command->velocity);
  check(near(command->torque, status.current, r.torque_max, 12),
        "a packed torque does not decode to the value packed", joint, command->torque);
  check(std::fabs(command->k_p - k_p) <= tolerance(r.k_p_max, 12), "a packed k_p decodes wrong", joint,
        command->k_p);
}

void publishAndCheck(Drivers& drivers, std::uint64_t frames_offered) {
  for (int joint = 0; joint < kMotors; ++joint) {
    MotorDlcBase& driver = *drivers[joint];
    driver.ExchangeMotorMsg();
    const auto status = driver.GetMotorMsg();
    const MotorProtocol protocol = kMotorProtocols[joint];
    const auto& r = kav::hw_interface::rangesOf(protocol);
    check(std::isfinite(status.position), "published position not finite", joint, status.position);
    check(std::isfinite(status.velocity), "published velocity not finite", joint, status.velocity);
    check(std::isfinite(status.current), "published current not finite", joint, status.current);
    check(std::fabs(status.velocity) <= r.velocity_max, "published velocity out of range", joint,
          status.velocity);
    check(std::fabs(status.current) <= r.current_max, "published current out of range", joint,
          status.current);
    const int code = driver.getErrorCode();
    check(code >= 0 && code <= (protocol == MotorProtocol::kType4 ? 0x1F : 0x0F),
          "error code out of its field", joint, code);

    const std::uint64_t accepted = driver.framesAccepted();
    check(accepted + driver.framesDropped() <= frames_offered, "more frames taken than offered", joint,
          static_cast<double>(accepted));
    const double turns_allowed = protocol == MotorProtocol::kType4 ? 0.0 : 1.0 + accepted / kReadingsPerTurn;
    check(std::fabs(status.position) <= r.position_max + kReadingSpan * turns_allowed,
          "position beyond the turns its accepted readings allow", joint, status.position);

    checkPacking(driver, joint, status);
  }
}

// Reads the input front to back; past its end every byte is 0.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return size_ == 0; }
  std::uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader input(data, size);
  Drivers drivers = makeDrivers();
  std::uint64_t frames_offered = 0;
  while (!input.empty()) {
    const std::uint8_t op = input.byte();
    if (op == 0) {
      publishAndCheck(drivers, frames_offered);
    } else if (op == 1) {
      drivers[input.byte() % kMotors]->resetCircle();
    } else {
      CanFrame frame{};
      for (int shift = 0; shift < 32; shift += 8)
        frame.can_id |= static_cast<std::uint32_t>(input.byte()) << shift;
      frame.can_dlc = input.byte();
      for (auto& byte : frame.data) byte = input.byte();
      frame.__pad = input.byte();
      frame.__res0 = input.byte();
      frame.__res1 = input.byte();
      // As the controller's callback: every driver sees every frame.
      for (auto& driver : drivers) driver->CanAnalyze(&frame);
      ++frames_offered;
    }
  }
  publishAndCheck(drivers, frames_offered);
  return 0;
}
