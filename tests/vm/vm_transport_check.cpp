// The CAN transport on a real kernel CAN stack. Runs inside the test machine
// against a vcan interface, with can-utils (candump, cansend, cangen) and the
// kernel's own ip tool on the other side:
//   vm_transport_check [interface]        (default vcan0; must exist and be up)
// Prints one PASS or FAIL line per check and exits non-zero if any failed.
#include <canbase/SocketCan.h>
#include <linux/can.h>
#include <net/if.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vm_support.h"

using kav::hw_interface::CanFrame;
using kav::hw_interface::SocketCan;
using namespace kav::vmtest;
using namespace std::chrono_literals;

namespace {

const std::vector<std::string> kCloseLines = {"Waiting for receiver thread to terminate.",
                                              "terminate_receiver_thread_ is true",
                                              "receiver_thread_running_.load()", "return"};
const char* kCreated = "Created CAN socket with descriptor %d.";

// Bounds for the one-second rhythm of the receive loop. The test machine is
// emulated and shares the host's cores, so the upper bounds grow by how late
// a 10 ms sleeper woke over the same span (see WakeupWatch); on a quiet host
// they still tell two silent waits from three, and one second from two.
constexpr double kOfflineEarliest = 1.8;
constexpr double kOfflineLatest = 2.6;
constexpr double kRetryShortest = 0.7;
constexpr double kRetryLongest = 1.6;
constexpr double kClosePrompt = 3.0;

std::string lookupError(const std::string& name) {
  return "Unable to select CAN interface " + name + ": I/O control error";
}
std::string foundLine(const std::string& name, unsigned index) {
  return "Found: " + name + " has interface index " + std::to_string(index) + ".";
}
std::string boundLine(unsigned index) {
  return "Successfully bound socket to interface " + std::to_string(index) + ".";
}

bool addInterface(const std::string& name) {
  return run({"ip", "link", "add", "dev", name, "type", "vcan"}) == 0 &&
         run({"ip", "link", "set", "up", name}) == 0;
}

// Intervals between consecutive times, for the notes and the rhythm checks.
std::vector<double> intervals(const std::vector<Clock::time_point>& times) {
  std::vector<double> gaps;
  for (std::size_t i = 1; i < times.size(); ++i)
    gaps.push_back(std::chrono::duration<double>(times[i] - times[i - 1]).count());
  return gaps;
}

std::string listSeconds(const std::vector<double>& values) {
  std::string out;
  for (double v : values) out += (out.empty() ? "" : ", ") + formatSeconds(v);
  return out.empty() ? "none" : out;
}

bool allWithin(const std::vector<double>& values, double low, double high) {
  for (double v : values)
    if (v < low || v > high) return false;
  return true;
}

// Closes the transport while capturing; checks it returned promptly and that
// the receive thread finished.
void closePromptly(Report& r, SocketCan& bus, const std::string& when) {
  StdoutLines out(r.consoleFd());
  const auto start = Clock::now();
  bus.Close();
  const double took = secondsSince(start);
  out.stop();
  r.note("Close " + when + " took " + formatSeconds(took));
  r.check(took < kClosePrompt, "Close " + when + " returns within 3 s", "took " + formatSeconds(took));
  r.check(countMatching(out.lines(), "ReciveThread finish ") == 1 && !bus.IsOpen(),
          "Close " + when + " ends the receive thread and releases the socket", out.text());
}

// ---------------------------------------------------------------- groups

void openAndExchange(Report& r, const std::string& name) {
  r.group("open " + name + " and exchange frames with candump, cansend and cangen");
  const unsigned index = if_nametoindex(name.c_str());
  if (!r.check(index != 0, name + " exists")) return;
  Candump dump(name, "/tmp/exchange.candump");
  if (!r.check(dump.start(), "candump runs and shows marker frames")) return;

  Collector received;
  SocketCan bus;
  bus.setCallBackFunction(received.callback());
  StdoutLines opening(r.consoleFd());
  const bool opened = bus.Init(name.c_str());
  opening.waitFor("ReciveThread running ", 3000ms);
  opening.stop();
  r.check(opened, "Init returns true");
  r.check(bus.IsOpen(), "IsOpen is true after opening");
  r.check(linesInOrder(opening.lines(),
                       {kCreated, foundLine(name, index), boundLine(index), "ReciveThread running "}),
          "opening prints the descriptor, the interface index " + std::to_string(index) +
              ", the bind and the start of the receive thread",
          opening.text());
  if (!opened) return;

  // Frames sent by the transport, as candump shows them.
  const std::vector<CanFrame> sent = {
      makeFrame(0x001, 8, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}),
      makeFrame(0x7FF, 8, {0xFF, 0x00, 0xFF, 0x00, 0x80, 0x7F, 0x01, 0xFE}),
      makeFrame(0x000, 0),
      makeFrame(0x105, 1, {0x5A}),
      makeFrame(0x204, 3, {0xA5, 0x00, 0x3C}),
      makeFrame(0x033, 5, {0x10, 0x20, 0x30, 0x40, 0x50}),
      makeFrame(0x140, 7, {0xC3, 0x3C, 0x96, 0x69, 0x0F, 0xF0, 0x55}),
      makeFrame(CAN_EFF_FLAG | 0x12345678u, 8, {0xDE, 0xAD, 0xBE, 0xEF, 0xCA, 0xFE, 0xBA, 0xBE}),
      makeFrame(CAN_EFF_FLAG | 0x00000001u, 2, {0x00, 0x01}),
      makeFrame(CAN_RTR_FLAG | 0x321u, 0),
  };
  const int before = dump.mark();
  std::size_t accepted = 0;
  for (CanFrame frame : sent) accepted += bus.ExchangeData(&frame) ? 1 : 0;
  CanFrame too_long = makeFrame(0x010, 9, {1, 2, 3, 4, 5, 6, 7, 8});
  const bool too_long_accepted = bus.ExchangeData(&too_long);
  const int after = dump.mark();
  r.check(accepted == sent.size(),
          "ExchangeData returns true for each of the " + std::to_string(sent.size()) + " frames",
          std::to_string(accepted) + " accepted");
  r.check(!too_long_accepted,
          "ExchangeData returns false for a payload length of 9, which the kernel refuses");
  const auto dumped = dump.between(before, after);
  r.check(before > 0 && after > 0 && sameOnTheWire(dumped, sent),
          "candump shows exactly the frames the transport sent, in order, byte for byte",
          "sent " + describe(sent) + "\ncandump " + describe(dumped));

