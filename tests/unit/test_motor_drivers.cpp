// The fixed-point codec and the two motor protocols, byte for byte.
#include <can_motor_dlc/MotorWire.h>
#include <can_motor_dlc/Mtp2Dlc.h>
#include <can_motor_dlc/Mtp4Dlc.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

using namespace kav::hw_interface;

namespace {

using Bytes = std::array<uint8_t, 8>;

Bytes payload(const CanFrame& frame) {
  Bytes bytes;
  for (int i = 0; i < 8; ++i) bytes[i] = frame.data[i];
  return bytes;
}

void expectCommandHeader(const CanFrame& frame, uint32_t id) {
  EXPECT_EQ(frame.can_id, id);
  EXPECT_EQ(frame.can_dlc, 8);
  EXPECT_EQ(frame.__pad, 0);
  EXPECT_EQ(frame.__res0, 0);
  EXPECT_EQ(frame.__res1, 0);
}

CanFrame frameOf(uint32_t id, Bytes bytes) {
  CanFrame frame{};
  frame.can_id = id;
  frame.can_dlc = 8;
  for (int i = 0; i < 8; ++i) frame.data[i] = bytes[i];
  return frame;
}

// A type 2 feedback frame for motor `id` carrying a raw single-turn position.
CanFrame type2Feedback(int id, int status, uint16_t position) {
  return frameOf(0, {static_cast<uint8_t>((status << 4) | id), static_cast<uint8_t>(position >> 8),
                     static_cast<uint8_t>(position & 0xFF), 0x7F, 0xF7, 0xFF, 0, 0});
}

uint16_t rawPosition(float radians) { return float_to_uint(radians, -12.5f, 12.5f, 16); }

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ExposedBound : MotorType4 {
  ExposedBound() : MotorType4(1) {}
  using MotorDlcBase::restrictBound;
};

}  // namespace

TEST(Codec, RangeEndsMidpointAndRoundTrip) {
  EXPECT_EQ(float_to_uint(0.0f, -12.5f, 12.5f, 16), 32767);
  EXPECT_EQ(uint_to_float(32767, -12.5f, 12.5f, 16), -0.00019073486328125f);  // not 0
  EXPECT_EQ(float_to_uint(12.5f, -12.5f, 12.5f, 16), 0xFFFF);
  EXPECT_EQ(float_to_uint(-12.5f, -12.5f, 12.5f, 16), 0);
  EXPECT_EQ(float_to_uint(50.0f, 0.0f, 50.0f, 12), 0xFFF);
  EXPECT_EQ(uint_to_float(0xFFFF, -12.5f, 12.5f, 16), 12.5f);
  EXPECT_EQ(uint_to_float(0, -12.5f, 12.5f, 16), -12.5f);
  // Out-of-range and non-numbers never reach an undefined conversion.
  EXPECT_EQ(float_to_uint(1e30f, -12.5f, 12.5f, 16), 0xFFFF);
  EXPECT_EQ(float_to_uint(-1e30f, -12.5f, 12.5f, 16), 0);
  EXPECT_EQ(float_to_uint(std::nanf(""), -12.5f, 12.5f, 16), 32767);
}

TEST(Codec, RestrictBound) {
  ExposedBound motor;
  EXPECT_EQ(motor.restrictBound(7, 5, 0), 5);
  EXPECT_EQ(motor.restrictBound(-1, 5, 0), 0);
  EXPECT_EQ(motor.restrictBound(5, 5, 0), 5);
  EXPECT_EQ(motor.restrictBound(0, 5, 0), 0);
  EXPECT_TRUE(std::isnan(motor.restrictBound(kNaN, 5, 0)));
}

