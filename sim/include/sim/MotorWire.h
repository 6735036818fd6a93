#pragma once
/// @file MotorWire.h
/// The motors' side of the two wire protocols under the simulator's names.
/// The functions themselves live in the library (can_motor_dlc/MotorWire.h),
/// beside the host's side, so that both sides share one description of each
/// frame.

#include "can_motor_dlc/MotorWire.h"

namespace kav {
namespace sim {

using hw_interface::CommandKind;
using hw_interface::decodeCommand;
using hw_interface::encodeFeedback;
using hw_interface::MotorCommand;
using hw_interface::MotorFeedback;
using hw_interface::MotorProtocol;
using hw_interface::ProtocolRanges;
using hw_interface::rangesOf;
using hw_interface::singleTurnReading;

}  // namespace sim
}  // namespace kav
