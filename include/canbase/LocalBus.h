#pragma once
/// @file LocalBus.h
/// The one message of a local-socket bus ("unix:" endpoint) that is not a
/// frame, and the sizing of a member's send queue in frames.
///
/// On a bit-timed local-socket bus the hub leaves each frame in its sender's
/// socket until the frame has been on the bus, so the sender's socket send
/// queue is its transmit queue, as a SocketCAN interface's queue is on a real
/// bus: a send to a full queue fails at once. Such a hub tells every member
/// the length of that queue in a LocalBusAnnouncement, the first message the
/// member receives; the member sizes its send queue to it. An instant hub
/// sends no announcement and members keep the system's default queue.

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kav {
namespace hw_interface {

/// What every local-socket bus endpoint starts with.
constexpr const char* kLocalBusPrefix = "unix:";

/// Whether @p endpoint names a local-socket bus ("unix:...").
bool isLocalBusEndpoint(const std::string& endpoint);

/// The socket address of a local-socket bus endpoint: "unix:/path" (a file)
/// or "unix:@name" (Linux's abstract namespace: a leading zero byte, then the
/// name without terminator).
/// @return false, with nothing usable in @p address, when @p endpoint is not
///         "unix:" followed by a path or "@" and a name that fit the address
bool localBusAddress(const std::string& endpoint, sockaddr_un* address, socklen_t* length);

/// Marks a LocalBusAnnouncement ("KAVQ" in memory order).
constexpr std::uint32_t kLocalBusAnnouncementMagic = 0x5156414B;

/// What a timed hub tells a member that joins: 8 bytes, never a frame.
struct LocalBusAnnouncement {
  std::uint32_t magic = kLocalBusAnnouncementMagic;  ///< always kLocalBusAnnouncementMagic
  std::uint32_t transmit_queue = 0;                  ///< frames the member's send queue holds
};
static_assert(sizeof(LocalBusAnnouncement) == 8, "LocalBusAnnouncement is 8 bytes on the wire");

/// Whether the message of @p size bytes at @p message is an announcement.
bool isLocalBusAnnouncement(const void* message, std::size_t size);

/// Sizes the send queue of the local socket @p fd to hold @p frames 16-byte
/// frames: the smallest send buffer that holds that many, found once per
/// process and queue length with a socket pair, since what the system charges
/// per message depends on the kernel. The system has a smallest send buffer
/// (6 frames on a 6.x kernel); below it the queue holds that many.
/// @return the frames the queue now holds; 0 when the socket refused the size
std::size_t setLocalBusTransmitQueue(int fd, std::size_t frames);

/// When the message of @p size bytes at @p message is an announcement, sizes
/// the send queue of @p fd as it says, once per node: a member that stands
/// for @p nodes CAN nodes (the simulated arm's motors, each with its own
/// transmit queue on a real bus) gets room for each node's queue.
/// @return whether the message was an announcement (and must not be taken
///         for a frame)
bool applyLocalBusAnnouncement(int fd, const void* message, std::size_t size, std::size_t nodes = 1);

}  // namespace hw_interface
}  // namespace kav