  // Frames typed with cansend, as the receive callback gets them. cansend
  // clears the whole frame record, so all 16 bytes are known.
  const std::vector<std::pair<std::string, CanFrame>> typed = {
      {"123#DEADBEEF", makeFrame(0x123, 4, {0xDE, 0xAD, 0xBE, 0xEF})},
      {"1ABCDEF0#0011223344556677",
       makeFrame(CAN_EFF_FLAG | 0x1ABCDEF0u, 8, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77})},
      {"7FF#", makeFrame(0x7FF, 0)},
      {"000#R", makeFrame(CAN_RTR_FLAG, 0)},
  };
  bool typed_ok = true;
  std::vector<CanFrame> expected;
  for (const auto& t : typed) {
    typed_ok = run({"cansend", name, t.first}) == 0 && typed_ok;
    expected.push_back(t.second);
  }
  r.check(typed_ok, "cansend sends four frames");
  received.waitForPayloadCount(expected.size(), 3000ms);
  std::this_thread::sleep_for(200ms);  // room for a frame that should not come
  const auto got = received.payloadFrames();
  bool same = got.size() == expected.size();
  for (std::size_t i = 0; same && i < got.size(); ++i) same = sameBytes(got[i], expected[i]);
  r.check(same,
          "the callback gets the four cansend frames in order, all 16 bytes as sent, "
          "and none of the frames the transport sent itself",
          "expected " + describe(expected) + "\ngot " + describe(got));

  // A stream of random frames: the callback and candump see the same.
  const int burst_from = dump.mark();
  const int standard = run({"cangen", name, "-n", "150", "-g", "1"});
  const int extended = run({"cangen", name, "-n", "50", "-g", "1", "-e"});
  const int burst_to = dump.mark();
  received.waitForMarker(burst_to, 3000ms);
  const auto dumped_burst = dump.between(burst_from, burst_to);
  const auto got_burst = received.between(burst_from, burst_to);
  r.check(standard == 0 && extended == 0 && dumped_burst.size() == 200,
          "cangen sends 150 standard and 50 extended frames and candump shows 200",
          "candump " + describe(dumped_burst));
  r.check(burst_from > 0 && burst_to > 0 && sameOnTheWire(got_burst, dumped_burst),
          "the callback gets the same 200 frames as candump, in the same order",
          "callback " + describe(got_burst) + "\ncandump " + describe(dumped_burst));

  StdoutLines closing(r.consoleFd());
  bus.Close();
  closing.stop();
  r.check(linesInOrder(closing.lines(), kCloseLines) &&
              countMatching(closing.lines(), "ReciveThread finish ") == 1,
          "Close prints its four messages and the receive thread finishes", closing.text());
  r.check(!bus.IsOpen(), "IsOpen is false after Close");
}

