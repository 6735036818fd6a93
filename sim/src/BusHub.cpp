#include "sim/BusHub.h"

#include <linux/can.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

#include "Arbitration.h"
#include "canbase/LocalBus.h"
#include "rt/PiMutex.h"
#include "rt/Priority.h"

namespace kav {
namespace sim {

namespace {

using Clock = std::chrono::steady_clock;
using hw_interface::CanFrame;
using rt::PiMutex;

constexpr int kFramesPerWake = 64;
constexpr std::uint32_t kLowestBitrate = 1000;
constexpr std::uint32_t kHighestBitrate = 1000000;
constexpr std::size_t kLongestQueue = 1000;
constexpr std::size_t kKeptBusySpans = 262144;
constexpr int kMemberReceiveBuffer = 1 << 20;

std::string uniqueEndpoint() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  return "unix:@kav-bus-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
         std::to_string(random());
}

BusHubOptions checked(const BusHubOptions& options) {
  if (options.bitrate != 0 && (options.bitrate < kLowestBitrate || options.bitrate > kHighestBitrate)) {
    throw std::invalid_argument("BusHub: bitrate must be 0 (instant) or 1000 to 1000000 bit/s, got " +
                                std::to_string(options.bitrate));
  }
  if (options.transmit_queue < 1 || options.transmit_queue > kLongestQueue) {
    throw std::invalid_argument("BusHub: transmit_queue must be 1 to 1000 frames, got " +
                                std::to_string(options.transmit_queue));
  }
  if (options.realtime_priority < 0 || options.realtime_priority > 99) {
    throw std::invalid_argument("BusHub: realtime_priority must be 0 to 99, got " +
                                std::to_string(options.realtime_priority));
  }
  return options;
}

// One connected member, as the forwarding thread sees it.
struct Member {
  int fd = -1;
  std::size_t number = 0;
  bool gone = false;
  // Timed bus: the member's next frame, still in its socket, and when the
  // hub saw it waiting.
  bool head_known = false;
  CanFrame head{};
  Clock::time_point ready{};
};

// The frame on a timed bus right now.
struct Transmission {
  std::size_t member;
  Clock::time_point end;
  std::chrono::nanoseconds duration;
};

struct BusySpan {
  Clock::time_point start;
  Clock::time_point end;
};

}  // namespace

std::uint32_t canFrameBits(const CanFrame& frame) {
  const std::uint32_t n = (frame.can_id & CAN_RTR_FLAG) ? 0u : std::min<std::uint32_t>(frame.can_dlc, 8u);
  if (frame.can_id & CAN_EFF_FLAG) return 67 + 8 * n + (54 + 8 * n - 1) / 4;
  return 47 + 8 * n + (34 + 8 * n - 1) / 4;
}

double BusStatistics::load() const {
  if (elapsed.count() <= 0) return 0.0;
  return static_cast<double>(busy.count()) / static_cast<double>(elapsed.count());
}

class BusHub::impl {
 public:
  impl(std::string endpoint, const BusHubOptions& options)
      : endpoint_(std::move(endpoint)), options_(checked(options)) {
    sockaddr_un addr{};
    socklen_t length = 0;
    if (!hw_interface::localBusAddress(endpoint_, &addr, &length)) {
      const std::size_t prefix = std::strlen(hw_interface::kLocalBusPrefix);
      const bool too_long =
          hw_interface::isLocalBusEndpoint(endpoint_) && endpoint_.size() - prefix >= sizeof(addr.sun_path);
      if (!too_long) {
        throw std::invalid_argument("BusHub: endpoint must be \"unix:/path\" or \"unix:@name\", got \"" +
                                    endpoint_ + "\"");
      }
      throw std::invalid_argument("BusHub: address too long: \"" + endpoint_ + "\"");
    }
    if (addr.sun_path[0] != '\0') {
      path_ = addr.sun_path;
      ::unlink(path_.c_str());
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
    closeAll();
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  const std::string endpoint_;
  const BusHubOptions options_;
  const Clock::time_point started_ = Clock::now();
  std::string path_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> drop_{false};
  std::atomic<std::size_t> forwarded_{0};
  mutable std::mutex mutex_;  // guards connected_ for readers on other threads
  mutable std::condition_variable members_changed_;
  std::size_t connected_ = 0;

  // What was carried, for readers on other threads (priority inheritance: a
  // reader never holds up a forwarding thread of real-time priority).
  mutable PiMutex record_mutex_;
  std::uint64_t frames_ = 0;
  std::chrono::nanoseconds busy_{0};
  std::uint64_t not_recorded_ = 0;
  std::vector<BusMemberStatistics> member_statistics_;  // by join number
  std::deque<BusySpan> spans_;                          // by time, back-to-back frames merged
  std::deque<CarriedFrame> record_;

  void wake() {
    uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd_, &one, sizeof(one));
    (void)ignored;
  }

 private:
  bool timed() const { return options_.bitrate != 0; }

  void closeAll() {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
    listen_fd_ = wake_fd_ = -1;
  }

  void publishConnected(std::size_t count) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connected_ = count;
    }
    members_changed_.notify_all();
  }

