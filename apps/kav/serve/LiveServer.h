#pragma once
// A server of the Foxglove WebSocket protocol (JSON text operations, binary
// message data) and of the dashboard's files, on one port, over civetweb.
//
// Publishing never waits for a network write: every connection has its own
// bounded queue and its own writer thread. When a queue holds more than its
// bound, the oldest messages are skipped and counted for that connection only,
// so a slow client never slows the publisher or another client.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kav {
namespace serve {

/// A channel the server advertises to every client.
struct Channel {
  std::uint32_t id = 0;
  std::string topic;
  std::string encoding;     ///< "json"
  std::string schema_name;  ///< "sensor_msgs/JointState", ...
  std::string schema;       ///< a JSON schema, as text
  bool latched = false;     ///< the last message goes to every new subscriber
};

/// Who sent a client message.
struct Sender {
  std::uint64_t client = 0;
  bool foreign_origin = false;  ///< the upgrade came from a page of another site
  std::string origin;           ///< its Origin header, empty for programs
};

/// One connection's counters, for diagnostics.
struct ClientStats {
  std::uint64_t id = 0;
  std::string address;
  bool foreign_origin = false;
  std::uint64_t sent = 0;     ///< messages written to the connection
  std::uint64_t dropped = 0;  ///< messages skipped because its queue was full
  std::size_t queued = 0;
};

struct LiveServerOptions {
  std::string listen = "127.0.0.1";
  int port = 8765;                     ///< 0: any free port (see LiveServer::port)
  std::string token;                   ///< when set, every request must carry it
  std::string assets;                  ///< directory of the page's files; empty: none
  std::size_t queue_bound = 400;       ///< messages per connection before the oldest are skipped
  std::size_t queue_bytes = 4u << 20;  ///< bytes per connection before the oldest are skipped
  std::size_t max_message = 1u << 20;  ///< largest client message (fragments reassembled)
  int max_connections = 32;            ///< WebSocket connections in all
  int reserved_connections = 8;        ///< of them, kept for loopback pages of the server's own origin
  int max_per_origin = 8;              ///< WebSocket connections per Origin (pages of another site)
  std::string name = "kav serve";
  std::vector<std::pair<std::string, std::string>> metadata;  ///< serverInfo's metadata
};

/// What the server answers on a client message: nothing when it was taken
/// as sent, otherwise a status message for the sender.
struct ClientReply {
  /// Status levels of the protocol.
  enum Level { kInfo = 0, kWarning = 1, kError = 2 };
  /// An error (the message was not obeyed), or nothing for an empty @p error.
  ClientReply(std::string error = {}) : message(std::move(error)) {}  // implicit: handlers return their error
  /// A warning: the message was obeyed, but not quite as sent.
  static ClientReply warning(std::string text) {
    ClientReply reply(std::move(text));
    reply.level = kWarning;
    return reply;
  }
  /// A note: the message was obeyed (for an outcome that comes later).
  static ClientReply info(std::string text) {
    ClientReply reply(std::move(text));
    reply.level = kInfo;
    return reply;
  }
  std::string message;  ///< empty: nothing to report
  Level level = kError;
};

/// Answers one client message.
using ClientMessageHandler = std::function<ClientReply(
    const Sender& sender, const std::string& topic, const std::string& encoding, const std::string& payload)>;

/// Answers an HTTP path below a prefix: the file to send, or empty for 404.
using FileResolver = std::function<std::string(const std::string& rest)>;

class LiveServer {
 public:
  /// Starts listening.
  /// @throw std::runtime_error when the address cannot be bound
  LiveServer(const LiveServerOptions& options, std::vector<Channel> channels,
             ClientMessageHandler on_message);
  ~LiveServer();
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  /// The port it listens on.
  int port() const;

  /// Serves @p text with @p mime_type at @p uri.
  void addText(const std::string& uri, const std::string& text, const std::string& mime_type);
  /// Serves the files @p resolve names for paths below @p prefix.
  void addFiles(const std::string& prefix, FileResolver resolve);

  /// Queues @p payload on @p channel for every subscriber. Never blocks on
  /// the network; safe to call from one publishing thread.
  void publish(std::uint32_t channel, std::uint64_t stamp_ns, const std::string& payload);
  /// As publish(), with @p trusted_payload for loopback clients of the
  /// page's own origin and programs on loopback (what only they may see).
  void publish(std::uint32_t channel, std::uint64_t stamp_ns, const std::string& payload,
               const std::string& trusted_payload);
  /// Sends @p reply as a status to client @p client (Sender::client), if it
  /// is still connected. Never blocks on the network.
  void reply(std::uint64_t client, const ClientReply& reply);
  /// Whether any client subscribes to @p channel.
  bool subscribed(std::uint32_t channel) const;
  /// The connections' counters.
  std::vector<ClientStats> clients() const;

  class impl;

 private:
  std::unique_ptr<impl> pimpl_;
};

/// Whether @p address is a loopback address (127.0.0.0/8, ::1, localhost).
bool isLoopback(const std::string& address);

/// Whether a browser page at @p origin (an Origin header) belongs to the
/// server reached as @p host (a Host header): same host and port.
bool sameOrigin(const std::string& origin, const std::string& host);

/// Whether a request carries @p token: in the query string as token=...,
/// in an "Authorization: Bearer ..." header, or in the kav_token cookie.
bool carriesToken(const std::string& token, const char* query, const char* authorization, const char* cookie);

}  // namespace serve
}  // namespace kav