void unusableInterfaces(Report& r) {
  r.group("interfaces that cannot be used");
  {
    const std::string name = "vcan9";
    if (r.check(if_nametoindex(name.c_str()) == 0, name + " does not exist")) {
      SocketCan bus;
      StdoutLines out(r.consoleFd());
      const bool opened = bus.Init(name.c_str());
      CanFrame frame = makeFrame(0x001, 8);
      const bool sent = bus.ExchangeData(&frame);
      out.stop();
      r.check(!opened, "Init(\"" + name + "\") returns false");
      r.check(!bus.IsOpen(), "IsOpen is false after the failed Init");
      r.check(linesInOrder(out.lines(), {kCreated, lookupError(name)}) &&
                  linesFollow(out.lines(), lookupError(name), kCloseLines),
              "Init prints the lookup error, then exactly the four Close messages", out.text());
      r.check(countMatching(out.lines(), "ReciveThread running ") == 0, "no receive thread is started",
              out.text());
      r.check(!sent && countMatching(out.lines(), "[CAN] Unable to transmit: Socket not open") == 1,
              "ExchangeData returns false and prints the transmit message", out.text());
    }
  }
  {
    // The loopback interface exists but is no CAN interface: the kernel
    // refuses the bind.
    const unsigned index = if_nametoindex("lo");
    SocketCan bus;
    StdoutLines out(r.consoleFd());
    const bool opened = bus.Init("lo");
    out.stop();
    r.check(!opened && !bus.IsOpen(), "Init(\"lo\") returns false and holds no socket");
    r.check(
        linesInOrder(out.lines(), {foundLine("lo", index), "Failed to bind socket to network interface"}) &&
            linesFollow(out.lines(), "Failed to bind socket to network interface", kCloseLines),
        "Init on lo prints the index it found, the bind failure, then the four Close messages", out.text());
  }
  {
    // An interface that exists but is down: the kernel refuses to send, and
    // the transport must say so instead of reporting success.
    const std::string name = "vcan1";
    if (!r.check(run({"ip", "link", "add", "dev", name, "type", "vcan"}) == 0,
                 "ip link add " + name + " (left down)"))
      return;
    SocketCan bus;
    StdoutLines out(r.consoleFd());
    const bool opened = bus.Init(name.c_str());
    CanFrame frame = makeFrame(0x055, 2, {0x12, 0x34});
    const bool sent_down = opened && bus.ExchangeData(&frame);
    const bool up = run({"ip", "link", "set", "up", name}) == 0;
    Candump dump(name, "/tmp/down.candump");
    const bool dumping = dump.start();
    const int from = dump.mark();
    const bool sent_up = bus.ExchangeData(&frame);
    const int to = dump.mark();
    out.stop();
    r.check(opened, "Init on an interface that is down succeeds (the kernel binds it)", out.text());
    r.check(!sent_down, "ExchangeData returns false while the interface is down");
    r.check(up && dumping && sent_up && sameOnTheWire(dump.between(from, to), {frame}),
            "once the interface is up, the same transport sends and candump shows the frame",
            "candump " + describe(dump.between(from, to)));
    dump.stop();
    closePromptly(r, bus, "on an interface that came up late");
    run({"ip", "link", "del", "dev", name});
  }
}

