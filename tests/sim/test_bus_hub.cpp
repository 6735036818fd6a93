// The bus hub as a bit-timed CAN bus: frame lengths, arbitration, the
// transmit queue that refuses a send, and what the hub counts and records.
#include <canbase/SocketCan.h>
#include <gtest/gtest.h>
#include <linux/can.h>
#include <sim/BusHub.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using kav::hw_interface::CanFrame;
using kav::hw_interface::SocketCan;
using kav::sim::BusHub;
using kav::sim::BusHubOptions;
using kav::sim::canFrameBits;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

CanFrame frameOf(uint32_t id, uint8_t length = 8) {
  CanFrame frame{};
  frame.can_id = id;
  frame.can_dlc = length;
  return frame;
}

BusHubOptions timedAt(std::uint32_t bitrate) {
  BusHubOptions options;
  options.bitrate = bitrate;
  options.record_capacity = 1000;
  return options;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms) {
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(2ms);
  }
  return condition();
}

// A member that keeps the identifiers it receives.
class Listener {
 public:
  explicit Listener(const BusHub& hub) {
    bus_.setCallBackFunction([this](CanFrame* frame) {
      std::lock_guard<std::mutex> lock(mutex_);
      ids_.push_back(frame->can_id);
    });
    bus_.Init(hub.endpoint().c_str());
  }
  std::vector<uint32_t> ids() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ids_;
  }

 private:
  std::mutex mutex_;
  std::vector<uint32_t> ids_;
  SocketCan bus_;  // last: destroyed first, so its thread stops before the callback's data goes
};

TEST(TimedBus, FramesTakeTheirLengthWithWorstCaseStuffing) {
  EXPECT_EQ(canFrameBits(frameOf(0x123, 8)), 135u);
  EXPECT_EQ(canFrameBits(frameOf(0x123, 0)), 55u);
  EXPECT_EQ(canFrameBits(frameOf(0x123, 15)), 135u);               // a length code above 8 carries 8 bytes
  EXPECT_EQ(canFrameBits(frameOf(0x123 | CAN_RTR_FLAG, 8)), 55u);  // a remote frame carries none
  EXPECT_EQ(canFrameBits(frameOf(0x123 | CAN_EFF_FLAG, 8)), 160u);
}

TEST(TimedBus, TheLowestWaitingIdentifierWinsAndEachMemberKeepsItsOrder) {
  // 135 ms per frame: everything below is queued while the first frame is
  // on the bus.
  BusHub hub(timedAt(1000));
  SocketCan a, b, c;
  for (SocketCan* member : {&a, &b, &c}) ASSERT_TRUE(member->Init(hub.endpoint().c_str()));
  Listener listener(hub);
  ASSERT_TRUE(hub.waitForMembers(4));
  auto send = [](SocketCan& member, uint32_t id) {
    CanFrame frame = frameOf(id);
    ASSERT_TRUE(member.ExchangeData(&frame));
  };
  send(a, 0x400);
  std::this_thread::sleep_for(20ms);
  send(b, 0x300);
  send(b, 0x100);
  send(c, 0x200);
  send(c, 0x120);
  send(a, 0x250);

  const std::vector<uint32_t> expected{0x400, 0x200, 0x120, 0x250, 0x300, 0x100};
  ASSERT_TRUE(waitFor([&] { return listener.ids().size() == expected.size(); }, 3000ms));
  EXPECT_EQ(listener.ids(), expected);

  // The bus carried them back to back, each for its 135 bit times, and
  // recorded who sent what.
  const auto carried = hub.takeCarriedFrames();
  ASSERT_EQ(carried.size(), expected.size());
  const std::size_t senders[] = {0, 2, 2, 0, 1, 1};
  for (std::size_t i = 0; i < carried.size(); ++i) {
    EXPECT_EQ(carried[i].frame.can_id, expected[i]);
    EXPECT_EQ(carried[i].member, senders[i]) << i;
    if (i > 0) {
      EXPECT_EQ(carried[i].end - carried[i - 1].end, 135ms) << i;
    }
  }
  EXPECT_TRUE(hub.takeCarriedFrames().empty());
}

TEST(TimedBus, AFullTransmitQueueRefusesTheSend) {
  BusHub hub(timedAt(1000));
  SocketCan sender;
  ASSERT_TRUE(sender.Init(hub.endpoint().c_str()));
  ASSERT_TRUE(hub.waitForMembers(1));
  // The transport sizes its queue when the hub's announcement arrives on its
  // receive thread, right after joining.
  std::this_thread::sleep_for(200ms);
  const std::uint64_t refused_before = SocketCan::framesRefusedInProcess();

  CanFrame frame = frameOf(0x10);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(sender.ExchangeData(&frame)) << i;
  EXPECT_FALSE(sender.ExchangeData(&frame));
  EXPECT_EQ(sender.framesRefused(), 1u);
  EXPECT_EQ(SocketCan::framesRefusedInProcess() - refused_before, 1u);

  // A frame that has been on the bus leaves room for one more.
  ASSERT_TRUE(waitFor([&] { return hub.statistics().frames >= 1; }));
  EXPECT_TRUE(sender.ExchangeData(&frame));
  EXPECT_FALSE(sender.ExchangeData(&frame));
  EXPECT_EQ(sender.framesRefused(), 2u);
}