TEST(MotorType4Frames, EnableDisableAndHybridCommand) {
  MotorType4 motor(4);
  CanFrame enable = motor.packEnableMotor();
  expectCommandHeader(enable, 4);
  EXPECT_EQ(payload(enable), (Bytes{0x00, 0x01, 0x99, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF}));
  EXPECT_EQ(payload(motor.packDisableMotor()), (Bytes{0x00, 0x01, 0xFF, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF}));

  CanFrame five = motor.packMotorMsg(10, 1, 1, 0, 0.5);
  expectCommandHeader(five, 4);
  EXPECT_EQ(payload(five), (Bytes{0x00, 0xA2, 0x51, 0x8A, 0x3C, 0x7F, 0xF8, 0x21}));
  HybridJointCmd command{1, 0, 0.5, 10, 1};
  EXPECT_EQ(payload(motor.packMotorMsg(&command)), payload(five));
}

TEST(MotorType4Frames, KdCodesBeyondTheNineBitFieldSaturate) {
  MotorType4 motor(1);
  // k_d 6.3 is code 515 and k_d 10 code 819: both go out as 0x1FF.
  for (double k_d : {6.3, 10.0}) {
    CanFrame frame = motor.packMotorMsg(0, k_d, 0, 0, 0);
    EXPECT_EQ(frame.data[1] & 0x01, 0x01) << k_d;
    EXPECT_EQ(frame.data[2], 0xFF) << k_d;
  }
  // 6.2 (code 507) still fits.
  EXPECT_EQ(motor.packMotorMsg(0, 6.2, 0, 0, 0).data[2], 0xFB);
}

TEST(MotorWireFunctions, PackAndUnpackLikeTheDrivers) {
  // The byte vectors the drivers are held to, from the pure functions.
  EXPECT_EQ(payload(packHybridCommand(MotorProtocol::kType4, 4, 10, 1, 1, 0, 0.5)),
            (Bytes{0x00, 0xA2, 0x51, 0x8A, 0x3C, 0x7F, 0xF8, 0x21}));
  EXPECT_EQ(payload(packHybridCommand(MotorProtocol::kType4, 4, 0, 100, 0, 0, 0)),
            (Bytes{0x00, 0x01, 0xFF, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF}));
  MotorType2 type2(6);
  EXPECT_EQ(payload(packHybridCommand(MotorProtocol::kType2, 6, 25, 0.8, -3.4, 0.5, 1.2)),
            payload(type2.packMotorMsg(25, 0.8, -3.4, 0.5, 1.2)));
  EXPECT_EQ(payload(packType2Special(6, CommandKind::kClearError)),
            (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}));
  EXPECT_EQ(packType2Special(6, CommandKind::kHybrid).can_dlc, 0);

  // Feedback: only the addressed motor's frames of length 8.
  const CanFrame feedback = type2Feedback(6, 1, rawPosition(1.0f));
  const auto reading = unpackFeedback(MotorProtocol::kType2, 6, feedback);
  ASSERT_TRUE(reading.has_value());
  EXPECT_EQ(reading->code, 1);
  EXPECT_EQ(reading->position, static_cast<double>(uint_to_float(rawPosition(1.0f), -12.5f, 12.5f, 16)));
  EXPECT_FALSE(unpackFeedback(MotorProtocol::kType2, 5, feedback).has_value());
  EXPECT_FALSE(unpackFeedback(MotorProtocol::kType4, 6, feedback).has_value());
  CanFrame short_frame = feedback;
  short_frame.can_dlc = 6;
  EXPECT_FALSE(unpackFeedback(MotorProtocol::kType2, 6, short_frame).has_value());
  const auto type4 =
      unpackFeedback(MotorProtocol::kType4, 2, frameOf(2, {0x05, 0x80, 0x00, 0x7F, 0xF7, 0xFF, 110, 0}));
  ASSERT_TRUE(type4.has_value());
  EXPECT_EQ(type4->code, 5);
  EXPECT_EQ(type4->temperature, 30);
}