void silence(Report& r, const std::string& name) {
  r.group("silence on " + name);
  const unsigned index = if_nametoindex(name.c_str());
  WakeupWatch wakeups;
  Collector received;
  SocketCan bus;
  bus.setCallBackFunction(received.callback());
  StdoutLines out(r.consoleFd());
  const auto opened_at = Clock::now();
  if (!r.check(bus.Init(name.c_str()), "Init returns true")) return;
  r.check(bus.checkOnline(), "the link is online right after opening");

  bool went_offline = false;
  double offline_after = 0;
  while (secondsSince(opened_at) < 6.0) {
    if (!bus.checkOnline()) {
      went_offline = true;
      offline_after = secondsSince(opened_at);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  const double offline_latest = kOfflineLatest + wakeups.lateSeconds();
  r.note("offline " + formatSeconds(offline_after) + " after Init (bound " + formatSeconds(offline_latest) +
         ")");
  r.check(went_offline && offline_after >= kOfflineEarliest && offline_after <= offline_latest,
          "the link is marked offline after two silent one-second waits, not one or three",
          went_offline ? "after " + formatSeconds(offline_after) : "still online after 6 s");

  // The bind of Init and three reconnections.
  out.waitForCount(boundLine(index), 4, 6000ms);
  // Every bind after the first is a reconnection.
  auto binds = timesOf(out.lines(), boundLine(index));
  const std::vector<Clock::time_point> reconnections(binds.empty() ? binds.end() : binds.begin() + 1,
                                                     binds.end());
  const auto gaps = intervals(reconnections);
  r.note(std::to_string(reconnections.size()) + " reconnections after going offline, intervals " +
         listSeconds(gaps) + "; a 10 ms sleeper woke late by " + formatSeconds(wakeups.lateSeconds()) +
         " in all, at most " + formatSeconds(wakeups.longestSeconds()) + " at once");
  r.check(reconnections.size() >= 3 && allWithin(gaps, kRetryShortest, kRetryLongest + wakeups.lateSeconds()),
          "while silence lasts, the transport reconnects about once a second (3 times in a row)", out.text());
  r.check(countMatching(out.lines(), kCreated) == binds.size() &&
              countMatching(out.lines(), foundLine(name, index)) == binds.size(),
          "each reconnection creates a socket, looks up " + name + " and binds", out.text());
  r.check(bus.IsOpen(), "a socket is held between reconnections");

  const CanFrame typed = makeFrame(0x0AB, 2, {0x01, 0x02});
  run({"cansend", name, "0AB#0102"});
  const bool arrived = received.waitForPayloadCount(1, 3000ms);
  const auto got = received.payloadFrames();
  r.check(arrived && sameBytes(got.front(), typed),
          "a frame sent with cansend after the reconnections reaches the callback", describe(got));
  r.check(!bus.checkOnline(), "the link stays marked offline once traffic returns");
  out.stop();
  closePromptly(r, bus, "after silence");
}

void silenceWithCloseReset(Report& r, const std::string& name) {
  r.group("silence on " + name + " after closeReset");
  Collector received;
  SocketCan bus;
  bus.setCallBackFunction(received.callback());
  bus.closeReset();
  StdoutLines out(r.consoleFd());
  if (!r.check(bus.Init(name.c_str()), "Init returns true")) return;
  std::this_thread::sleep_for(3000ms);
  r.check(bus.checkOnline(), "the link stays online through 3 s of silence");
  r.check(countMatching(out.lines(), kCreated) == 1, "no reconnection: one socket was created", out.text());
  run({"cansend", name, "0AC#03"});
  const bool arrived = received.waitForPayloadCount(1, 3000ms);
  r.check(arrived && sameBytes(received.payloadFrames().front(), makeFrame(0x0AC, 1, {0x03})),
          "the original socket still receives after the silence");
  out.stop();
  closePromptly(r, bus, "after closeReset");
}

void interfaceRemovedAndAdded(Report& r, const std::string& name) {
  r.group(name + " deleted while open, then added again");
  const unsigned old_index = if_nametoindex(name.c_str());
  WakeupWatch wakeups;
  Collector received;
  SocketCan bus;
  bus.setCallBackFunction(received.callback());
  StdoutLines out(r.consoleFd());
  if (!r.check(bus.Init(name.c_str()), "Init returns true")) return;
  run({"cansend", name, "100#01"});
  r.check(received.waitForPayloadCount(1, 3000ms),
          "a frame reaches the callback before the interface goes away");

  if (!r.check(run({"ip", "link", "del", "dev", name}) == 0, "ip link del " + name)) return;
  const bool retried = out.waitForCount(lookupError(name), 3, 8000ms);
  const auto gaps = intervals(timesOf(out.lines(), lookupError(name)));
  r.note("lookup retries while " + name + " is missing, intervals " + listSeconds(gaps) +
         "; a 10 ms sleeper woke late by " + formatSeconds(wakeups.lateSeconds()) + " in all, at most " +
         formatSeconds(wakeups.longestSeconds()) + " at once");
  r.check(retried && allWithin(gaps, kRetryShortest, kRetryLongest + wakeups.lateSeconds()),
          "while " + name + " is missing, the lookup is retried about once a second", out.text());
  r.check(!bus.checkOnline(), "the link is marked offline");
  r.check(!bus.IsOpen(), "no socket is held while the interface is missing");
  CanFrame frame = makeFrame(0x102, 3, {0x0A, 0x0B, 0x0C});
  r.check(!bus.ExchangeData(&frame), "ExchangeData returns false while the interface is missing");

  const auto added_at = Clock::now();
  if (!r.check(addInterface(name), "ip link add " + name + " and set it up")) return;
  const unsigned new_index = if_nametoindex(name.c_str());
  r.note(name + " had index " + std::to_string(old_index) + ", now " + std::to_string(new_index));
  const bool rebound = out.waitFor(boundLine(new_index), 5000ms, added_at);
  r.note("bound again " + formatSeconds(secondsSince(added_at)) + " after the interface came back");
  r.check(
      rebound && out.waitFor(foundLine(name, new_index), 0ms, added_at),
      "the transport finds the new interface index " + std::to_string(new_index) + " and binds within 5 s",
      out.text());
  r.check(bus.IsOpen(), "a socket is held again");

  received.clear();
  run({"cansend", name, "101#0203"});
  const bool arrived = received.waitForPayloadCount(1, 3000ms);
  r.check(arrived && sameBytes(received.payloadFrames().front(), makeFrame(0x101, 2, {0x02, 0x03})),
          "frames sent with cansend reach the callback again", describe(received.payloadFrames()));

  Candump dump(name, "/tmp/readded.candump");
  const bool dumping = dump.start();
  const int from = dump.mark();
  const bool sent = bus.ExchangeData(&frame);
  const int to = dump.mark();
  r.check(dumping && sent && sameOnTheWire(dump.between(from, to), {frame}),
          "frames sent by the transport reach candump again", "candump " + describe(dump.between(from, to)));
  dump.stop();
  out.stop();
  closePromptly(r, bus, "after the interface came back");
}

void stopWhileMissing(Report& r, const std::string& name) {
  r.group("stopping while " + name + " is missing");
  // Close, and destruction without Close, while the reconnection waits for
  // an interface that is not there.
  for (const bool by_destructor : {false, true}) {
    const std::string how = by_destructor ? "destruction" : "Close";
    auto bus = std::make_unique<SocketCan>();
    StdoutLines out(r.consoleFd());
    if (!r.check(bus->Init(name.c_str()), how + ": Init returns true")) return;
    run({"ip", "link", "del", "dev", name});
    const bool retrying = out.waitForCount(lookupError(name), 1, 8000ms);
    r.check(retrying, how + ": the reconnection is waiting for " + name, out.text());
    const auto start = Clock::now();
    if (by_destructor)
      bus.reset();
    else
      bus->Close();
    const double took = secondsSince(start);
    r.note(how + " while " + name + " is missing took " + formatSeconds(took));
    r.check(took < kClosePrompt, how + " returns within 3 s", "took " + formatSeconds(took));
    out.stop();
    r.check(countMatching(out.lines(), "ReciveThread finish ") == 1, how + ": the receive thread finished",
            out.text());
    if (!r.check(addInterface(name), "ip link add " + name + " again")) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Line buffering whatever standard output is, so captured lines carry the
  // time they were printed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string name = argc > 1 ? argv[1] : "vcan0";
  Report report;
  const auto start = Clock::now();
  openAndExchange(report, name);
  unusableInterfaces(report);
  silence(report, name);
  silenceWithCloseReset(report, name);
  interfaceRemovedAndAdded(report, name);
  stopWhileMissing(report, name);
  report.note("all checks took " + formatSeconds(secondsSince(start)));
  return report.finish("vm_transport_check");
}
