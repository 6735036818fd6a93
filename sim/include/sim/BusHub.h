#pragma once
/// @file BusHub.h
/// The local-socket bus: a hub that plays a CAN bus for its members.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace kav {
namespace sim {

/// Listens on a local SOCK_SEQPACKET address and delivers every 16-byte frame
/// that one member writes to every other member, in order, like a CAN bus
/// without local echo. Members join by connecting (the transport does so for
/// a "unix:" endpoint) and leave by closing. A member whose receive queue is
/// full misses the frame, as a CAN node with a full queue would.
class BusHub {
 public:
  /// Listens on a fresh, unique abstract-namespace address.
  BusHub();
  /// Listens on @p endpoint, written as the transport takes it:
  /// "unix:/path" (an existing file there is replaced) or "unix:@name".
  /// @throw std::invalid_argument when the endpoint is not a "unix:" address
  /// @throw std::runtime_error when the address cannot be bound
  explicit BusHub(const std::string& endpoint);
  /// Disconnects every member and stops forwarding.
  ~BusHub();
  BusHub(const BusHub&) = delete;
  BusHub& operator=(const BusHub&) = delete;

  /// The endpoint to pass to SocketCan::Init or as a controller's can_name.
  const std::string& endpoint() const;
  /// Members connected right now.
  std::size_t memberCount() const;
  /// Waits until at least @p count members are connected.
  /// @return false when the time ran out first
  bool waitForMembers(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  /// Frames forwarded since the hub started (each counted once).
  std::size_t framesForwarded() const;
  /// Disconnects every member; they may connect again.
  void dropMembers();

 private:
  class impl;
  std::unique_ptr<impl> pimpl;
};

}  // namespace sim
}  // namespace kav
