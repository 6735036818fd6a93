#pragma once
/// @file ErrorCode.h
/// The controller's error codes as values: how each is made from its cause,
/// and what a code handed to a host means.

#include <string>

namespace kav {
namespace t8 {

/// One error code of the list hosts read (getErrorCode). Motors are
/// numbered 1-7 (joints 1-6, then the gripper).
///
/// | code            | kind                 | meaning                                        |
/// |-----------------|----------------------|------------------------------------------------|
/// | 1               | kOverCurrent         | an arm joint's current above its limit for 1 s |
/// | 2               | kLinkOffline         | the CAN link went silent                       |
/// | 3               | kCycleFailed         | a control cycle failed unexpectedly            |
/// | 16 m + c, c<15  | kMotorFault          | motor m reported fault c (1-14)                |
/// | 16 m + 15       | kMotorOffline        | motor m fell silent (the gripper: arm goes on) |
/// | 128 + m         | kImplausibleFeedback | ten implausible readings in a row from m       |
/// | 144 + m         | kMotorDisabled       | wrist motor m reported itself disabled         |
/// | 160 + j         | kCollision           | collision reflex on arm joint j (1-6)          |
/// | 176             | kRecovered           | recover() brought control back                 |
/// | 192             | kLawFailed           | a host's control law threw (the law ended)     |
/// | 193             | kLawOverrun          | a host's control law overran its time budget   |
/// | 194             | kCommandsLate        | a host's streamed commands stopped (law ended) |
/// | 208             | kLimitNotFinite      | a command not finite, refused (never sent)     |
/// | 209             | kLimitPosition       | a command beyond a joint position limit        |
/// | 210             | kLimitVelocity       | a command beyond a joint velocity limit        |
/// | 211             | kLimitTorque         | a command beyond a joint torque limit          |
/// | 212             | kLimitBox            | a command driving the end effector out of its box |
/// | 213             | kLimitSpeed          | the end effector above its speed limit         |
class ErrorCode {
 public:
  /// What a code is about (the table above).
  enum class Kind {
    kOverCurrent,          ///< an arm joint's current stayed too high
    kLinkOffline,          ///< the bus fell silent
    kCycleFailed,          ///< a control cycle failed unexpectedly
    kMotorFault,           ///< a motor reported a fault
    kMotorOffline,         ///< a motor fell silent
    kImplausibleFeedback,  ///< ten implausible readings in a row from a motor
    kMotorDisabled,        ///< a wrist motor reported itself disabled
    kCollision,            ///< the collision reflex fired on an arm joint
    kRecovered,            ///< recover() brought control back
    kLawFailed,            ///< a host's control law threw an exception
    kLawOverrun,           ///< a host's control law took longer than its budget
    kCommandsLate,         ///< a host streaming commands sent none for 4 cycles
    kLimitNotFinite,       ///< a command that is not finite was refused
    kLimitPosition,        ///< a command beyond a joint position limit
    kLimitVelocity,        ///< a command beyond a joint velocity limit
    kLimitTorque,          ///< a command beyond a joint torque limit
    kLimitBox,             ///< a command driving the end effector out of its box
    kLimitSpeed,           ///< the end effector above its speed limit
    kUnknown,              ///< no code the controller reports
  };

  static constexpr int kOverCurrentCode = 1;     ///< the code of kOverCurrent
  static constexpr int kLinkOfflineCode = 2;     ///< the code of kLinkOffline
  static constexpr int kCycleFailedCode = 3;     ///< the code of kCycleFailed
  static constexpr int kOfflineFault = 15;       ///< the fault number that means offline
  static constexpr int kLargestMotorFault = 14;  ///< the largest fault number reported as a fault
  static constexpr int kImplausibleBase = 128;   ///< kImplausibleFeedback's code is this + motor
  static constexpr int kDisabledBase = 144;      ///< kMotorDisabled's code is this + motor
  static constexpr int kCollisionBase = 160;     ///< kCollision's code is this + joint
  static constexpr int kRecoveredCode = 176;     ///< the code of kRecovered
  static constexpr int kLawFailedCode = 192;     ///< the code of kLawFailed
  static constexpr int kLawOverrunCode = 193;    ///< the code of kLawOverrun
  static constexpr int kCommandsLateCode = 194;  ///< the code of kCommandsLate
  static constexpr int kLimitBase = 208;         ///< the safety limits' codes are this + LimitKind
  static constexpr int kMotors = 7;              ///< motors 1-7 (7: the gripper)
  static constexpr int kArmJoints = 6;           ///< arm joints 1-6

  /// Decodes @p code; codes the controller never reports are kUnknown.
  explicit constexpr ErrorCode(int code) : code_(code) {}

