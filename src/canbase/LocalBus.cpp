#include "canbase/LocalBus.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>

#include "canbase/CanBaseDef.h"

namespace kav {
namespace hw_interface {

namespace {

// Frames a fresh local socket with send buffer `value` queues before a send
// fails, counting no further than `limit` + 1.
std::size_t framesQueuedWith(int value, std::size_t limit) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  std::size_t count = 0;
  if (::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &value, sizeof(value)) == 0) {
    const CanFrame frame{};
    while (count <= limit && ::send(pair[0], &frame, sizeof(frame), MSG_DONTWAIT) == sizeof(frame)) ++count;
  }
  ::close(pair[0]);
  ::close(pair[1]);
  return count;
}

// The smallest send buffer that queues at least `frames` frames (the queue
// grows with the buffer, so a bisection finds it).
int sendBufferFor(std::size_t frames) {
  static std::mutex mutex;
  static std::map<std::size_t, int> found;
  std::lock_guard<std::mutex> lock(mutex);
  const auto known = found.find(frames);
  if (known != found.end()) return known->second;
  int low = 1, high = 1 << 22;
  while (low < high) {
    const int middle = low + (high - low) / 2;
    if (framesQueuedWith(middle, frames) >= frames) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  found.emplace(frames, low);
  return low;
}

}  // namespace

bool isLocalBusEndpoint(const std::string& endpoint) {
  return endpoint.compare(0, std::strlen(kLocalBusPrefix), kLocalBusPrefix) == 0;
}

bool localBusAddress(const std::string& endpoint, sockaddr_un* address, socklen_t* length) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (!isLocalBusEndpoint(endpoint)) return false;
  const std::string rest = endpoint.substr(std::strlen(kLocalBusPrefix));
  if (rest.empty() || rest == "@" || rest.size() >= sizeof(address->sun_path)) return false;
  if (rest[0] == '@') {
    std::memcpy(address->sun_path + 1, rest.data() + 1, rest.size() - 1);
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + rest.size());
  } else {
    std::memcpy(address->sun_path, rest.data(), rest.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + rest.size() + 1);
  }
  return true;
}

bool isLocalBusAnnouncement(const void* message, std::size_t size) {
  if (message == nullptr || size != sizeof(LocalBusAnnouncement)) return false;
  LocalBusAnnouncement announcement;
  std::memcpy(&announcement, message, sizeof(announcement));
  return announcement.magic == kLocalBusAnnouncementMagic;
}

std::size_t setLocalBusTransmitQueue(int fd, std::size_t frames) {
  const int size = sendBufferFor(frames);
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) != 0) return 0;
  return framesQueuedWith(size, frames + 64);
}

bool applyLocalBusAnnouncement(int fd, const void* message, std::size_t size, std::size_t nodes) {
  if (!isLocalBusAnnouncement(message, size)) return false;
  LocalBusAnnouncement announcement;
  std::memcpy(&announcement, message, sizeof(announcement));
  setLocalBusTransmitQueue(fd, announcement.transmit_queue * nodes);
  return true;
}

}  // namespace hw_interface
}  // namespace kav