TEST(MotorType4Frames, ClampsAndNonNumbers) {
  MotorType4 motor(1);
  // k_d above 50 is sent as the all-ones 9-bit field; position 20 as 12.5.
  CanFrame clamped = motor.packMotorMsg(600, 80, 20, -40, 99);
  EXPECT_EQ(clamped.data[0], 0x1F);
  EXPECT_EQ(clamped.data[1], 0xFF);
  EXPECT_EQ(clamped.data[2], 0xFF);
  EXPECT_EQ(clamped.data[3], 0xFF);
  EXPECT_EQ(clamped.data[4], 0xFF);
  EXPECT_EQ(clamped.data[5], 0x00);
  EXPECT_EQ(clamped.data[6], 0x0F);
  EXPECT_EQ(clamped.data[7], 0xFF);
  // A value that is not a number is sent as 0.0 would be.
  EXPECT_EQ(payload(motor.packMotorMsg(0, 5, kNaN, kNaN, kNaN)), payload(motor.packEnableMotor()));
  EXPECT_EQ(payload(motor.packMotorMsg(nullptr)), Bytes{});
  // No set-zero or clear-error command: the empty frame.
  CanFrame empty = motor.packClearError();
  EXPECT_EQ(empty.can_id, 0u);
  EXPECT_EQ(empty.can_dlc, 0);
  EXPECT_EQ(payload(empty), Bytes{});
  EXPECT_EQ(payload(motor.packSetZero()), Bytes{});
}

TEST(MotorType4Feedback, DecodingAndTwoStagePublication) {
  MotorType4 motor(2);
  HybridJointStatus before = motor.GetMotorMsg();
  EXPECT_EQ(before.position, 0.0);
  EXPECT_EQ(before.current, 0.0);

  CanFrame frame = frameOf(2, {0xE3, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 49, 0});
  motor.CanAnalyze(&frame);
  // Nothing is visible until the exchange.
  EXPECT_EQ(motor.GetMotorMsg().position, 0.0);
  EXPECT_EQ(motor.getErrorCode(), 0);
  motor.ExchangeMotorMsg();
  HybridJointStatus status = motor.GetMotorMsg();
  EXPECT_NEAR(status.position, -0.000190735, 1e-9);
  EXPECT_NEAR(status.velocity, -0.0043964, 1e-7);
  EXPECT_NEAR(status.current, -0.0073261, 1e-7);
  EXPECT_EQ(status.torque, 0.0);
  EXPECT_EQ(motor.getErrorCode(), 3);  // bits 4..0 of 0xE3

  // The ends of the ranges (a first reading is taken as it is).
  MotorType4 fresh(2);
  CanFrame ends = frameOf(2, {0, 0xFF, 0xFF, 0, 0, 0, 0, 0});
  fresh.CanAnalyze(&ends);
  fresh.ExchangeMotorMsg();
  EXPECT_EQ(fresh.GetMotorMsg().position, 12.5);
  EXPECT_EQ(fresh.GetMotorMsg().velocity, -18.0);
  EXPECT_EQ(fresh.GetMotorMsg().current, -30.0);
  EXPECT_EQ(fresh.getErrorCode(), 0);
}

