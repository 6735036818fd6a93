#include "canbase/SocketCan.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "canbase/LocalBus.h"
#include "config/ArmConfig.h"
#include "console/Console.h"
#include "rt/PiMutex.h"
#include "rt/Priority.h"
#include "rt/Seams.h"

namespace kav {
namespace hw_interface {

namespace {

constexpr std::size_t kMaxInterfaceName = IFNAMSIZ - 1;

// Through the console queue on the receive thread (and on a control thread
// that sends), at once elsewhere.
void printLine(const char* text) { console::print(console::Stream::kOut, "%s\n", text); }

// How long Close waits for the console writer to write the receive thread's
// last lines before printing its own.
constexpr auto kConsoleFlushWait = std::chrono::milliseconds(100);

// Sends refused by a full transmit queue, by every transport of the process.
std::atomic<std::uint64_t> refused_in_process{0};

}  // namespace

class SocketCan::impl {
 public:
  console::WriterLease console_lease_;  // first: outlives the receive thread
  enum can_adapter_t { ADAPTER_NONE = 0, ADAPTER_SOCKETCAN = 1, ADAPTER_SLCAN = 2, ADAPTER_LOGFILE = 3 };
  using interface_request_t = struct ifreq;
  using can_socket_address_t = struct sockaddr_can;

  can_adapter_t adapter_type_ = ADAPTER_SOCKETCAN;
  std::string bus_name_;  // whole name, kept for reconnection
  std::atomic<bool> online_{true};
  std::atomic<bool> close_reset_{false};
  std::atomic<bool> terminate_receiver_thread_{false};
  std::atomic<bool> receiver_thread_running_{false};
  std::atomic<int> sockfd_{-1};
  std::atomic<std::uint64_t> refused_{0};
  interface_request_t if_request_{};
  can_socket_address_t addr_{};
  pthread_t thread_id_{};
  bool thread_started_ = false;  // a receive thread was created and not yet joined
  bool thread_start_failed_ = false;
  // Readable once Close asks the receive thread to stop: wakes its waits at once.
  int wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::function<void(CanFrame*)> CallBack_;
  TimedCallback TimedCallBack_;  // instead of CallBack_ when set
  std::function<void()> GetMsgContent_;
  CanFrame rx_frame_{};
  std::chrono::steady_clock::time_point rx_time_{};  // when rx_frame_ was received
  // Locks shared by the receive thread and the control thread (both real
  // time) and host threads: with priority inheritance.
  rt::PiMutex mutex_frame_;
  rt::PiMutex mutex_get_data_;
  // Keeps a send from writing to a descriptor number that the receive thread
  // is closing (and the system may hand out again for an unrelated file).
  rt::PiMutex mutex_socket_;

  impl() = default;

  ~impl() {
    printLine("Destroying SocketCAN adapter...");
    if (sockfd_.load() != -1) {
      Close();
      printLine("CAN socket destroyed.");
    } else if (thread_started_) {
      // A reconnection left no socket but the thread still runs: stop it.
      terminate_receiver_thread_.store(true);
      joinThread();
    }
    printLine("finish");
    if (wake_fd_ != -1) ::close(wake_fd_);
  }

  bool Init(const char* interface) {
    if (thread_started_ || sockfd_.load() != -1) {
      printLine("[CAN] Transport already open: Close it before opening it again");
      return false;
    }
    bus_name_ = interface ? interface : "";
    online_.store(true);
    thread_start_failed_ = false;
    int fd = createSocket();
    if (fd == -1) {
      printLine("Error: Unable to create a CAN socket");
      return false;
    }
    setSocket(fd);
    console::print(console::Stream::kOut, "Created CAN socket with descriptor %d.\n", fd);
    int index = 0;
    if (!lookUp(fd, &index)) {
      console::print(console::Stream::kOut, "Unable to select CAN interface %s: I/O control error\n",
                     bus_name_.c_str());
      Close();
      return false;
    }
    console::print(console::Stream::kOut, "Found: %s has interface index %d.\n", bus_name_.c_str(), index);
    if (!bindTo(fd, index)) {
      printLine("Failed to bind socket to network interface");
      Close();
      return false;
    }
    console::print(console::Stream::kOut, "Successfully bound socket to interface %d.\n", index);
    if (!startThread()) {
      // Never an open transport without its receive thread.
      Close();
      return false;
    }
    return true;
  }