  /// The code of an over-current.
  static constexpr ErrorCode overCurrent() { return ErrorCode(kOverCurrentCode); }
  /// The code of a silent bus.
  static constexpr ErrorCode linkOffline() { return ErrorCode(kLinkOfflineCode); }
  /// The code of a failed control cycle.
  static constexpr ErrorCode cycleFailed() { return ErrorCode(kCycleFailedCode); }
  /// Motor @p motor reported @p fault; faults above 14 are reported as 14
  /// (15 would read as offline).
  static constexpr ErrorCode motorFault(int motor, int fault) {
    return ErrorCode(motor * 16 + (fault < kLargestMotorFault ? fault : kLargestMotorFault));
  }
  /// Motor @p motor fell silent.
  static constexpr ErrorCode motorOffline(int motor) { return ErrorCode(motor * 16 + kOfflineFault); }
  /// Motor @p motor sent ten implausible readings in a row.
  static constexpr ErrorCode implausibleFeedback(int motor) { return ErrorCode(kImplausibleBase + motor); }
  /// Wrist motor @p motor reported itself disabled.
  static constexpr ErrorCode motorDisabled(int motor) { return ErrorCode(kDisabledBase + motor); }
  /// The collision reflex fired on arm joint @p joint (1-6).
  static constexpr ErrorCode collision(int joint) { return ErrorCode(kCollisionBase + joint); }
  /// recover() brought control back.
  static constexpr ErrorCode recovered() { return ErrorCode(kRecoveredCode); }
  /// A host's control law threw an exception.
  static constexpr ErrorCode lawFailed() { return ErrorCode(kLawFailedCode); }
  /// A host's control law took longer than its budget.
  static constexpr ErrorCode lawOverrun() { return ErrorCode(kLawOverrunCode); }
  /// A host streaming commands (InterfacesPy's torque control) sent none
  /// for 4 cycles in a row: the law ended.
  static constexpr ErrorCode commandsLate() { return ErrorCode(kCommandsLateCode); }
  /// The kinds of safety-limit violation, in the order of their codes.
  enum class LimitKind { kNotFinite = 0, kPosition, kVelocity, kTorque, kBox, kSpeed };
  /// The number of LimitKind values.
  static constexpr int kLimitKinds = 6;
  /// A command violated a safety limit of kind @p kind.
  static constexpr ErrorCode limit(LimitKind kind) { return ErrorCode(kLimitBase + static_cast<int>(kind)); }

  /// The number as hosts receive it.
  constexpr int code() const { return code_; }
  /// What the code is about; kUnknown for a code the controller never reports.
  constexpr Kind kind() const {
    if (code_ == kOverCurrentCode) return Kind::kOverCurrent;
    if (code_ == kLinkOfflineCode) return Kind::kLinkOffline;
    if (code_ == kCycleFailedCode) return Kind::kCycleFailed;
    if (code_ > kImplausibleBase && code_ <= kImplausibleBase + kMotors) return Kind::kImplausibleFeedback;
    if (code_ > kDisabledBase && code_ <= kDisabledBase + kMotors) return Kind::kMotorDisabled;
    if (code_ > kCollisionBase && code_ <= kCollisionBase + kArmJoints) return Kind::kCollision;
    if (code_ == kRecoveredCode) return Kind::kRecovered;
    if (code_ == kLawFailedCode) return Kind::kLawFailed;
    if (code_ == kLawOverrunCode) return Kind::kLawOverrun;
    if (code_ == kCommandsLateCode) return Kind::kCommandsLate;
    if (code_ >= kLimitBase && code_ < kLimitBase + kLimitKinds)
      return static_cast<Kind>(static_cast<int>(Kind::kLimitNotFinite) + code_ - kLimitBase);
    if (code_ >= 16 + 1 && code_ < 16 * (kMotors + 1)) {
      return code_ % 16 == kOfflineFault ? Kind::kMotorOffline
                                         : (code_ % 16 == 0 ? Kind::kUnknown : Kind::kMotorFault);
    }
    return Kind::kUnknown;
  }
  /// The motor the code is about (1-7; for a collision its joint, 1-6); 0
  /// when it names none.
  constexpr int motor() const {
    switch (kind()) {
      case Kind::kMotorFault:
      case Kind::kMotorOffline:
        return code_ / 16;
      case Kind::kImplausibleFeedback:
        return code_ - kImplausibleBase;
      case Kind::kMotorDisabled:
        return code_ - kDisabledBase;
      case Kind::kCollision:
        return code_ - kCollisionBase;
      default:
        return 0;
    }
  }
  /// The fault a motor reported (1-14); 0 for other kinds.
  constexpr int fault() const { return kind() == Kind::kMotorFault ? code_ % 16 : 0; }
  /// What the code means, in words ("motor 2 offline (silent too long)").
  std::string meaning() const;

  /// Codes compare by their number.
  constexpr bool operator==(const ErrorCode& other) const { return code_ == other.code_; }
  /// Codes compare by their number.
  constexpr bool operator!=(const ErrorCode& other) const { return code_ != other.code_; }

 private:
  int code_;
};

}  // namespace t8
}  // namespace kav
