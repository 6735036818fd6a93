#pragma once
// The Foxglove WebSocket protocol of kav serve without the network: the
// connections' subscriptions, advertised channels and send queues, and the
// handling of every frame a client sends. LiveServer carries it over
// civetweb; the fuzz target drives it directly.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LiveServer.h"
#include "Text.h"

namespace kav {
namespace serve {

/// WebSocket opcodes (RFC 6455).
enum Opcode : int { kContinuation = 0x0, kText = 0x1, kBinary = 0x2, kClose = 0x8, kPing = 0x9, kPong = 0xa };

/// One WebSocket connection: its subscriptions, its advertised channels and
/// the queue its writer empties.
struct Client {
  struct Frame {
    int opcode;
    std::string bytes;
  };

  ClientStats stats;
  Sender sender;
  bool trusted = false;  ///< a loopback client of the page's own origin (or a program)

  mutable std::mutex mutex;
  std::condition_variable wake;
  std::deque<Frame> queue;
  std::size_t queued_bytes = 0;
  bool closing = false;
  std::map<std::uint32_t, std::uint32_t> subscriptions;                     // subscription id -> channel
  std::map<std::uint32_t, std::pair<std::string, std::string>> advertised;  // id -> topic, encoding
  int message_opcode = -1;  // of the fragmented message being reassembled, -1: none
  std::string fragments;

  /// Queues a frame; over @p bound messages or @p bytes bytes the oldest
  /// message data is skipped (the oldest text operation only when the
  /// queue holds nothing else).
  void push(int opcode, std::string bytes, std::size_t bound, std::size_t byte_bound);
  /// Sends the queue through @p write until closing or a write fails.
  void write(const std::function<int(int opcode, const std::string& bytes)>& write);
};

class Protocol {
 public:
  Protocol(LiveServerOptions options, std::vector<Channel> channels, ClientMessageHandler on_message);

  /// A new connection: registered, with serverInfo and advertise queued.
  std::shared_ptr<Client> open(const Sender& sender, const std::string& address, bool trusted);
  /// Handles one frame (flags: FIN, RSV and opcode, as on the wire).
  /// @return 0 to keep the connection, else the close code to end it with
  int frame(Client& client, int flags, const char* data, std::size_t size) noexcept;
  /// Forgets the connection and wakes its writer to end.
  void close(const std::shared_ptr<Client>& client);

  void publish(std::uint32_t channel, std::uint64_t stamp_ns, const std::string& payload,
               const std::string* trusted_payload = nullptr);
  /// Queues @p reply as a status for client @p id; nothing when it is gone.
  void reply(std::uint64_t id, const ClientReply& reply);
  bool subscribed(std::uint32_t channel) const;
  std::vector<ClientStats> clients() const;

  const LiveServerOptions& options() const { return options_; }

 private:
  const Channel* channel(std::uint32_t id) const;
  void status(Client& client, const std::string& message);
  void message(Client& client, int opcode, const std::string& bytes);
  void textOperation(Client& client, const std::string& text);
  void binaryMessage(Client& client, const std::string& bytes);
  void subscribe(Client& client, const nlohmann::json& request);
  void unsubscribe(Client& client, const nlohmann::json& request);
  void advertise(Client& client, const nlohmann::json& request);

  LiveServerOptions options_;
  std::vector<Channel> channels_;
  ClientMessageHandler on_message_;

  mutable std::mutex clients_mutex_;
  std::map<std::uint64_t, std::shared_ptr<Client>> clients_;
  std::uint64_t next_client_ = 1;

  std::mutex latched_mutex_;
  std::map<std::uint32_t, std::pair<std::uint64_t, std::string>> latched_;  // channel -> stamp, payload
  std::map<std::uint32_t, std::atomic<int>> subscribers_;
};

/// The status operation that carries @p message (never throws: text that is
/// not valid UTF-8 is replaced).
std::string statusOperation(int level, const std::string& message);

}  // namespace serve
}  // namespace kav
