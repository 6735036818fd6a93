// Fuzzes the native facade's setters on a running arm: one simulated arm and
// one kav::t8::InterfacesThread per process (bringing an arm up takes about
// 3.7 s); each input is a sequence of up to 8 calls with arbitrary doubles
// (NaN, infinities, 1e300, subnormals, huge vectors, odd sizes, matrices that
// are not rotations) and arbitrary states. Properties:
// - input that is certainly bad throws std::invalid_argument, input that is
//   certainly good throws nothing, and anything else throws nothing or
//   std::invalid_argument; once control has ended, every setter throws
//   std::runtime_error instead (or std::invalid_argument for bad input);
// - no control cycle fails on what hosts set (error code 3);
// - every command the simulated motors receive, decoded from the wire, is
//   within its fields without touching their ends (an infinite or huge value
//   would saturate there; a NaN is refused before it could be packed), and
//   the arm's position commands stay within the joint limits (widened by the
//   simulated end stops, where the measured positions that set-points start
//   from may lie);
// - the getters return finite values.
// An arm whose control ended on a fault of the simulated physics (an
// over-current after a hard move, say), or that a starved simulated motor
// took offline, is replaced by a new one.
#include <config/ArmConfig.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <interfaces/InterfacesThread.h>
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_check.h"

namespace {

using Clock = std::chrono::steady_clock;
using kav::config::kArmJoints;
using kav::config::kGripper;
using kav::config::kMotors;
using kav_fuzz::check;
using kav_fuzz::fail;

constexpr int kCallsPerInput = 8;
constexpr auto kWireCheckInterval = std::chrono::milliseconds(100);
// Set-points start from measured positions, which may lie up to the
// simulated end stops (0.1 rad beyond the limits) and a little into them.
constexpr double kPositionSlack = 0.3;
// The simulated motors keep this many received commands each; the wire is
// checked (and the record cleared) every 100 ms, when about 20 have come.
constexpr std::size_t kCommandLog = 5000;

struct Rig {
  kav::sim::BusHub hub;
  kav::sim::SimulatedArm arm{hub.endpoint(), [] {
                               kav::sim::SimulatedArmOptions options;
                               options.log_capacity = kCommandLog;
                               return options;
                             }()};
  kav::t8::InterfacesThread facade{KAV_SOURCE_DIR "/share/urdf/vorlan_v1.1_aa.urdf", hub.endpoint(), 0};
  Clock::time_point last_wire_check = Clock::now();
};

std::unique_ptr<Rig> rig;
int arms_brought_up = 0;

void bringUp() {
  rig.reset();  // the old arm lets go of the bus first
  rig = std::make_unique<Rig>();
  ++arms_brought_up;
}

// ------------------------------------------------------------ inputs

double drawDouble(FuzzedDataProvider& in) {
  static const double kSpecial[] = {std::numeric_limits<double>::quiet_NaN(),
                                    -std::numeric_limits<double>::quiet_NaN(),
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(),
                                    1e300,
                                    -1e300,
                                    std::numeric_limits<double>::max(),
                                    std::numeric_limits<double>::lowest(),
                                    std::numeric_limits<double>::denorm_min(),
                                    -std::numeric_limits<double>::denorm_min(),
                                    std::numeric_limits<double>::min(),
                                    3.5e38,  // beyond single precision
                                    0.0,
                                    -0.0,
                                    1e-310,
                                    12.5,
                                    -12.5,
                                    3.6,
                                    -3.14};
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kSpecial) - 1)];
    case 1:
      return in.ConsumeFloatingPoint<double>();  // any finite value
    case 2:
      return in.ConsumeFloatingPointInRange(-4.0, 4.0);  // about the joints' range
    default: {
      std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();  // any bit pattern
      double value;
      static_assert(sizeof value == sizeof bits);
      std::memcpy(&value, &bits, sizeof value);
      return value;
    }
  }
}

