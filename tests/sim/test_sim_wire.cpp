// The motors' side of both wire protocols against the real drivers: commands
// packed by a driver decode to what was sent, feedback encoded by the
// simulator decodes through a driver to the true values.
#include <can_motor_dlc/Mtp2Dlc.h>
#include <can_motor_dlc/Mtp4Dlc.h>
#include <gtest/gtest.h>
#include <sim/MotorWire.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

using kav::hw_interface::CanFrame;
using kav::hw_interface::MotorDlcBase;
using kav::hw_interface::MotorType2;
using kav::hw_interface::MotorType4;
using kav::sim::CommandKind;
using kav::sim::decodeCommand;
using kav::sim::encodeFeedback;
using kav::sim::MotorCommand;
using kav::sim::MotorFeedback;
using kav::sim::MotorProtocol;
using kav::sim::rangesOf;

double step(double low, double high, int bits) { return (high - low) / ((1 << bits) - 1); }

double clamp(double x, double low, double high) { return std::min(std::max(x, low), high); }

MotorCommand decoded(MotorProtocol protocol, const CanFrame& frame) {
  auto command = decodeCommand(protocol, frame);
  EXPECT_TRUE(command.has_value());
  return command.value_or(MotorCommand());
}

struct Sent {
  double k_p, k_d, position, velocity, torque;
};

// Values across and beyond every field's range, each field different so that
// a swapped or shifted field shows.
const Sent kSent[] = {
    {0.0, 0.0, 0.0, 0.0, 0.0},       {10.0, 1.0, 1.0, 0.0, 0.5},      {150.0, 4.0, -2.5, 1.7, -3.3},
    {499.9, 4.99, 12.49, 17.9, 9.9}, {600.0, 60.0, 20.0, 50.0, 40.0}, {-1.0, -1.0, -20.0, -50.0, -40.0},
    {2.0, 0.1, -3.4, -4.2, 0.0},     {25.0, 0.8, 0.123, -0.5, 1.234},
};

TEST(MotorWireCommands, Type4CommandsDecodeToTheClampedValuesWithinOneStep) {
  MotorType4 driver(2);
  const auto& r = rangesOf(MotorProtocol::kType4);
  for (const Sent& s : kSent) {
    SCOPED_TRACE(s.position);
    const MotorCommand c =
        decoded(MotorProtocol::kType4, driver.packMotorMsg(s.k_p, s.k_d, s.position, s.velocity, s.torque));
    EXPECT_EQ(c.kind, CommandKind::kHybrid);
    EXPECT_NEAR(c.k_p, clamp(s.k_p, 0, r.k_p_max), step(0, r.k_p_max, 12));
    // The 9-bit field carries k_d up to code 511; larger gains saturate there.
    const double kd_max_sent = 511.0 * r.k_d_max / 4095.0;
    EXPECT_NEAR(c.k_d, clamp(s.k_d, 0, kd_max_sent), step(0, r.k_d_max, 12));
    EXPECT_NEAR(c.position, clamp(s.position, -12.5, 12.5), step(-12.5, 12.5, 16));
    EXPECT_NEAR(c.velocity, clamp(s.velocity, -18, 18), step(-18, 18, 12));
    EXPECT_NEAR(c.torque, clamp(s.torque, -30, 30), step(-30, 30, 12));
  }
}

TEST(MotorWireCommands, Type2CommandsDecodeToTheClampedValuesWithinOneStep) {
  MotorType2 driver(6);
  for (const Sent& s : kSent) {
    SCOPED_TRACE(s.position);
    const MotorCommand c =
        decoded(MotorProtocol::kType2, driver.packMotorMsg(s.k_p, s.k_d, s.position, s.velocity, s.torque));
    EXPECT_EQ(c.kind, CommandKind::kHybrid);
    EXPECT_NEAR(c.k_p, clamp(s.k_p, 0, 500), step(0, 500, 12));
    EXPECT_NEAR(c.k_d, clamp(s.k_d, 0, 5), step(0, 5, 12));
    EXPECT_NEAR(c.position, clamp(s.position, -12.5, 12.5), step(-12.5, 12.5, 16));
    EXPECT_NEAR(c.velocity, clamp(s.velocity, -45, 45), step(-45, 45, 12));
    EXPECT_NEAR(c.torque, clamp(s.torque, -10, 10), step(-10, 10, 12));
  }
}