  bool ExchangeData(CanFrame* frame) {
    std::lock_guard<rt::PiMutex> lock(mutex_socket_);
    int fd = sockfd_.load();
    if (fd == -1) {
      printLine("[CAN] Unable to transmit: Socket not open");
      return false;
    }
    if (frame == nullptr) return false;
    // Never block the caller's control loop and never raise SIGPIPE when the
    // peer of a local-socket bus is gone.
    ssize_t written = ::send(fd, frame, sizeof(CanFrame), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
      // The transmit queue is full (a SocketCAN interface's, or a timed
      // local-socket bus's): the frame is refused, as on the wire.
      refused_.fetch_add(1);
      refused_in_process.fetch_add(1);
    }
    return written == static_cast<ssize_t>(sizeof(CanFrame));
  }

  void setCallBackFunction(std::function<void(CanFrame*)> callback) {
    std::lock_guard<rt::PiMutex> lock(mutex_get_data_);
    CallBack_ = std::move(callback);
    TimedCallBack_ = nullptr;
  }

  void setTimedCallBackFunction(TimedCallback callback) {
    std::lock_guard<rt::PiMutex> lock(mutex_get_data_);
    TimedCallBack_ = std::move(callback);
    CallBack_ = nullptr;
  }

  void setGetMsgContentFunction(std::function<void()> callback) {
    std::lock_guard<rt::PiMutex> lock(mutex_get_data_);
    GetMsgContent_ = std::move(callback);
  }

  void LoadMutexMsg() {
    std::lock_guard<rt::PiMutex> lock(mutex_get_data_);
    if (GetMsgContent_) GetMsgContent_();
  }

  void Close() {
    // The receive thread's lines so far come before these.
    if (!console::onRealtimeThread()) console::flush(kConsoleFlushWait);
    printLine("Waiting for receiver thread to terminate.");
    terminate_receiver_thread_.store(true);
    wakeReceiveThread();
    printLine("terminate_receiver_thread_ is true");
    const bool on_receive_thread = thread_started_ && pthread_equal(pthread_self(), thread_id_);
    if (!on_receive_thread) {
      if (receiver_thread_running_.load()) printLine("waitting receiver_thread close");
      // Woken above, the thread ends at once (or after the callback it runs).
      if (joinThread()) console::flush(kConsoleFlushWait);
    }
    printLine("receiver_thread_running_.load()");
    if (sockfd_.load() == -1) return;
    printLine("return");
    setSocket(-1);
  }

  CanFrame GetCanFrame() {
    std::lock_guard<rt::PiMutex> lock(mutex_frame_);
    return rx_frame_;
  }

 private:
  bool unixEndpoint() const { return isLocalBusEndpoint(bus_name_); }

  int createSocket() {
    const int fd = unixEndpoint() ? ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)
                                  : ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    // Every frame carries the kernel's receive timestamp; without it the
    // frames are timed when read.
    const int on = 1;
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    return fd;
  }

  // Reads one message into rx_frame_ and its receive time into rx_time_.
  ssize_t receiveFrame(int fd) {
    iovec data{&rx_frame_, sizeof(rx_frame_)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    const ssize_t received = ::recvmsg(fd, &message, 0);
    const auto now = std::chrono::steady_clock::now();
    rx_time_ = now;
    if (received < 0) return received;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_TIMESTAMPNS) continue;
      timespec stamp;
      std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
      // The stamp is of the wall clock: its age moves it onto the monotonic one.
      timespec wall;
      clock_gettime(CLOCK_REALTIME, &wall);
      const auto age = std::chrono::seconds(wall.tv_sec - stamp.tv_sec) +
                       std::chrono::nanoseconds(wall.tv_nsec - stamp.tv_nsec);
      // A wall clock set meanwhile gives an age that cannot be: keep the read time.
      if (age >= std::chrono::nanoseconds(0) && age < std::chrono::seconds(1)) {
        rx_time_ = now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
      }
    }
    return received;
  }

