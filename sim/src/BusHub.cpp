#include "sim/BusHub.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "canbase/CanBaseDef.h"

namespace kav {
namespace sim {

namespace {

std::string uniqueEndpoint() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  return "unix:@kav-bus-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
         std::to_string(random());
}

}  // namespace

class BusHub::impl {
 public:
  explicit impl(std::string endpoint) : endpoint_(std::move(endpoint)) {
    const std::string prefix = "unix:";
    if (endpoint_.compare(0, prefix.size(), prefix) != 0 || endpoint_.size() <= prefix.size() ||
        endpoint_ == "unix:@") {
      throw std::invalid_argument("BusHub: endpoint must be \"unix:/path\" or \"unix:@name\", got \"" +
                                  endpoint_ + "\"");
    }
    std::string rest = endpoint_.substr(prefix.size());
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (rest.size() >= sizeof(addr.sun_path)) {
      throw std::invalid_argument("BusHub: address too long: \"" + endpoint_ + "\"");
    }
    socklen_t length;
    if (rest[0] == '@') {
      std::memcpy(addr.sun_path + 1, rest.data() + 1, rest.size() - 1);
      length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + rest.size());
    } else {
      ::unlink(rest.c_str());
      path_ = rest;
      std::memcpy(addr.sun_path, rest.data(), rest.size());
      length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + rest.size() + 1);
    }
    listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listen_fd_ < 0 || wake_fd_ < 0 ||
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
        ::listen(listen_fd_, 16) != 0) {
      const std::string reason = std::strerror(errno);
      closeAll();
      throw std::runtime_error("BusHub: cannot listen on \"" + endpoint_ + "\": " + reason);
    }
    thread_ = std::thread([this] { run(); });
  }

  ~impl() {
    stop_.store(true);
    wake();
    thread_.join();
    for (int fd : members_) ::close(fd);
    closeAll();
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  const std::string endpoint_;
  std::string path_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> drop_{false};
  std::atomic<std::size_t> forwarded_{0};
  mutable std::mutex mutex_;  // guards members_ for readers on other threads
  mutable std::condition_variable members_changed_;
  std::vector<int> members_;

  void wake() {
    uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd_, &one, sizeof(one));
    (void)ignored;
  }

 private:
  void closeAll() {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
    listen_fd_ = wake_fd_ = -1;
  }

  void setMembers(std::vector<int> members) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      members_ = std::move(members);
    }
    members_changed_.notify_all();
  }

  void run() {
    std::vector<int> members;
    std::vector<pollfd> fds;
    while (!stop_.load()) {
      if (drop_.exchange(false)) {
        for (int fd : members) ::close(fd);
        members.clear();
        setMembers(members);
      }
      fds.clear();
      fds.push_back({wake_fd_, POLLIN, 0});
      fds.push_back({listen_fd_, POLLIN, 0});
      for (int fd : members) fds.push_back({fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 1000) <= 0) continue;
      if (fds[0].revents) {
        uint64_t count;
        ssize_t ignored = ::read(wake_fd_, &count, sizeof(count));
        (void)ignored;
      }
      bool changed = false;
      std::vector<int> gone;
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        if (!forwardFrom(fds[i].fd, members)) gone.push_back(fds[i].fd);
      }
      for (int fd : gone) {
        ::close(fd);
        members.erase(std::find(members.begin(), members.end(), fd));
        changed = true;
      }
      if (fds[1].revents & POLLIN) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          int size = 1 << 20;
          ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
          members.push_back(fd);
          changed = true;
        }
      }
      if (changed) setMembers(members);
    }
  }

  // Reads what one member has written and hands it to every other member.
  // Returns false when the member has left.
  bool forwardFrom(int from, const std::vector<int>& members) {
    for (int n = 0; n < 64; ++n) {
      hw_interface::CanFrame frame;
      ssize_t got = ::recv(from, &frame, sizeof(frame), MSG_DONTWAIT);
      if (got == 0) return false;
      if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
      for (int to : members) {
        if (to == from) continue;
        ssize_t sent = ::send(to, &frame, static_cast<std::size_t>(got), MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)sent;  // a full queue loses the frame, as on a CAN node
      }
      forwarded_.fetch_add(1);
    }
    return true;
  }
};

BusHub::BusHub() : pimpl(new impl(uniqueEndpoint())) {}

BusHub::BusHub(const std::string& endpoint) : pimpl(new impl(endpoint)) {}

BusHub::~BusHub() = default;

const std::string& BusHub::endpoint() const { return pimpl->endpoint_; }

std::size_t BusHub::memberCount() const {
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  return pimpl->members_.size();
}

bool BusHub::waitForMembers(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(pimpl->mutex_);
  return pimpl->members_changed_.wait_for(lock, timeout, [&] { return pimpl->members_.size() >= count; });
}

std::size_t BusHub::framesForwarded() const { return pimpl->forwarded_.load(); }

void BusHub::dropMembers() {
  pimpl->drop_.store(true);
  pimpl->wake();
}

}  // namespace sim
}  // namespace kav