std::vector<double> drawVector(FuzzedDataProvider& in) {
  // Sizes 0-12, long ones and huge ones. The huge ones are 64 kB: the
  // sanitizer's allocator reuses blocks that size, while each larger one is
  // a fresh mapping whose page faults, in every copy the facade makes, took
  // two thirds of the fuzzer's time. Beyond six values the size changes nothing.
  const int kind = in.ConsumeIntegralInRange<int>(0, 15);
  std::size_t size = static_cast<std::size_t>(kind);
  if (kind == 13) size = in.ConsumeBool() ? 100 : 4096;
  if (kind == 14) size = in.ConsumeIntegral<std::uint8_t>() == 0xFF ? std::size_t{1} << 13 : 6;
  if (kind == 15) size = 6;
  const std::size_t drawn = std::min<std::size_t>(size, 8);
  std::vector<double> values(size, 0.0);
  for (std::size_t i = 0; i < drawn; ++i) values[i] = drawDouble(in);
  if (size > drawn) std::fill(values.begin() + drawn, values.end(), drawDouble(in));
  return values;
}

bool sixFinite(const std::vector<double>& values) {
  return values.size() >= static_cast<std::size_t>(kArmJoints) &&
         std::all_of(values.begin(), values.begin() + kArmJoints, [](double v) { return std::isfinite(v); });
}

enum class Expect { kAccepted, kRefused, kEither };

// A pose: a true rotation with a drawn translation, the same scaled or with
// one entry changed, or any 4x4 matrix at all.
Eigen::Isometry3d drawPose(FuzzedDataProvider& in, Expect* expect) {
  Eigen::Vector3d axis(in.ConsumeFloatingPointInRange(-1.0, 1.0), in.ConsumeFloatingPointInRange(-1.0, 1.0),
                       in.ConsumeFloatingPointInRange(-1.0, 1.0));
  if (axis.norm() < 0.1) axis = Eigen::Vector3d::UnitZ();
  const double angle = in.ConsumeFloatingPointInRange(-10.0, 10.0);
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.linear() = Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix();
  for (int i = 0; i < 3; ++i) pose.translation()(i) = drawDouble(in);
  *expect = pose.translation().allFinite() ? Expect::kAccepted : Expect::kRefused;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      break;
    case 1: {
      const double scale = drawDouble(in);
      pose.linear() *= scale;
      if (*expect == Expect::kAccepted && scale != 1.0) {
        // Near 1 the scaled matrix may still pass as a rotation within 1e-6.
        const bool near_one = std::isfinite(scale) && std::fabs(scale - 1.0) <= 1e-3;
        *expect = near_one ? Expect::kEither : Expect::kRefused;
      }
      break;
    }
    case 2: {
      const int row = in.ConsumeIntegralInRange<int>(0, 2);
      const int column = in.ConsumeIntegralInRange<int>(0, 2);
      pose.linear()(row, column) += drawDouble(in);
      *expect = pose.matrix().allFinite() ? Expect::kEither : Expect::kRefused;
      break;
    }
    default:
      for (int i = 0; i < 16; ++i) pose.matrix()(i / 4, i % 4) = drawDouble(in);
      *expect = pose.matrix().allFinite() ? Expect::kEither : Expect::kRefused;
      break;
  }
  return pose;
}

// ------------------------------------------------------------ one call

template <class Call>
void callSetter(const char* name, Expect expect, Call call) {
  const std::string setter = std::string("fuzz_facade: ") + name;
  const bool ended_before = !rig->facade.controlActive();
  try {
    call();
  } catch (const std::invalid_argument& error) {
    if (expect == Expect::kAccepted) fail(setter + " refused good input: " + error.what());
    return;
  } catch (const std::runtime_error& error) {
    if (rig->facade.controlActive()) fail(setter + " threw while control runs: " + error.what());
    return;
  } catch (const std::exception& error) {
    fail(setter + " threw an unexpected exception: " + error.what());
  }
  if (expect == Expect::kRefused) fail(setter + " accepted bad input");
  if (ended_before) fail(setter + " succeeded after control had ended");
}

Expect finiteness(std::initializer_list<double> values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); })
             ? Expect::kAccepted
             : Expect::kRefused;
}

void checkGetters() {
  kav::t8::InterfacesThread& arm = rig->facade;
  for (const auto& status : arm.getJointStatus()) {
    check(std::isfinite(status.position) && std::isfinite(status.velocity) && std::isfinite(status.current),
          "fuzz_facade: a joint status is not finite");
  }
  for (double value : arm.getJointPositons())
    check(std::isfinite(value), "fuzz_facade: a position is not finite");
  check(arm.getEndPose().matrix().allFinite(), "fuzz_facade: the end pose is not finite");
}

