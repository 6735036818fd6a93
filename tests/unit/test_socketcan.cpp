// The transport over the local-socket bus: frames both ways, callbacks, link
// watching, reconnection, closing, and bad input.
#include <canbase/SocketCan.h>
#include <gtest/gtest.h>
#include <sim/BusHub.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using kav::hw_interface::CanFrame;
using kav::hw_interface::SocketCan;
using kav::sim::BusHub;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms) {
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return condition();
}

class Collector {
 public:
  std::function<void(CanFrame*)> callback() {
    return [this](CanFrame* frame) {
      std::lock_guard<std::mutex> lock(mutex_);
      frames_.push_back(*frame);
    };
  }
  std::vector<CanFrame> frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  std::size_t count() { return frames().size(); }

 private:
  std::mutex mutex_;
  std::vector<CanFrame> frames_;
};

CanFrame makeFrame(uint32_t id, uint8_t dlc, uint8_t seed) {
  CanFrame frame{};
  frame.can_id = id;
  frame.can_dlc = dlc;
  for (int i = 0; i < 8; ++i) frame.data[i] = static_cast<uint8_t>(seed + i);
  return frame;
}

bool sameBytes(const CanFrame& a, const CanFrame& b) { return std::memcmp(&a, &b, sizeof(CanFrame)) == 0; }

// Opens a transport on the hub and waits until the hub has accepted it.
void open(SocketCan& bus, const BusHub& hub, std::size_t members) {
  ASSERT_TRUE(bus.Init(hub.endpoint().c_str()));
  ASSERT_TRUE(hub.waitForMembers(members));
}

std::string capturedStdout(const std::function<void()>& action) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  action();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Lines of `text` that appear in `expected` order (others may be between).
bool linesInOrder(const std::string& text, const std::vector<std::string>& expected) {
  std::size_t from = 0;
  for (const auto& line : expected) {
    const std::size_t at = text.find(line + "\n", from);
    if (at == std::string::npos) return false;
    from = at + line.size() + 1;
  }
  return true;
}

}  // namespace

TEST(SocketCanBus, FramesTravelBothWaysByteForByteInOrder) {
  BusHub hub;
  Collector at_a, at_b;
  SocketCan a, b;
  a.setCallBackFunction(at_a.callback());
  b.setCallBackFunction(at_b.callback());
  open(a, hub, 1);
  open(b, hub, 2);
  EXPECT_TRUE(a.IsOpen());

  std::vector<CanFrame> sent;
  for (int i = 0; i < 200; ++i) {
    // Any identifier and any length pass through untouched.
    CanFrame frame = makeFrame(static_cast<uint32_t>(i * 0x01010101u), static_cast<uint8_t>(i % 16),
                               static_cast<uint8_t>(i));
    sent.push_back(frame);
    ASSERT_TRUE(a.ExchangeData(&frame));
    if (i % 50 == 49) std::this_thread::sleep_for(2ms);
  }
  CanFrame back = makeFrame(0x7FF, 8, 0xA0);
  ASSERT_TRUE(b.ExchangeData(&back));

  ASSERT_TRUE(waitFor([&] { return at_b.count() == sent.size() && at_a.count() == 1; }));
  auto received = at_b.frames();
  for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_TRUE(sameBytes(received[i], sent[i])) << i;
  EXPECT_TRUE(sameBytes(at_a.frames()[0], back));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(at_a.count(), 1u) << "no local echo";
  EXPECT_TRUE(a.checkOnline());
}

TEST(SocketCanBus, OpeningPrintsItsStepsAndClosingStopsTheThread) {
  BusHub hub;
  SocketCan bus;
  const std::string opened = capturedStdout([&] {
    ASSERT_TRUE(bus.Init(hub.endpoint().c_str()));
    std::this_thread::sleep_for(100ms);
  });
  EXPECT_NE(opened.find("Created CAN socket with descriptor "), std::string::npos) << opened;
  EXPECT_TRUE(linesInOrder(opened, {"Found: " + hub.endpoint() + " has interface index 0.",
                                    "Successfully bound socket to interface 0.", "ReciveThread running "}))
      << opened;

  const auto start = Clock::now();
  const std::string closed = capturedStdout([&] { bus.Close(); });
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_TRUE(
      linesInOrder(closed, {"Waiting for receiver thread to terminate.", "terminate_receiver_thread_ is true",
                            "receiver_thread_running_.load()", "return"}))
      << closed;
  EXPECT_NE(closed.find("ReciveThread finish \n"), std::string::npos);
  EXPECT_FALSE(bus.IsOpen());
  EXPECT_TRUE(waitFor([&] { return hub.memberCount() == 0; }));

  // The transport can be opened again after closing.
  ASSERT_TRUE(bus.Init(hub.endpoint().c_str()));
  EXPECT_TRUE(hub.waitForMembers(1));
}

