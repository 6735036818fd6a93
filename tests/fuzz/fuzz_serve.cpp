// Fuzzes kav serve's WebSocket protocol without the network: each input is
// a sequence of frames (flags byte: FIN, RSV bits and opcode; then the
// payload) that one client sends, interleaved with messages the server
// publishes; client messages on /arm/command go through the same checks as
// in kav serve (without an arm). Properties:
// - no frame throws or aborts, whatever its text (cut UTF-8 included);
// - every text frame the server queues is valid UTF-8 JSON, and every status
//   message is short (quotes of client text are excerpts);
// - the queue holds at most its bound of messages and, beyond one message,
//   of bytes, and counts its bytes exactly;
// - once the connection is closed, no channel counts a subscriber.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "../../apps/kav/serve/ArmCommand.h"
#include "../../apps/kav/serve/Protocol.h"
#include "fuzz_check.h"

namespace {

using kav_fuzz::fail;
using nlohmann::json;

constexpr std::size_t kLongestStatus = 512;

kav::serve::LiveServerOptions options() {
  kav::serve::LiveServerOptions o;
  o.queue_bound = 16;
  o.queue_bytes = 4096;
  o.max_message = 8192;
  return o;
}

std::vector<kav::serve::Channel> channels() {
  return {{1, "/joint_states", "json", "sensor_msgs/JointState", "{}", false},
          {3, "/robot_description", "json", "std_msgs/String", "{}", true}};
}

// A text frame that leaves the queue: valid JSON, and a short status.
void checkSent(const kav::serve::Client::Frame& frame) {
  if (frame.opcode != kav::serve::kText) return;
  json parsed;
  try {
    parsed = json::parse(frame.bytes);
  } catch (const json::exception& error) {
    fail(std::string("a queued text frame is not valid JSON: ") + error.what());
  }
  if (parsed.value("op", "") == "status" && parsed.at("message").get<std::string>().size() > kLongestStatus) {
    fail("a status message is longer than " + std::to_string(kLongestStatus) + " bytes");
  }
}

// Checks the queue's bounds and takes frames from it down to @p keep, as a
// writer that keeps up now and then would.
void drain(kav::serve::Client& client, const kav::serve::LiveServerOptions& o, std::size_t keep) {
  std::lock_guard<std::mutex> lock(client.mutex);
  std::size_t bytes = 0;
  for (const auto& frame : client.queue) bytes += frame.bytes.size();
  if (bytes != client.queued_bytes) fail("the queue miscounts its bytes");
  if (client.queue.size() > o.queue_bound) fail("the queue holds more messages than its bound");
  if (client.queue.size() > 1 && bytes > o.queue_bytes) fail("the queue holds more bytes than its bound");
  while (client.queue.size() > keep) {
    checkSent(client.queue.front());
    client.queued_bytes -= client.queue.front().bytes.size();
    client.queue.pop_front();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const kav::serve::LiveServerOptions o = options();
  const bool allow_control = input.ConsumeBool();
  kav::serve::Protocol protocol(o, channels(),
                                [allow_control](const kav::serve::Sender& sender, const std::string& topic,
                                                const std::string& encoding, const std::string& payload) {
                                  kav::serve::ArmCommand command;
                                  return kav::serve::checkClientMessage(sender, topic, encoding, payload,
                                                                        allow_control, &command);
                                });
  protocol.publish(3, 1, R"({"data":"<robot/>"})");
  kav::serve::Sender sender;
  sender.foreign_origin = input.ConsumeBool();
  if (sender.foreign_origin) sender.origin = input.ConsumeRandomLengthString(256);
  const auto client = protocol.open(sender, "127.0.0.1", !sender.foreign_origin);
  for (int frames = 0; frames < 8 && input.remaining_bytes() > 0; ++frames) {
    const int flags = input.ConsumeIntegral<std::uint8_t>();
    const std::string payload = input.ConsumeRandomLengthString(o.max_message);
    const int code = protocol.frame(*client, flags, payload.data(), payload.size());
    if (frames % 4 == 3) protocol.publish(1, frames, std::string(static_cast<std::size_t>(frames) * 64, 'x'));
    drain(*client, o, o.queue_bound / 2);
    if (code != 0) break;
  }
  drain(*client, o, 0);
  protocol.close(client);
  if (protocol.subscribed(1) || protocol.subscribed(3))
    fail("a closed connection still counts as a subscriber");
  return 0;
}