  // Replaces the held descriptor, closing the old one, under the send lock.
  void setSocket(int fd) {
    std::lock_guard<rt::PiMutex> lock(mutex_socket_);
    int old = sockfd_.exchange(fd);
    if (old != -1 && old != fd) ::close(old);
  }

  // The interface-index lookup; for a local-socket bus, the connect.
  bool lookUp(int fd, int* index) {
    if (unixEndpoint()) {
      sockaddr_un addr;
      socklen_t length = 0;
      if (!localBusAddress(bus_name_, &addr, &length)) return false;
      *index = 0;
      return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0;
    }
    if (bus_name_.empty() || bus_name_.size() > kMaxInterfaceName) return false;
    std::memset(&if_request_, 0, sizeof(if_request_));
    std::memcpy(if_request_.ifr_name, bus_name_.data(), bus_name_.size());
    if (::ioctl(fd, SIOCGIFINDEX, &if_request_) == -1) return false;
    *index = if_request_.ifr_ifindex;
    return true;
  }

  bool bindTo(int fd, int index) {
    if (unixEndpoint()) return true;  // connected by the lookup
    std::memset(&addr_, 0, sizeof(addr_));
    addr_.can_family = AF_CAN;
    addr_.can_ifindex = index;
    return ::bind(fd, reinterpret_cast<sockaddr*>(&addr_), sizeof(addr_)) != -1;
  }

  bool startThread() {
    terminate_receiver_thread_.store(false);
    uint64_t pending = 0;
    while (::read(wake_fd_, &pending, sizeof(pending)) > 0) {
    }
    if (rt::startThread(&thread_id_, "kav-can-rx", &impl::ReciveThreadWrapper, this) != 0) {
      std::fprintf(stderr, "Failed to create thread\n");
      thread_start_failed_ = true;
      return false;
    }
    thread_started_ = true;
    return true;
  }

  // Joins a started receive thread; false when there was none.
  bool joinThread() {
    if (!thread_started_) return false;
    pthread_join(thread_id_, nullptr);
    thread_started_ = false;
    return true;
  }