TEST(SocketCanBus, MissingAddressFailsWithTheLookupErrorAndCloseMessages) {
  SocketCan bus;
  bool result = true;
  const std::string out = capturedStdout([&] { result = bus.Init("unix:@kav-no-such-bus-here"); });
  EXPECT_FALSE(result);
  EXPECT_FALSE(bus.IsOpen());
  EXPECT_TRUE(
      linesInOrder(out, {"Unable to select CAN interface unix:@kav-no-such-bus-here: I/O control error",
                         "Waiting for receiver thread to terminate.", "terminate_receiver_thread_ is true",
                         "receiver_thread_running_.load()", "return"}))
      << out;
  EXPECT_EQ(out.find("ReciveThread"), std::string::npos);

  // Close without a thread returns at once after its messages.
  const auto start = Clock::now();
  const std::string closed = capturedStdout([&] { bus.Close(); });
  EXPECT_LT(Clock::now() - start, 500ms);
  EXPECT_EQ(closed,
            "Waiting for receiver thread to terminate.\nterminate_receiver_thread_ is true\n"
            "receiver_thread_running_.load()\n");
}

TEST(SocketCanBus, BadNamesAreRefusedWithoutCrashing) {
  // Neither a CAN interface (this kernel may have none) nor a usable address.
  const std::string too_long_path = "unix:/" + std::string(200, 'x');
  for (const char* name :
       {static_cast<const char*>(nullptr), "", "unix:", "unix:@", "no-such-interface-name",
        "can-with-a-name-of-more-than-15", too_long_path.c_str(), "unix:/nonexistent/dir/bus.sock"}) {
    SocketCan bus;
    EXPECT_FALSE(bus.Init(name)) << (name ? name : "(null)");
    EXPECT_FALSE(bus.IsOpen());
    CanFrame frame = makeFrame(1, 8, 0);
    EXPECT_FALSE(bus.ExchangeData(&frame));
  }
}

TEST(SocketCanBus, SendingWithoutASocketFailsEveryTimeWithItsMessage) {
  SocketCan bus;
  CanFrame frame = makeFrame(1, 8, 0);
  const std::string out = capturedStdout([&] {
    EXPECT_FALSE(bus.ExchangeData(&frame));
    EXPECT_FALSE(bus.ExchangeData(&frame));
    EXPECT_FALSE(bus.ExchangeData(nullptr));
  });
  EXPECT_EQ(out,
            "[CAN] Unable to transmit: Socket not open\n[CAN] Unable to transmit: Socket not open\n"
            "[CAN] Unable to transmit: Socket not open\n");
  EXPECT_EQ(capturedStdout([&] { EXPECT_TRUE(bus.ReadData()); }), "[ReadData]");
  EXPECT_TRUE(bus.WriteData());

  BusHub hub;
  open(bus, hub, 1);
  EXPECT_FALSE(bus.ExchangeData(nullptr));  // open, but nothing to send
}

TEST(SocketCanBus, SilenceMarksTheLinkOfflineForGoodAndReconnects) {
  BusHub hub;
  Collector received;
  SocketCan bus, peer;
  bus.setCallBackFunction(received.callback());
  open(bus, hub, 1);
  open(peer, hub, 2);
  EXPECT_TRUE(bus.checkOnline());

  // Two silent one-second waits: offline, then a reconnection each second.
  ASSERT_TRUE(waitFor([&] { return !bus.checkOnline(); }, 4000ms));
  const std::size_t forwarded = hub.framesForwarded();
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(bus.IsOpen());
  EXPECT_EQ(hub.framesForwarded(), forwarded);

  // Traffic returns: frames arrive through the new socket, the link stays
  // reported offline.
  ASSERT_TRUE(waitFor([&] {
    CanFrame frame = makeFrame(0x42, 8, 7);
    peer.ExchangeData(&frame);
    return received.count() > 0;
  }));
  EXPECT_EQ(received.frames()[0].can_id, 0x42u);
  EXPECT_FALSE(bus.checkOnline());
}

TEST(SocketCanBus, ReconnectionLinesRepeatWhileTheBusIsGone) {
  auto hub = std::make_unique<BusHub>();
  const std::string endpoint = hub->endpoint();
  SocketCan bus;
  open(bus, *hub, 1);
  std::string out = capturedStdout([&] {
    hub.reset();  // the bus disappears
    std::this_thread::sleep_for(3500ms);
  });
  EXPECT_FALSE(bus.checkOnline());
  const std::string lookup = "Unable to select CAN interface " + endpoint + ": I/O control error\n";
  std::size_t attempts = 0;
  for (std::size_t at = out.find(lookup); at != std::string::npos; at = out.find(lookup, at + 1)) ++attempts;
  EXPECT_GE(attempts, 1u) << out;

  // Close yields even though the retry loop is waiting for the address.
  const auto start = Clock::now();
  capturedStdout([&] { bus.Close(); });
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_FALSE(bus.IsOpen());
}

