#include "BusPort.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "canbase/LocalBus.h"

namespace kav {
namespace sim {

namespace {

[[noreturn]] void fail(const std::string& endpoint, const char* step, int error) {
  throw std::runtime_error("SimulatedArm: cannot join the bus \"" + endpoint + "\" (" + step + ": " +
                           std::strerror(error) + ")");
}

int openLocalBus(const std::string& endpoint) {
  sockaddr_un addr{};
  socklen_t length = 0;
  if (!hw_interface::localBusAddress(endpoint, &addr, &length)) {
    throw std::invalid_argument("SimulatedArm: endpoint \"" + endpoint +
                                "\" is not \"unix:/path\" or \"unix:@name\" of at most " +
                                std::to_string(sizeof(addr.sun_path) - 1) + " characters");
  }
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) fail(endpoint, "socket", errno);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    const int error = errno;
    ::close(fd);
    fail(endpoint, "connect", error);
  }
  return fd;
}

int openCanInterface(const std::string& name) {
  if (name.empty() || name.size() >= IFNAMSIZ) {
    throw std::invalid_argument("SimulatedArm: \"" + name +
                                "\" is neither a \"unix:\" endpoint nor a CAN interface name of 1-" +
                                std::to_string(IFNAMSIZ - 1) + " characters");
  }
  const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) fail(name, "socket", errno);
  ifreq request{};
  std::memcpy(request.ifr_name, name.data(), name.size());
  sockaddr_can addr{};
  addr.can_family = AF_CAN;
  if (::ioctl(fd, SIOCGIFINDEX, &request) != 0) {
    const int error = errno;
    ::close(fd);
    fail(name, "interface lookup", error);
  }
  addr.can_ifindex = request.ifr_ifindex;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    const int error = errno;
    ::close(fd);
    fail(name, "bind", error);
  }
  return fd;
}

}  // namespace

int openBusSocket(const std::string& endpoint) {
  if (hw_interface::isLocalBusEndpoint(endpoint)) return openLocalBus(endpoint);
  return openCanInterface(endpoint);
}

}  // namespace sim
}  // namespace kav