  void wakeReceiveThread() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof(one));
  }

  static void* ReciveThreadWrapper(void* self) {
    static_cast<impl*>(self)->ReceiveThread();
    return nullptr;
  }

  // Sleeps up to the given time, returning early (false) on a stop request.
  bool sleepUnlessStopped(std::chrono::milliseconds total) {
    const auto until = std::chrono::steady_clock::now() + total;
    while (!terminate_receiver_thread_.load()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return true;
      pollfd wake{wake_fd_, POLLIN, 0};
      ::poll(&wake, 1, static_cast<int>(left.count()));
    }
    return false;
  }

  // Waits up to one second for the held socket to become readable; a stop
  // request ends the wait at once. A missing socket (a failed reconnection)
  // counts as a silent second.
  bool waitReadable(int fd) {
    if (fd == -1) {
      sleepUnlessStopped(std::chrono::milliseconds(1000));
      return false;
    }
    pollfd entries[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(entries, 2, 1000) <= 0) return false;
    return (entries[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !terminate_receiver_thread_.load();
  }

  void ReceiveThread() {
    pthread_setname_np(pthread_self(), "kav-can-rx");
    // Feedback keeps flowing on a busy machine when the thread may run at a
    // real-time priority (just below a control thread's).
    rt::preferRealtime(config::kReceiveThreadPriority);
    console::markRealtimeThread();
    receiver_thread_running_.store(true);
    printLine("ReciveThread running ");
    int timeout_count = 0;
    while (!terminate_receiver_thread_.load()) {
      const int fd = sockfd_.load();
      if (waitReadable(fd)) {
        ssize_t received;
        {
          std::lock_guard<rt::PiMutex> lock(mutex_frame_);
          std::memset(&rx_frame_, 0, sizeof(rx_frame_));  // a short read leaves no stale bytes
          received = receiveFrame(fd);
        }
        if (received < 0) {
          // Dropped silently; the pause keeps a lasting error from spinning.
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          continue;
        }
        // A timed local-socket bus announces this member's transmit queue
        // first; it is no frame.
        if (unixEndpoint() && applyLocalBusAnnouncement(fd, &rx_frame_, static_cast<std::size_t>(received))) {
          continue;
        }
        if (received == 0 && unixEndpoint()) {
          // The bus hub went away: as good as a silent second.
          sleepUnlessStopped(std::chrono::milliseconds(1000));
          ++timeout_count;
        } else {
          timeout_count = 0;
          std::lock_guard<rt::PiMutex> lock(mutex_get_data_);
          if (TimedCallBack_) {
            TimedCallBack_(&rx_frame_, rx_time_);
          } else if (CallBack_) {
            CallBack_(&rx_frame_);
          }
        }
      } else {
        ++timeout_count;
      }
      if (timeout_count >= 2 && !close_reset_.load() && !terminate_receiver_thread_.load()) {
        online_.store(false);
        reset();
      }
    }
    receiver_thread_running_.store(false);
    printLine("ReciveThread finish ");
  }

  // Reopens the socket after silence; retries every second while the
  // interface (or the bus address) is missing, until a stop is requested.
  void reset() {
    setSocket(-1);
    int index = 0;
    for (;;) {
      if (terminate_receiver_thread_.load()) return;
      int fd = createSocket();
      if (fd < 0) printLine("Error: Unable to create a CAN socket");
      console::print(console::Stream::kOut, "Created CAN socket with descriptor %d.\n", fd);
      if (fd >= 0 && lookUp(fd, &index)) {
        setSocket(fd);
        break;
      }
      console::print(console::Stream::kOut, "Unable to select CAN interface %s: I/O control error\n",
                     bus_name_.c_str());
      if (fd >= 0) ::close(fd);
      if (!sleepUnlessStopped(std::chrono::milliseconds(1000))) return;
    }
    console::print(console::Stream::kOut, "Found: %s has interface index %d.\n", bus_name_.c_str(), index);
    if (!bindTo(sockfd_.load(), index)) {
      printLine("Failed to bind socket to network interface");
      setSocket(-1);
      return;
    }
    console::print(console::Stream::kOut, "Successfully bound socket to interface %d.\n", index);
  }
};

SocketCan::SocketCan() : pimpl(new impl()) { printLine("SocketCAN adapter created."); }

SocketCan::~SocketCan() = default;

bool SocketCan::Init(const char* interface) { return pimpl->Init(interface); }

bool SocketCan::ExchangeData(CanFrame* frame) { return pimpl->ExchangeData(frame); }

bool SocketCan::WriteData() { return true; }

bool SocketCan::ReadData() {
  std::printf("[ReadData]");
  return true;
}

bool SocketCan::IsOpen() { return pimpl->sockfd_.load() != -1; }

bool SocketCan::threadStartFailed() const { return pimpl->thread_start_failed_; }

std::uint64_t SocketCan::framesRefused() const { return pimpl->refused_.load(); }

std::uint64_t SocketCan::framesRefusedInProcess() { return refused_in_process.load(); }

bool SocketCan::checkOnline() { return pimpl->online_.load(); }

void SocketCan::closeReset() { pimpl->close_reset_.store(true); }

void SocketCan::setCallBackFunction(std::function<void(CanFrame*)> callback) {
  pimpl->setCallBackFunction(std::move(callback));
}

void SocketCan::setTimedCallBackFunction(TimedCallback callback) {
  pimpl->setTimedCallBackFunction(std::move(callback));
}

void SocketCan::setGetMsgContentFunction(std::function<void()> callback) {
  pimpl->setGetMsgContentFunction(std::move(callback));
}

void SocketCan::LoadMutexMsg() { pimpl->LoadMutexMsg(); }

void SocketCan::Close() { pimpl->Close(); }

}  // namespace hw_interface
}  // namespace kav
