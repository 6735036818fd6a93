// What keeps a real-time thread from waiting: the console queue, the cycle
// clock's fallback, the bounded error history, and thread starts that fail.
#include <canbase/SocketCan.h>
#include <console/Console.h>
#include <controller/ErrorHistory.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <rt/Seams.h>
#include <sim/BusHub.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../../src/controller/CycleClock.h"

using namespace std::chrono_literals;

namespace {

// Runs @p body on a thread marked real-time.
template <class Body>
void onRealtimeThread(Body body) {
  std::thread([&] {
    kav::console::markRealtimeThread();
    body();
  }).join();
}

// Standard output redirected into a pipe for the life of the object.
class StdoutPipe {
 public:
  StdoutPipe() {
    std::fflush(stdout);
    EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
    saved_ = dup(1);
    dup2(fds_[1], 1);
  }
  ~StdoutPipe() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    close(fds_[0]);
    close(fds_[1]);
  }
  // Fills the pipe until a write would block.
  void fill() {
    fcntl(fds_[1], F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(fds_[1], block.data(), block.size()) > 0) {
    }
    fcntl(fds_[1], F_SETFL, 0);
  }
  // Reads what arrives within @p time.
  std::string drain(std::chrono::milliseconds time) {
    fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    std::string text;
    char buffer[65536];
    const auto until = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < until) {
      const ssize_t n = read(fds_[0], buffer, sizeof(buffer));
      if (n > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
      } else {
        std::this_thread::sleep_for(1ms);
      }
    }
    return text;
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

}  // namespace

TEST(ConsoleQueue, RealtimeLinesArriveInOrderAndAFullStdoutNeverBlocksThem) {
  kav::console::WriterLease lease;
  testing::internal::CaptureStdout();
  onRealtimeThread([] {
    for (int i = 0; i < 100; ++i) kav::console::print(kav::console::Stream::kOut, "line %d\n", i);
  });
  ASSERT_TRUE(kav::console::flush(2s));
  const std::string out = testing::internal::GetCapturedStdout();
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += "line " + std::to_string(i) + "\n";
  EXPECT_EQ(out, expected);

  // A standard output nobody reads: 2000 lines still go at once; what does
  // not fit the queue is dropped, counted, and reported once it can be.
  const std::uint64_t dropped_before = kav::console::droppedMessages();
  std::chrono::steady_clock::duration took{};
  std::string written;
  testing::internal::CaptureStderr();
  {
    StdoutPipe pipe;
    pipe.fill();
    onRealtimeThread([&] {
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < 2000; ++i) kav::console::print(kav::console::Stream::kOut, "flood %d\n", i);
      took = std::chrono::steady_clock::now() - start;
    });
    written = pipe.drain(500ms);
  }
  const std::uint64_t dropped = kav::console::droppedMessages() - dropped_before;
  EXPECT_LT(took, 500ms) << "printing waited for standard output";
  EXPECT_GT(dropped, 1000u);
  EXPECT_NE(written.find("flood 0\n"), std::string::npos);
  EXPECT_EQ(written.find("flood 1999\n"), std::string::npos) << "the newest lines are the dropped ones";
  ASSERT_TRUE(kav::console::flush(2s));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find(std::to_string(dropped) + " console messages dropped\n"), 0u) << err;
}

TEST(CycleClock, AFailingAbsoluteSleepIsReportedOnceAndReplacedByARelativeOne) {
  static int calls = 0;
  const auto failing = [](const timespec*) {
    ++calls;
    return EINVAL;
  };
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {
    const auto deadline = kav::t8::CycleClock::now() + 3ms;
    kav::t8::waitUntil(deadline, kav::t8::kCycleSpin, failing);
    EXPECT_GE(kav::t8::CycleClock::now(), deadline);
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(calls, 3) << "one attempt per wait, never a loop on the failing call";
  const std::string line = "[Controller] absolute sleep failed (Invalid argument); using relative sleeps\n";
  EXPECT_EQ(err, line);
}

TEST(ErrorHistory, KeepsTheFirstThousandAndTheNewestNineThousand) {
  kav::t8::ErrorHistory history;
  for (int code = 0; code < 500; ++code) history.append(code);
  std::vector<int> codes = history.codes();
  ASSERT_EQ(codes.size(), 500u);
  EXPECT_EQ(codes.back(), 499);
  for (int code = 500; code < 25000; ++code) history.append(code);
  codes = history.codes();
  ASSERT_EQ(codes.size(), 10000u);
  EXPECT_EQ(history.total(), 25000u);
  EXPECT_EQ(codes[0], 0);
  EXPECT_EQ(codes[999], 999);
  EXPECT_EQ(codes[1000], 25000 - 9000);
  EXPECT_EQ(codes.back(), 24999);
}

TEST(ThreadStart, ATransportWithoutItsReceiveThreadIsNotOpen) {
  kav::sim::BusHub hub;
  kav::hw_interface::SocketCan bus;
  kav::rt::failNextThreadStart("kav-can-rx", EAGAIN);
  EXPECT_FALSE(bus.Init(hub.endpoint().c_str()));
  EXPECT_TRUE(bus.threadStartFailed());
  EXPECT_FALSE(bus.IsOpen());
  // The request was used up: the next start works.
  EXPECT_TRUE(bus.Init(hub.endpoint().c_str()));
  EXPECT_FALSE(bus.threadStartFailed());
  bus.Close();
}