TEST(MotorWireCommands, Type4DampingGainsAboveTheNineBitFieldSaturate) {
  MotorType4 driver(1);
  const double largest = static_cast<double>(511.0f * 50.0f / 4095.0f);  // about 6.24
  // The enable command's k_d of 5 is code 409 and arrives as such.
  EXPECT_DOUBLE_EQ(decoded(MotorProtocol::kType4, driver.packEnableMotor()).k_d,
                   static_cast<double>(409.0f * 50.0f / 4095.0f));
  // Codes beyond 511 (disable: k_d 50, code 4095; 6.3; 10) arrive as 511,
  // never wrapped to a small gain (6.3 would arrive as 0.037, 10 as 3.75).
  EXPECT_DOUBLE_EQ(decoded(MotorProtocol::kType4, driver.packDisableMotor()).k_d, largest);
  for (double k_d : {6.3, 10.0, 49.0}) {
    EXPECT_DOUBLE_EQ(decoded(MotorProtocol::kType4, driver.packMotorMsg(0, k_d, 0, 0, 0)).k_d, largest)
        << k_d;
  }
}

TEST(MotorWireCommands, Type2SpecialFramesAreRecognised) {
  MotorType2 driver(7);
  EXPECT_EQ(decoded(MotorProtocol::kType2, driver.packEnableMotor()).kind, CommandKind::kEnable);
  EXPECT_EQ(decoded(MotorProtocol::kType2, driver.packDisableMotor()).kind, CommandKind::kDisable);
  EXPECT_EQ(decoded(MotorProtocol::kType2, driver.packSetZero()).kind, CommandKind::kSetZero);
  EXPECT_EQ(decoded(MotorProtocol::kType2, driver.packClearError()).kind, CommandKind::kClearError);
  // Seven 0xFF bytes with another last byte are an ordinary command.
  CanFrame frame = driver.packEnableMotor();
  frame.data[7] = 0xFA;
  EXPECT_EQ(decoded(MotorProtocol::kType2, frame).kind, CommandKind::kHybrid);
  // Type 4 has no special frames: the same bytes are a hybrid command.
  EXPECT_EQ(decoded(MotorProtocol::kType4, driver.packEnableMotor()).kind, CommandKind::kHybrid);
}

TEST(MotorWireCommands, FramesOfAnotherLengthAreNoCommands) {
  MotorType4 driver(1);
  CanFrame frame = driver.packMotorMsg(10, 1, 1, 0, 0.5);
  for (uint8_t length : {0, 7, 9}) {
    frame.can_dlc = length;
    EXPECT_FALSE(decodeCommand(MotorProtocol::kType4, frame).has_value());
    EXPECT_FALSE(decodeCommand(MotorProtocol::kType2, frame).has_value());
  }
  // The base class's empty clear-error frame of a type 4 motor.
  EXPECT_FALSE(decodeCommand(MotorProtocol::kType4, driver.packClearError()).has_value());
}

// ------------------------------------------------------------------ feedback

kav::hw_interface::HybridJointStatus through(MotorDlcBase& driver, CanFrame frame) {
  driver.CanAnalyze(&frame);
  driver.ExchangeMotorMsg();
  return driver.GetMotorMsg();
}

const MotorFeedback kFeedback[] = {
    {0, 0.0, 0.0, 0.0, 30},      {0, 1.2345, -0.678, 2.5, 30},     {0, -12.49, 17.9, -9.99, 30},
    {0, 12.49, -17.9, 9.99, 30}, {0, 0.00019, 0.0044, 0.0073, 30},
};

TEST(MotorWireFeedback, Type4FeedbackDecodesThroughTheDriverWithinHalfAStep) {
  for (const MotorFeedback& f : kFeedback) {
    SCOPED_TRACE(f.position);
    MotorType4 driver(4);
    const CanFrame frame = encodeFeedback(MotorProtocol::kType4, 4, f);
    EXPECT_EQ(frame.can_id, 4u);
    EXPECT_EQ(frame.can_dlc, 8);
    const auto status = through(driver, frame);
    EXPECT_NEAR(status.position, f.position, step(-12.5, 12.5, 16) / 2 + 1e-5);
    EXPECT_NEAR(status.velocity, f.velocity, step(-18, 18, 12) / 2 + 1e-5);
    EXPECT_NEAR(status.current, f.current, step(-30, 30, 12) / 2 + 1e-5);
    EXPECT_EQ(driver.getErrorCode(), 0);
    EXPECT_EQ(frame.data[6], 2 * 30 + 50);  // the driver's temperature scale reads 30
  }
}