  void askForPriority() {
    if (options_.realtime_priority == 0) return;
    rt::preferRealtime(options_.realtime_priority);
  }

  void run() {
    askForPriority();
    std::vector<Member> members;
    std::vector<pollfd> fds;
    std::vector<std::size_t> polled;  // the member of each entry of fds after the first two
    while (!stop_.load()) {
      if (drop_.exchange(false)) {
        for (Member& member : members) member.gone = true;
        transmission_.reset();
      }
      removeGone(&members);
      fds.clear();
      polled.clear();
      fds.push_back({wake_fd_, POLLIN, 0});
      fds.push_back({listen_fd_, POLLIN, 0});
      for (std::size_t i = 0; i < members.size(); ++i) {
        // On a timed bus a member's waiting frame stays readable: only
        // members without one are watched.
        if (timed() && members[i].head_known) continue;
        fds.push_back({members[i].fd, POLLIN, 0});
        polled.push_back(i);
      }
      const timespec timeout = waitTime();
      if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) continue;
      if (fds[0].revents) {
        uint64_t count;
        ssize_t ignored = ::read(wake_fd_, &count, sizeof(count));
        (void)ignored;
      }
      const auto now = Clock::now();
      // A frame first seen after the frame on the bus should have ended was
      // waiting at that end, as far as the hub can tell.
      const auto seen = transmission_ && transmission_->end < now ? transmission_->end : now;
      for (std::size_t k = 0; k < polled.size(); ++k) {
        if (fds[k + 2].revents == 0) continue;
        Member& member = members[polled[k]];
        if (timed()) {
          peekHead(&member, seen);
        } else if (!forwardFrom(member, members)) {
          member.gone = true;
        }
      }
      if (fds[1].revents & POLLIN) accept(&members);
      if (timed()) advanceBus(&members);
      removeGone(&members);
    }
    for (Member& member : members) ::close(member.fd);
  }

  timespec waitTime() const {
    auto left = std::chrono::nanoseconds(std::chrono::seconds(1));
    if (transmission_) {
      left =
          std::max(std::chrono::nanoseconds(0),
                   std::chrono::duration_cast<std::chrono::nanoseconds>(transmission_->end - Clock::now()));
    }
    return timespec{static_cast<time_t>(left.count() / 1000000000),
                    static_cast<long>(left.count() % 1000000000)};
  }

  void accept(std::vector<Member>* members) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kMemberReceiveBuffer, sizeof(kMemberReceiveBuffer));
    if (timed()) {
      hw_interface::LocalBusAnnouncement announcement;
      announcement.transmit_queue = static_cast<std::uint32_t>(options_.transmit_queue);
      ssize_t sent = ::send(fd, &announcement, sizeof(announcement), MSG_DONTWAIT | MSG_NOSIGNAL);
      (void)sent;  // a member that is gone already is noticed by the next poll
    }
    Member member;
    member.fd = fd;
    {
      std::lock_guard<PiMutex> lock(record_mutex_);
      member.number = member_statistics_.size();
      BusMemberStatistics joined;
      joined.member = member.number;
      joined.connected = true;
      member_statistics_.push_back(joined);
    }
    members->push_back(member);
    publishConnected(members->size());
  }

  void removeGone(std::vector<Member>* members) {
    const auto first_gone = std::stable_partition(members->begin(), members->end(),
                                                  [](const Member& member) { return !member.gone; });
    if (first_gone == members->end()) return;
    {
      std::lock_guard<PiMutex> lock(record_mutex_);
      for (auto it = first_gone; it != members->end(); ++it) {
        ::close(it->fd);
        member_statistics_[it->number].connected = false;
      }
    }
    members->erase(first_gone, members->end());
    publishConnected(members->size());
  }

  void deliver(const CanFrame& frame, std::size_t size, const Member& from,
               const std::vector<Member>& members) {
    for (const Member& to : members) {
      if (to.fd == from.fd || to.gone) continue;
      ssize_t sent = ::send(to.fd, &frame, size, MSG_DONTWAIT | MSG_NOSIGNAL);
      (void)sent;  // a full queue loses the frame, as on a CAN node
    }
  }

  void account(std::size_t member, const CanFrame& frame, Clock::time_point end,
               std::chrono::nanoseconds duration) {
    std::lock_guard<PiMutex> lock(record_mutex_);
    ++frames_;
    busy_ += duration;
    ++member_statistics_[member].frames;
    member_statistics_[member].busy += duration;
    if (duration.count() > 0) {
      const Clock::time_point start = end - duration;
      if (!spans_.empty() && start <= spans_.back().end) {
        spans_.back().end = std::max(spans_.back().end, end);
      } else {
        spans_.push_back({start, end});
        if (spans_.size() > kKeptBusySpans) spans_.pop_front();
      }
    }
    if (options_.record_capacity > 0) {
      if (record_.size() >= options_.record_capacity) {
        record_.pop_front();
        ++not_recorded_;
      }
      record_.push_back({end, member, frame});
    }
    forwarded_.fetch_add(1);
  }

  // ---------------------------------------------------------- instant bus

  // Reads what one member has written and hands it to every other member.
  // Returns false when the member has left.
  bool forwardFrom(const Member& from, const std::vector<Member>& members) {
    for (int n = 0; n < kFramesPerWake; ++n) {
      CanFrame frame{};
      ssize_t got = ::recv(from.fd, &frame, sizeof(frame), MSG_DONTWAIT);
      if (got == 0) return false;
      if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
      // Only the hub announces; a member's imitation goes nowhere.
      if (hw_interface::isLocalBusAnnouncement(&frame, static_cast<std::size_t>(got))) continue;
      deliver(frame, static_cast<std::size_t>(got), from, members);
      account(from.number, frame, Clock::now(), std::chrono::nanoseconds(0));
    }
    return true;
  }

  // ---------------------------------------------------------- timed bus

  // Looks at the member's next frame without taking it from its socket.
  void peekHead(Member* member, Clock::time_point seen) {
    if (member->head_known || member->gone) return;
    CanFrame frame{};  // a shorter message is carried zero-filled
    const ssize_t got = ::recv(member->fd, &frame, sizeof(frame), MSG_PEEK | MSG_DONTWAIT);
    if (got > 0) {
      member->head = frame;
      member->head_known = true;
      member->ready = seen;
    } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      member->gone = true;  // closed, and nothing of it left to carry
    }
  }

  // Ends every frame whose time on the bus is over and starts the next, as
  // long as the bus time is behind the clock.
  void advanceBus(std::vector<Member>* members) {
    for (;;) {
      const auto now = Clock::now();
      if (transmission_ && transmission_->end <= now) {
        const Transmission done = *transmission_;
        transmission_.reset();
        bus_free_ = done.end;
        for (Member& member : *members) {
          if (member.number != done.member) continue;
          finish(&member, done, *members);
          peekHead(&member, done.end);  // its next frame was queued behind
        }
      }
      if (!transmission_) startNext(*members);
      if (!transmission_ || transmission_->end > now) return;
    }
  }

  void finish(Member* member, const Transmission& done, const std::vector<Member>& members) {
    CanFrame taken;
    ssize_t got = ::recv(member->fd, &taken, sizeof(taken), MSG_DONTWAIT);  // off its transmit queue
    (void)got;
    member->head_known = false;
    deliver(member->head, sizeof(CanFrame), *member, members);
    account(member->number, member->head, done.end, done.duration);
  }

  // Arbitration: the bus starts when it is free and a frame waits; of the
  // frames waiting then, the lowest arbitration field wins.
  void startNext(const std::vector<Member>& members) {
    std::optional<Clock::time_point> earliest;
    for (const Member& member : members) {
      if (member.head_known && (!earliest || member.ready < *earliest)) earliest = member.ready;
    }
    if (!earliest) return;
    const Clock::time_point start = std::max(bus_free_, *earliest);
    const Member* winner = nullptr;
    for (const Member& member : members) {
      if (!member.head_known || member.ready > start) continue;
      if (winner == nullptr || arbitrationKey(member.head) < arbitrationKey(winner->head)) winner = &member;
    }
    const std::chrono::nanoseconds duration = frameDuration(winner->head, options_.bitrate);
    transmission_ = Transmission{winner->number, start + duration, duration};
  }

  // Forwarding thread only.
  std::optional<Transmission> transmission_;
  Clock::time_point bus_free_{};
};

