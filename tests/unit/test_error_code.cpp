// Error codes as values: every cause makes its code and every code names
// its cause, the way hosts, the bridge and the tools read them.
#include <controller/ErrorCode.h>
#include <gtest/gtest.h>

using kav::t8::ErrorCode;
using Kind = ErrorCode::Kind;

TEST(ErrorCode, EveryCauseRoundTripsThroughItsNumber) {
  for (int motor = 1; motor <= 7; ++motor) {
    for (int fault = 1; fault <= 14; ++fault) {
      const ErrorCode code(ErrorCode::motorFault(motor, fault).code());
      EXPECT_EQ(code.code(), 16 * motor + fault);
      EXPECT_EQ(code.kind(), Kind::kMotorFault);
      EXPECT_EQ(code.motor(), motor);
      EXPECT_EQ(code.fault(), fault);
    }
    // A driver code above 14 stays a fault of its motor, never "offline".
    EXPECT_EQ(ErrorCode::motorFault(motor, 31).code(), 16 * motor + 14);
    const ErrorCode offline(16 * motor + 15);
    EXPECT_EQ(offline, ErrorCode::motorOffline(motor));
    EXPECT_EQ(offline.kind(), Kind::kMotorOffline);
    EXPECT_EQ(offline.motor(), motor);
    EXPECT_EQ(offline.fault(), 0);
    EXPECT_EQ(ErrorCode(128 + motor).kind(), Kind::kImplausibleFeedback);
    EXPECT_EQ(ErrorCode::implausibleFeedback(motor).motor(), motor);
    EXPECT_EQ(ErrorCode(144 + motor).kind(), Kind::kMotorDisabled);
    EXPECT_EQ(ErrorCode::motorDisabled(motor).motor(), motor);
  }
  EXPECT_EQ(ErrorCode(1).kind(), Kind::kOverCurrent);
  EXPECT_EQ(ErrorCode(2).kind(), Kind::kLinkOffline);
  EXPECT_EQ(ErrorCode(3).kind(), Kind::kCycleFailed);
  for (int joint = 1; joint <= 6; ++joint) {
    EXPECT_EQ(ErrorCode(160 + joint), ErrorCode::collision(joint));
    EXPECT_EQ(ErrorCode(160 + joint).kind(), Kind::kCollision);
    EXPECT_EQ(ErrorCode(160 + joint).motor(), joint);
  }
  EXPECT_EQ(ErrorCode(176).kind(), Kind::kRecovered);
  EXPECT_EQ(ErrorCode(192).kind(), Kind::kLawFailed);
  EXPECT_EQ(ErrorCode(193).kind(), Kind::kLawOverrun);
  EXPECT_EQ(ErrorCode(194).kind(), Kind::kCommandsLate);
  const Kind limits[] = {Kind::kLimitNotFinite, Kind::kLimitPosition, Kind::kLimitVelocity,
                         Kind::kLimitTorque,    Kind::kLimitBox,      Kind::kLimitSpeed};
  for (int kind = 0; kind < ErrorCode::kLimitKinds; ++kind) {
    const ErrorCode code = ErrorCode::limit(static_cast<ErrorCode::LimitKind>(kind));
    EXPECT_EQ(code.code(), 208 + kind);
    EXPECT_EQ(code.kind(), limits[kind]);
    EXPECT_EQ(code.motor(), 0);
    EXPECT_EQ(code.meaning().rfind("safety limits: ", 0), 0u) << code.meaning();
  }
  for (int unknown : {195, 207, 214}) EXPECT_EQ(ErrorCode(unknown).kind(), Kind::kUnknown) << unknown;
  for (int unknown : {160, 167, 175, 177}) EXPECT_EQ(ErrorCode(unknown).kind(), Kind::kUnknown) << unknown;
  for (int unknown : {-1, 0, 4, 16, 32, 128, 136, 144, 152, 1000}) {
    EXPECT_EQ(ErrorCode(unknown).kind(), Kind::kUnknown) << unknown;
    EXPECT_EQ(ErrorCode(unknown).motor(), 0) << unknown;
  }
}