void oneCall(FuzzedDataProvider& in) {
  kav::t8::InterfacesThread& arm = rig->facade;
  switch (in.ConsumeIntegralInRange<int>(0, 8)) {
    case 0: {
      const int state = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(0, 5) : in.ConsumeIntegral<int>();
      callSetter("setArmStatus", Expect::kAccepted, [&] { arm.setArmStatus(state); });
      break;
    }
    case 1: {
      std::vector<double> values = drawVector(in);
      const Expect expect = sixFinite(values) ? Expect::kAccepted : Expect::kRefused;
      callSetter("setJointPositions", expect, [&] { arm.setJointPositions(std::move(values)); });
      break;
    }
    case 2: {
      std::vector<double> values = drawVector(in);
      const Expect expect = sixFinite(values) ? Expect::kAccepted : Expect::kRefused;
      callSetter("setHomePositions", expect, [&] { arm.setHomePositions(std::move(values)); });
      break;
    }
    case 3: {
      Expect expect;
      const Eigen::Isometry3d pose = drawPose(in, &expect);
      callSetter("setEndPose", expect, [&] { arm.setEndPose(pose); });
      break;
    }
    case 4: {
      const double position = drawDouble(in);
      callSetter("setCatch", finiteness({position}), [&] { arm.setCatch(position); });
      break;
    }
    case 5: {
      const double torque = drawDouble(in);
      callSetter("setCatchTorque", finiteness({torque}), [&] { arm.setCatchTorque(torque); });
      break;
    }
    case 6: {
      const double a = drawDouble(in), b = drawDouble(in), c = drawDouble(in);
      callSetter("kav_x", finiteness({a, b}), [&] { arm.kav_x(a, b, c); });
      break;
    }
    case 7:
      checkGetters();
      break;
    default:
      arm.getErrorCode();
      arm.getDroppedFrames();
      break;
  }
}

// ------------------------------------------------------------ the wire

bool withinField(double value, double max) { return std::fabs(value) < max * (1.0 - 1e-4); }

void checkWire() {
  for (int joint = 0; joint < kMotors; ++joint) {
    const auto& ranges = kav::sim::rangesOf(kav::sim::SimulatedArm::protocolOf(joint));
    for (const auto& received : rig->arm.receivedCommands(joint)) {
      const auto& command = received.command;
      if (command.kind != kav::sim::CommandKind::kHybrid) continue;
      check(withinField(command.position, ranges.position_max), "fuzz_facade: a position command saturates",
            joint, command.position);
      check(withinField(command.velocity, ranges.velocity_max), "fuzz_facade: a velocity command saturates",
            joint, command.velocity);
      check(withinField(command.torque, ranges.torque_max), "fuzz_facade: a torque command saturates", joint,
            command.torque);
      if (joint < kArmJoints && command.k_p > 0.0) {
        check(command.position >= kav::config::kJointLower[joint] - kPositionSlack &&
                  command.position <= kav::config::kJointUpper[joint] + kPositionSlack,
              "fuzz_facade: a position command beyond the joint's limits", joint, command.position);
      }
      if (joint == kGripper) {
        check(std::fabs(command.torque) <= kav::config::kGripperTorqueLimit + 0.01,
              "fuzz_facade: a gripper torque beyond its limit", joint, command.torque);
      }
    }
  }
  rig->arm.clearReceivedCommands();
}

bool armMotorOffline(int code) { return code > 16 && code < 16 * (kArmJoints + 1) && code % 16 == 15; }

// A new arm replaces one whose control ended, or one held in damping for
// good because a motor fell silent (the simulated motors share the machine
// with the fuzzer and may be starved of time).
void checkControl() {
  const std::vector<int> codes = rig->facade.getErrorCode();
  check(std::find(codes.begin(), codes.end(), 3) == codes.end(),
        "fuzz_facade: a control cycle failed on what the host set (code 3)");
  if (rig->facade.controlActive() && std::none_of(codes.begin(), codes.end(), armMotorOffline)) return;
  std::fprintf(stderr, "fuzz_facade: control ended or a motor went offline (first code %d); new arm %d\n",
               codes.empty() ? 0 : codes.front(), arms_brought_up + 1);
  bringUp();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  bringUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  for (int call = 0; call < kCallsPerInput && in.remaining_bytes() > 0; ++call) oneCall(in);
  if (Clock::now() - rig->last_wire_check >= kWireCheckInterval) {
    checkWire();
    checkControl();
    rig->last_wire_check = Clock::now();
  }
  return 0;
}