BusHub::BusHub() : BusHub(BusHubOptions()) {}

BusHub::BusHub(const std::string& endpoint) : BusHub(endpoint, BusHubOptions()) {}

BusHub::BusHub(const BusHubOptions& options) : pimpl(new impl(uniqueEndpoint(), options)) {}

BusHub::BusHub(const std::string& endpoint, const BusHubOptions& options)
    : pimpl(new impl(endpoint, options)) {}

BusHub::~BusHub() = default;

const std::string& BusHub::endpoint() const { return pimpl->endpoint_; }

const BusHubOptions& BusHub::options() const { return pimpl->options_; }

std::size_t BusHub::memberCount() const {
  std::lock_guard<std::mutex> lock(pimpl->mutex_);
  return pimpl->connected_;
}

bool BusHub::waitForMembers(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(pimpl->mutex_);
  return pimpl->members_changed_.wait_for(lock, timeout, [&] { return pimpl->connected_ >= count; });
}

std::size_t BusHub::framesForwarded() const { return pimpl->forwarded_.load(); }

BusStatistics BusHub::statistics() const {
  BusStatistics statistics;
  std::lock_guard<PiMutex> lock(pimpl->record_mutex_);
  statistics.frames = pimpl->frames_;
  statistics.busy = pimpl->busy_;
  statistics.elapsed = Clock::now() - pimpl->started_;
  statistics.frames_not_recorded = pimpl->not_recorded_;
  statistics.members = pimpl->member_statistics_;
  return statistics;
}

double BusHub::busLoad(Clock::time_point from, Clock::time_point to) const {
  if (!(to > from)) throw std::invalid_argument("BusHub::busLoad: the window must end after it starts");
  std::lock_guard<PiMutex> lock(pimpl->record_mutex_);
  const auto& spans = pimpl->spans_;
  auto span = std::upper_bound(spans.begin(), spans.end(), from,
                               [](Clock::time_point t, const BusySpan& s) { return t < s.end; });
  Clock::duration busy(0);
  for (; span != spans.end() && span->start < to; ++span) {
    busy += std::min(span->end, to) - std::max(span->start, from);
  }
  return std::chrono::duration<double>(busy).count() / std::chrono::duration<double>(to - from).count();
}

std::vector<CarriedFrame> BusHub::takeCarriedFrames() {
  std::lock_guard<PiMutex> lock(pimpl->record_mutex_);
  std::vector<CarriedFrame> frames(pimpl->record_.begin(), pimpl->record_.end());
  pimpl->record_.clear();
  return frames;
}

void BusHub::dropMembers() {
  pimpl->drop_.store(true);
  pimpl->wake();
}

}  // namespace sim
}  // namespace kav
