#pragma once
// How a classic CAN bus orders and times frames: shared by the bus hub's
// timed bus and the lockstep simulation's.

#include <linux/can.h>

#include <chrono>
#include <cstdint>

#include "sim/BusHub.h"

namespace kav {
namespace sim {

/// The bits of the arbitration field in the order they go on the wire, a
/// dominant (0) bit winning, so the lowest key wins: identifier bits 28..18,
/// then RTR (standard) or SRR (extended, recessive), IDE, identifier bits
/// 17..0 and the extended RTR.
inline std::uint64_t arbitrationKey(const hw_interface::CanFrame& frame) {
  const std::uint64_t remote = (frame.can_id & CAN_RTR_FLAG) ? 1 : 0;
  if ((frame.can_id & CAN_EFF_FLAG) == 0) {
    return (static_cast<std::uint64_t>(frame.can_id & CAN_SFF_MASK) << 21) | (remote << 20);
  }
  const std::uint64_t id = frame.can_id & CAN_EFF_MASK;
  return ((id >> 18) << 21) | (1u << 20) | (1u << 19) | ((id & 0x3FFFF) << 1) | remote;
}

/// How long @p frame occupies a bus of @p bitrate bit/s.
inline std::chrono::nanoseconds frameDuration(const hw_interface::CanFrame& frame, std::uint32_t bitrate) {
  return std::chrono::nanoseconds(static_cast<std::int64_t>(canFrameBits(frame)) * 1000000000LL / bitrate);
}

}  // namespace sim
}  // namespace kav