TEST(TimedBus, StatisticsCountFramesAndBusyTimePerMember) {
  BusHub hub(timedAt(100000));  // 1.35 ms per 8-byte frame, 0.55 ms for an empty one
  SocketCan sender;
  ASSERT_TRUE(sender.Init(hub.endpoint().c_str()));
  Listener listener(hub);
  ASSERT_TRUE(hub.waitForMembers(2));
  for (CanFrame frame : {frameOf(1), frameOf(2), frameOf(3), frameOf(4, 0)}) {
    ASSERT_TRUE(sender.ExchangeData(&frame));
  }
  ASSERT_TRUE(waitFor([&] { return hub.statistics().frames == 4; }));

  const auto statistics = hub.statistics();
  ASSERT_EQ(statistics.members.size(), 2u);
  EXPECT_EQ(statistics.members[0].frames, 4u);
  EXPECT_EQ(statistics.members[0].busy, 4600us);
  EXPECT_TRUE(statistics.members[0].connected);
  EXPECT_EQ(statistics.members[1].frames, 0u);
  EXPECT_EQ(statistics.busy, 4600us);
  EXPECT_GT(statistics.load(), 0.0);
  EXPECT_LT(statistics.load(), 1.0);

  // Load over windows: all of the traffic, one frame, and before any.
  const auto carried = hub.takeCarriedFrames();
  ASSERT_EQ(carried.size(), 4u);
  const auto first_start = carried.front().end - 1350us;
  const auto last_end = carried.back().end;
  const auto window = (last_end - first_start) + 10ms;
  const double all = std::chrono::duration<double>(4600us) / std::chrono::duration<double>(window);
  EXPECT_NEAR(hub.busLoad(first_start - 5ms, last_end + 5ms), all, 1e-9);
  EXPECT_NEAR(hub.busLoad(first_start + 100us, first_start + 600us), 1.0, 1e-9);
  EXPECT_EQ(hub.busLoad(first_start - 5ms, first_start), 0.0);
  EXPECT_THROW(hub.busLoad(last_end, last_end), std::invalid_argument);
}

TEST(InstantBus, CountsAndRecordsWithinItsCapacityButTakesNoBusTime) {
  BusHubOptions options;
  options.record_capacity = 2;
  BusHub hub(options);
  SocketCan sender;
  ASSERT_TRUE(sender.Init(hub.endpoint().c_str()));
  Listener listener(hub);
  ASSERT_TRUE(hub.waitForMembers(2));
  for (uint32_t id : {1u, 2u, 3u}) {
    CanFrame frame = frameOf(id);
    ASSERT_TRUE(sender.ExchangeData(&frame));
  }
  ASSERT_TRUE(waitFor([&] { return listener.ids().size() == 3; }));
  const auto statistics = hub.statistics();
  EXPECT_EQ(statistics.frames, 3u);
  EXPECT_EQ(statistics.members[0].frames, 3u);
  EXPECT_EQ(statistics.busy, 0ns);
  EXPECT_EQ(statistics.frames_not_recorded, 1u);
  const auto carried = hub.takeCarriedFrames();
  ASSERT_EQ(carried.size(), 2u);  // the newest two
  EXPECT_EQ(carried[0].frame.can_id, 2u);
  EXPECT_EQ(carried[1].frame.can_id, 3u);
  EXPECT_EQ(hub.busLoad(Clock::now() - 1s, Clock::now()), 0.0);
}

TEST(BusHubOptions, OptionsOutOfRangeAreRefusedNamingThem) {
  const struct {
    BusHubOptions options;
    const char* named;
  } cases[] = {
      {{999, 10, 0, 0}, "bitrate"},           {{1000001, 10, 0, 0}, "bitrate"},
      {{1000000, 0, 0, 0}, "transmit_queue"}, {{1000000, 1001, 0, 0}, "transmit_queue"},
      {{0, 10, 0, 100}, "realtime_priority"}, {{0, 10, 0, -1}, "realtime_priority"},
  };
  for (const auto& c : cases) {
    try {
      BusHub hub(c.options);
      ADD_FAILURE() << c.named << " accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(c.named), std::string::npos) << error.what();
    }
  }
}

}  // namespace