TEST(SocketCanBus, CloseResetKeepsTheLinkOnlineThroughSilence) {
  BusHub hub;
  SocketCan bus;
  bus.closeReset();
  open(bus, hub, 1);
  std::this_thread::sleep_for(2600ms);
  EXPECT_TRUE(bus.checkOnline());
  EXPECT_EQ(hub.memberCount(), 1u);  // never reconnected
}

TEST(SocketCanBus, ReplacedCallbackIsNeverCalledAfterTheReplacementReturns) {
  BusHub hub;
  SocketCan bus, sender;
  open(bus, hub, 1);
  open(sender, hub, 2);
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    CanFrame frame = makeFrame(0x10, 8, 0);
    while (!stop.load()) {
      sender.ExchangeData(&frame);
      std::this_thread::sleep_for(50us);
    }
  });
  for (int round = 0; round < 20; ++round) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto alive = std::make_shared<std::atomic<bool>>(true);
    auto misuse = std::make_shared<std::atomic<int>>(0);
    bus.setCallBackFunction([calls, alive, misuse](CanFrame*) {
      if (!alive->load()) ++*misuse;
      ++*calls;
    });
    waitFor([&] { return calls->load() > 5; }, 1000ms);
    bus.setCallBackFunction(nullptr);
    alive->store(false);
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(misuse->load(), 0) << "round " << round;
  }
  stop.store(true);
  flood.join();
}

TEST(SocketCanBus, LoadMutexMsgNeverOverlapsTheReceiveCallback) {
  BusHub hub;
  SocketCan bus, sender;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> received{0};
  auto enter = [&] {
    if (inside.fetch_add(1) != 0) ++overlaps;
    std::this_thread::sleep_for(20us);
    inside.fetch_sub(1);
  };
  bus.setCallBackFunction([&](CanFrame*) {
    enter();
    ++received;
  });
  bus.setGetMsgContentFunction(enter);
  open(bus, hub, 1);
  open(sender, hub, 2);
  std::thread flood([&] {
    CanFrame frame = makeFrame(0x20, 8, 0);
    for (int i = 0; i < 3000; ++i) {
      sender.ExchangeData(&frame);
      if (i % 8 == 0) std::this_thread::sleep_for(20us);
    }
  });
  for (int i = 0; i < 3000; ++i) bus.LoadMutexMsg();
  flood.join();
  waitFor([&] { return received.load() > 100; });
  EXPECT_GT(received.load(), 100);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(SocketCanBus, ShortMessageReachesTheCallbackZeroFilled) {
  BusHub hub;
  Collector received;
  SocketCan bus;
  bus.setCallBackFunction(received.callback());
  CanFrame full = makeFrame(0x123, 8, 0x55);
  open(bus, hub, 1);

  // A raw member that writes a full frame, then a 6-byte message.
  int raw = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string name = hub.endpoint().substr(6);  // after "unix:@"
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  ASSERT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&addr),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
            0);
  ASSERT_TRUE(hub.waitForMembers(2));
  ASSERT_EQ(::send(raw, &full, sizeof(full), 0), 16);
  const uint8_t part[6] = {0x21, 0x43, 0, 0, 3, 0xEE};
  ASSERT_EQ(::send(raw, part, sizeof(part), 0), 6);
  ASSERT_TRUE(waitFor([&] { return received.count() == 2; }));
  CanFrame shortened = received.frames()[1];
  EXPECT_EQ(shortened.can_id, 0x4321u);
  EXPECT_EQ(shortened.can_dlc, 3);
  EXPECT_EQ(shortened.__pad, 0xEE);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(shortened.data[i], 0) << "stale byte " << i;
  ::close(raw);
}

TEST(SocketCanBus, DestructionStopsAThreadThatHasNoSocket) {
  auto hub = std::make_unique<BusHub>();
  auto bus = std::make_unique<SocketCan>();
  open(*bus, *hub, 1);
  hub.reset();
  // Wait until a reconnection attempt has failed and left no socket.
  ASSERT_TRUE(waitFor([&] { return !bus->IsOpen(); }, 6000ms));
  const auto start = Clock::now();
  const std::string out = capturedStdout([&] { bus.reset(); });
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_TRUE(linesInOrder(out, {"Destroying SocketCAN adapter...", "finish"})) << out;
  EXPECT_NE(out.find("ReciveThread finish "), std::string::npos) << out;
}

TEST(SocketCanBus, SendingToAVanishedBusFailsInsteadOfRaisingASignal) {
  auto hub = std::make_unique<BusHub>();
  SocketCan bus;
  bus.closeReset();  // keep the dead socket: no reconnection
  open(bus, *hub, 1);
  hub.reset();
  CanFrame frame = makeFrame(1, 8, 1);
  EXPECT_TRUE(waitFor([&] { return !bus.ExchangeData(&frame); }));
}

TEST(SocketCanBus, OpeningTwiceIsRefused) {
  BusHub hub;
  SocketCan bus;
  open(bus, hub, 1);
  EXPECT_FALSE(bus.Init(hub.endpoint().c_str()));
  EXPECT_TRUE(bus.IsOpen());
  EXPECT_EQ(hub.memberCount(), 1u);
}
