#pragma once
/// @file BusHub.h
/// The local-socket bus: a hub that plays a CAN bus for its members, at once
/// or bit-timed like a classic CAN bus.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "canbase/CanBaseDef.h"
#include "config/ArmConfig.h"

namespace kav {
namespace sim {

/// How a BusHub carries frames.
struct BusHubOptions {
  /// Bit rate in bit/s: 1000 to 1000000 for a bit-timed bus; 0 (the default)
  /// carries every frame at once and without limit.
  std::uint32_t bitrate = 0;
  /// Timed bus: frames each member's transmit queue holds, 1 to 1000; a send
  /// to a full queue fails. 10 is SocketCAN's default queue length.
  std::size_t transmit_queue = 10;
  /// Frames kept for takeCarriedFrames(), oldest dropped first; 0 keeps none.
  std::size_t record_capacity = 0;
  /// SCHED_FIFO priority (1-99) the forwarding thread asks for, best effort:
  /// without the privilege it runs at normal priority. 0: normal priority.
  /// The default, 78 (as the simulated motors' thread), keeps a busy machine
  /// from holding frames back past a motor's 100 ms silence limit; above the
  /// control thread's 80, the hub's timestamps add the least.
  int realtime_priority = config::kSimulatorBusPriority;
};

/// Bits a classic CAN data frame occupies on the bus, with the worst case of
/// stuff bits, for n = min(can_dlc, 8) data bytes (0 for a remote frame):
/// standard 11-bit identifier: 47 + 8n + floor((34 + 8n - 1) / 4), so 135 for
/// 8 bytes and 55 for none; extended 29-bit identifier (CAN_EFF_FLAG):
/// 67 + 8n + floor((54 + 8n - 1) / 4), 160 for 8 bytes. The counts include
/// the 3-bit intermission after the frame.
std::uint32_t canFrameBits(const hw_interface::CanFrame& frame);

/// One frame the hub carried (see BusHubOptions::record_capacity).
struct CarriedFrame {
  /// Timed bus: when its last bit was on the bus; instant bus: when the hub
  /// took it from its sender. Steady clock.
  std::chrono::steady_clock::time_point end;
  /// The sender's join number (see BusMemberStatistics::member).
  std::size_t member = 0;
  /// The frame as carried; its identifier is frame.can_id.
  hw_interface::CanFrame frame{};
};

/// What one member sent over the bus.
struct BusMemberStatistics {
  /// Join number: 0 for the first member that joined this hub, 1 for the
  /// next, and so on; a member that joins again gets a new number.
  std::size_t member = 0;
  /// Whether it is still connected.
  bool connected = false;
  /// Frames of this member the hub carried.
  std::uint64_t frames = 0;
  /// Bus time those frames took (0 on an instant bus).
  std::chrono::nanoseconds busy{0};
};

/// What the hub carried since it started.
struct BusStatistics {
  /// Frames carried, all members.
  std::uint64_t frames = 0;
  /// Bus time they took (0 on an instant bus).
  std::chrono::nanoseconds busy{0};
  /// Time since the hub started.
  std::chrono::nanoseconds elapsed{0};
  /// Frames dropped from a full record.
  std::uint64_t frames_not_recorded = 0;
  /// Every member that ever joined, by join number.
  std::vector<BusMemberStatistics> members;
  /// Bus load over the hub's life: busy / elapsed.
  double load() const;
};

/// Listens on a local SOCK_SEQPACKET address and delivers every frame that
/// one member writes to every other member, in order, like a CAN bus
/// without local echo. Members join by connecting (the transport does so for
/// a "unix:" endpoint) and leave by closing. A member whose receive queue is
/// full misses the frame, as a CAN node with a full queue would.
///
/// Instant bus (bitrate 0): every message is passed on as it was written, at
/// once. Timed bus: the hub behaves like a classic CAN bus at the bit rate.
/// Each frame occupies the bus for canFrameBits() bit times. While the bus is
/// busy, every member's next frame waits; when the bus frees, the lowest
/// identifier among the frames waiting wins (the lowest arbitration field:
/// a standard frame beats an extended one with the same 11 leading bits, a
/// data frame a remote one; on an exact tie, the member that joined first).
/// A member's own frames go out in the order it wrote them. A frame stays in
/// its sender's socket until its last bit is on the bus, so the sender's send
/// queue is its transmit queue: the hub announces the length to each member
/// when it joins (canbase/LocalBus.h), and a send to a full queue fails at
/// once; the sender counts it (SocketCan::framesRefused()). Messages shorter
/// than a frame are carried zero-filled to 16 bytes.
///
/// Times on a timed bus follow the bus, not the forwarding thread: a frame
/// that was waiting when the previous one ended starts at that end even when
/// the thread woke a little later, so busy time and load do not depend on the
/// thread's wake-up latency. Frames reach the members when the thread runs.
///
/// All public functions may be called from any thread.
class BusHub {
 public:
  /// Listens on a fresh, unique abstract-namespace address; instant bus.
  BusHub();
  /// Listens on @p endpoint, written as the transport takes it:
  /// "unix:/path" (an existing file there is replaced) or "unix:@name".
  /// @throw std::invalid_argument when the endpoint is not a "unix:" address
  /// @throw std::runtime_error when the address cannot be bound
  explicit BusHub(const std::string& endpoint);
  /// Listens on a fresh, unique abstract-namespace address.
  /// @param options bit rate, queue, record and priority
  /// @throw std::invalid_argument when an option is out of its range (the
  ///        message names it)
  explicit BusHub(const BusHubOptions& options);
  /// Listens on @p endpoint (as above) with @p options.
  /// @throw std::invalid_argument when the endpoint is not a "unix:" address
  ///        or an option is out of its range
  /// @throw std::runtime_error when the address cannot be bound
  BusHub(const std::string& endpoint, const BusHubOptions& options);
  /// Disconnects every member and stops forwarding.
  ~BusHub();
  BusHub(const BusHub&) = delete;
  BusHub& operator=(const BusHub&) = delete;

  /// The endpoint to pass to SocketCan::Init or as a controller's can_name.
  const std::string& endpoint() const;
  /// The options the hub runs with.
  const BusHubOptions& options() const;
  /// Members connected right now.
  std::size_t memberCount() const;
  /// Waits until at least @p count members are connected.
  /// @return false when the time ran out first
  bool waitForMembers(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  /// Frames forwarded since the hub started (each counted once).
  std::size_t framesForwarded() const;
  /// Frames carried, bus time and load, in total and per member.
  BusStatistics statistics() const;
  /// Share of the time from @p from to @p to that the bus was busy, 0 to 1
  /// (always 0 on an instant bus). The hub keeps the last 262144 busy spans
  /// (frames back to back make one span; at least 35 s of a saturated bus).
  /// @throw std::invalid_argument when @p to is not after @p from
  double busLoad(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) const;
  /// The frames carried since the last call, oldest first, at most
  /// record_capacity of them; empties the record. Empty when recording is off.
  std::vector<CarriedFrame> takeCarriedFrames();
  /// Disconnects every member; they may connect again.
  void dropMembers();

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace sim
}  // namespace kav