TEST(MotorType4Feedback, IgnoresOtherIdentifiers) {
  MotorType4 motor(2);
  for (uint32_t id : {0u, 1u, 4u, 0x102u, 0xFFFFFFFFu}) {
    CanFrame frame = frameOf(id, {0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    motor.CanAnalyze(&frame);
  }
  motor.CanAnalyze(nullptr);
  motor.ExchangeMotorMsg();
  EXPECT_EQ(motor.GetMotorMsg().position, 0.0);
  EXPECT_EQ(motor.getErrorCode(), 0);
}

TEST(MotorType4Presence, OfflineBeforeFirstExchangeAndAfterSilence) {
  MotorType4 never(1);
  EXPECT_FALSE(never.online());  // compares against the clock's epoch

  MotorType4 motor(1);
  CanFrame frame = frameOf(1, {0, 0x80, 0, 0x80, 0, 0, 50, 0});
  motor.CanAnalyze(&frame);
  motor.ExchangeMotorMsg();
  EXPECT_TRUE(motor.online());
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(motor.online());
  // Feedback resuming does not bring it back.
  motor.CanAnalyze(&frame);
  motor.ExchangeMotorMsg();
  EXPECT_FALSE(motor.online());
}

TEST(MotorType2Frames, HybridCommandAndSpecialFrames) {
  MotorType2 motor(6);
  CanFrame zero = motor.packMotorMsg(0, 0, 0, 0, 0);
  expectCommandHeader(zero, 6);
  EXPECT_EQ(payload(zero), (Bytes{0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}));
  CanFrame example = motor.packMotorMsg(10, 1, 1, 0, 0.5);
  EXPECT_EQ(payload(example), (Bytes{0x8A, 0x3C, 0x7F, 0xF0, 0x51, 0x33, 0x38, 0x65}));
  HybridJointCmd command{1, 0, 0.5, 10, 1};
  EXPECT_EQ(payload(motor.packMotorMsg(&command)), payload(example));

  const std::array<std::pair<CanFrame, uint8_t>, 4> specials{{{motor.packEnableMotor(), 0xFC},
                                                              {motor.packDisableMotor(), 0xFD},
                                                              {motor.packSetZero(), 0xFE},
                                                              {motor.packClearError(), 0xFB}}};
  for (const auto& [frame, last] : specials) {
    expectCommandHeader(frame, 6);
    EXPECT_EQ(payload(frame), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, last}));
  }
  // Commands are single-turn: a target beyond the range is sent as the bound.
  CanFrame far = motor.packMotorMsg(0, 0, 30, 0, 0);
  EXPECT_EQ(far.data[0], 0xFF);
  EXPECT_EQ(far.data[1], 0xFF);
  EXPECT_EQ(payload(motor.packMotorMsg(0, 0, kNaN, kNaN, kNaN)), payload(zero));
}

TEST(MotorType2Feedback, AcceptsOnlyItsOwnFramesOnIdentifierZero) {
  MotorType2 motor(5);
  motor.ExchangeMotorMsg();
  EXPECT_EQ(motor.getErrorCode(), 1);  // healthy before any feedback

  CanFrame other_motor = type2Feedback(6, 3, rawPosition(2.0f));
  CanFrame own_id = frameOf(5, {0x35, 0x90, 0, 0x7F, 0xF7, 0xFF, 0, 0});
  motor.CanAnalyze(&other_motor);
  motor.CanAnalyze(&own_id);
  motor.ExchangeMotorMsg();
  EXPECT_EQ(motor.getErrorCode(), 1);
  EXPECT_EQ(motor.GetMotorMsg().position, 0.0);

  CanFrame mine = type2Feedback(5, 1, rawPosition(2.0f));
  motor.CanAnalyze(&mine);
  motor.ExchangeMotorMsg();
  EXPECT_EQ(motor.getErrorCode(), 1);
  EXPECT_NEAR(motor.GetMotorMsg().position, 2.0, 4e-4);
  EXPECT_NEAR(motor.GetMotorMsg().velocity, 0.0, 0.03);
  EXPECT_NEAR(motor.GetMotorMsg().current, 0.0, 0.01);

  CanFrame fault = type2Feedback(5, 0xC, rawPosition(2.0f));
  motor.CanAnalyze(&fault);
  motor.ExchangeMotorMsg();
  EXPECT_EQ(motor.getErrorCode(), 0xC);
}