TEST(MotorWireFeedback, Type2FeedbackDecodesThroughTheDriverWithinHalfAStep) {
  for (const MotorFeedback& f : kFeedback) {
    SCOPED_TRACE(f.position);
    MotorType2 driver(8);
    MotorFeedback g = f;
    g.code = 1;
    const CanFrame frame = encodeFeedback(MotorProtocol::kType2, 8, g);
    EXPECT_EQ(frame.can_id, 0u);
    EXPECT_EQ(frame.data[0], 0x18);
    const auto status = through(driver, frame);
    EXPECT_NEAR(status.position, f.position, step(-12.5, 12.5, 16) / 2 + 1e-5);
    EXPECT_NEAR(status.velocity, f.velocity, step(-45, 45, 12) / 2 + 1e-5);
    EXPECT_NEAR(status.current, f.current, step(-10, 10, 12) / 2 + 1e-5);
    EXPECT_EQ(driver.getErrorCode(), 1);
  }
}

TEST(MotorWireFeedback, ValuesBeyondAFieldSaturateAtItsEnds) {
  MotorType4 driver(1);
  const auto status = through(driver, encodeFeedback(MotorProtocol::kType4, 1, {0, 0.0, 99.0, -99.0, 30}));
  EXPECT_DOUBLE_EQ(status.velocity, 18.0);
  EXPECT_DOUBLE_EQ(status.current, -30.0);
}

TEST(MotorWireFeedback, ErrorCodesReachTheDriversAndOnlyTheAddressedOne) {
  MotorType4 type4(2), other4(1);
  CanFrame frame = encodeFeedback(MotorProtocol::kType4, 2, {31, 0.5, 0, 0, 30});
  through(type4, frame);
  through(other4, frame);
  EXPECT_EQ(type4.getErrorCode(), 31);
  EXPECT_EQ(other4.getErrorCode(), 0);
  EXPECT_DOUBLE_EQ(other4.GetMotorMsg().position, 0.0);

  MotorType2 type2(5), other2(6);
  frame = encodeFeedback(MotorProtocol::kType2, 5, {9, 0.5, 0, 0, 30});
  through(type2, frame);
  through(other2, frame);
  EXPECT_EQ(type2.getErrorCode(), 9);
  EXPECT_EQ(other2.getErrorCode(), 1);  // its value before any feedback
}

TEST(MotorWireFeedback, UnencodableFeedbackIsRefused) {
  using MP = MotorProtocol;
  EXPECT_THROW(encodeFeedback(MP::kType4, 0, {}), std::invalid_argument);
  EXPECT_THROW(encodeFeedback(MP::kType4, 0x800, {}), std::invalid_argument);
  EXPECT_THROW(encodeFeedback(MP::kType2, 16, {}), std::invalid_argument);
  EXPECT_THROW(encodeFeedback(MP::kType2, -1, {}), std::invalid_argument);
  EXPECT_THROW(encodeFeedback(MP::kType4, 1, {32, 0, 0, 0, 30}), std::invalid_argument);
  EXPECT_THROW(encodeFeedback(MP::kType2, 5, {16, 0, 0, 0, 30}), std::invalid_argument);
  EXPECT_THROW(encodeFeedback(MP::kType2, 5, {-1, 0, 0, 0, 30}), std::invalid_argument);
  EXPECT_THROW(encodeFeedback(MP::kType2, 5, {1, std::nan(""), 0, 0, 30}), std::invalid_argument);
  EXPECT_THROW(encodeFeedback(MP::kType4, 1, {0, 0, 0, std::nan(""), 30}), std::invalid_argument);
}

TEST(MotorWireFeedback, SingleTurnReadingsWrapAndTheType2DriverCountsTheTurn) {
  EXPECT_DOUBLE_EQ(kav::sim::singleTurnReading(1.0), 1.0);
  EXPECT_NEAR(kav::sim::singleTurnReading(12.6), -12.4, 1e-12);
  EXPECT_NEAR(kav::sim::singleTurnReading(-12.6), 12.4, 1e-12);
  EXPECT_NEAR(kav::sim::singleTurnReading(60.0), 10.0, 1e-12);
  EXPECT_DOUBLE_EQ(kav::sim::singleTurnReading(12.5), -12.5);

  // A joint turning past the end of the reading range stays continuous for
  // the type 2 driver, which counts turns.
  MotorType2 driver(7);
  double published = 0.0;
  for (double q = 11.0; q < 15.0; q += 0.5) {
    MotorFeedback f{1, kav::sim::singleTurnReading(q), 0, 0, 30};
    published = through(driver, encodeFeedback(MotorProtocol::kType2, 7, f)).position;
    EXPECT_NEAR(published, q, 1e-3);
  }
}

}  // namespace