TEST(MotorType2Feedback, CountsTurnsAcrossTheRangeEnds) {
  auto positionsAfter = [](std::initializer_list<float> readings) {
    MotorType2 motor(7);
    std::vector<double> published;
    for (float reading : readings) {
      CanFrame frame = type2Feedback(7, 1, rawPosition(reading));
      motor.CanAnalyze(&frame);
      motor.ExchangeMotorMsg();
      published.push_back(motor.GetMotorMsg().position);
    }
    return published;
  };
  auto up = positionsAfter({12.4f, -12.4f});
  EXPECT_NEAR(up[0], 12.4, 1e-3);
  EXPECT_NEAR(up[1], 12.6, 1e-3);
  auto down = positionsAfter({-12.4f, 12.4f});
  EXPECT_NEAR(down[0], -12.4, 1e-3);
  EXPECT_NEAR(down[1], -12.6, 1e-3);
  // Two turns the same way accumulate (the joint moving in plausible steps).
  std::vector<float> walk{12.4f, -12.4f};
  for (int k = 1; k <= 30; ++k) walk.push_back(-12.4f + 0.8f * static_cast<float>(k));  // up to 11.6
  walk.insert(walk.end(), {12.4f, -12.4f});
  MotorType2 walker(7);
  for (float reading : walk) {
    CanFrame frame = type2Feedback(7, 1, rawPosition(reading));
    walker.CanAnalyze(&frame);
  }
  walker.ExchangeMotorMsg();
  EXPECT_NEAR(walker.GetMotorMsg().position, 37.6, 1e-3);
  EXPECT_EQ(walker.framesDropped(), 0u);
}

TEST(MotorFeedbackPlausibility, ImplausibleReadingsAndShortFramesAreDroppedAndCounted) {
  // 0.3, then a stray -12.5, then -0.02: the stray reading is dropped and no
  // turn is counted (it used to shift the joint by 25 rad).
  MotorType2 motor(5);
  for (float reading : {0.3f, -12.5f, -0.02f}) {
    CanFrame frame = type2Feedback(5, 1, rawPosition(reading));
    motor.CanAnalyze(&frame);
  }
  motor.ExchangeMotorMsg();
  EXPECT_NEAR(motor.GetMotorMsg().position, -0.02, 1e-3);
  EXPECT_EQ(motor.framesAccepted(), 2u);
  EXPECT_EQ(motor.framesDropped(), 1u);
  EXPECT_FALSE(motor.implausibleFault());

  // Frames of another length are dropped and counted, never decoded.
  CanFrame short_frame = type2Feedback(5, 1, rawPosition(0.0f));
  short_frame.can_dlc = 6;
  motor.CanAnalyze(&short_frame);
  EXPECT_EQ(motor.framesDropped(), 2u);

  // Ten implausible readings in a row are a fault of the motor; fewer are not.
  MotorType4 base(1);
  CanFrame near = frameOf(1, {0, 0x80, 0x00, 0x7F, 0xF7, 0xFF, 110, 0});
  CanFrame far = frameOf(1, {0, 0x00, 0x00, 0x7F, 0xF7, 0xFF, 110, 0});  // -12.5
  base.CanAnalyze(&near);
  for (int i = 0; i < 9; ++i) base.CanAnalyze(&far);
  EXPECT_FALSE(base.implausibleFault());
  base.CanAnalyze(&near);  // a plausible reading ends the run
  for (int i = 0; i < 9; ++i) base.CanAnalyze(&far);
  EXPECT_FALSE(base.implausibleFault());
  base.CanAnalyze(&far);
  EXPECT_TRUE(base.implausibleFault());
  EXPECT_EQ(base.framesDropped(), 19u);
  base.ExchangeMotorMsg();
  EXPECT_NEAR(base.GetMotorMsg().position, 0.0, 1e-3) << "only plausible readings are published";
}

TEST(MotorType2Presence, SilenceLimitsAndEnableRestartsTheClock) {
  MotorType2 wrist(5);
  MotorType2 low_id(3);
  wrist.packEnableMotor();
  low_id.packEnableMotor();
  wrist.ExchangeMotorMsg();
  low_id.ExchangeMotorMsg();
  EXPECT_TRUE(wrist.online());
  EXPECT_TRUE(low_id.online());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(wrist.online());    // 800 ms limit
  EXPECT_FALSE(low_id.online());  // 200 ms limit for identifiers up to 4
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  EXPECT_TRUE(wrist.online());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(wrist.online());
  wrist.packEnableMotor();
  wrist.ExchangeMotorMsg();
  EXPECT_FALSE(wrist.online());  // offline for good
}
