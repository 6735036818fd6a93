#include "LiveServer.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kav {
namespace serve {

using nlohmann::json;

namespace {

const char* kSubprotocolNames[] = {"foxglove.websocket.v1", "foxglove.sdk.v1"};
mg_websocket_subprotocols kSubprotocols{2, kSubprotocolNames};

constexpr std::uint8_t kMessageData = 1;   // binary opcode, both directions
constexpr std::size_t kMaxPerClient = 64;  // subscriptions, and channels a client advertises

// The host:port part of a URL or a Host header, lower case.
std::string authorityOf(std::string text) {
  const std::size_t scheme = text.find("://");
  if (scheme != std::string::npos) text = text.substr(scheme + 3);
  text = text.substr(0, text.find('/'));
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The host part of a Host header (without the port and IPv6 brackets).
std::string hostOf(const std::string& authority) {
  if (!authority.empty() && authority[0] == '[') return authority.substr(1, authority.find(']') - 1);
  return authority.substr(0, authority.find(':'));
}

void putLe(std::string* out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint32_t getLe32(const char* data) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(data[i]);
  return value;
}

std::string statusMessage(int level, const std::string& message) {
  return json{{"op", "status"}, {"level", level}, {"message", message}}.dump();
}

void sendText(mg_connection* conn, int status, const std::string& text, const char* mime_type,
              const std::string& cookie = "") {
  mg_response_header_start(conn, status);
  mg_response_header_add(conn, "Content-Type", mime_type, -1);
  mg_response_header_add(conn, "Content-Length", std::to_string(text.size()).c_str(), -1);
  mg_response_header_add(conn, "Cache-Control", "no-store", -1);
  if (!cookie.empty()) mg_response_header_add(conn, "Set-Cookie", cookie.c_str(), -1);
  mg_response_header_send(conn);
  mg_write(conn, text.data(), text.size());
}

}  // namespace

bool isLoopback(const std::string& address) {
  if (address == "localhost" || address == "::1") return true;
  in_addr ipv4{};
  return inet_pton(AF_INET, address.c_str(), &ipv4) == 1 && (ntohl(ipv4.s_addr) >> 24) == 127;
}

bool sameOrigin(const std::string& origin, const std::string& host) {
  return !host.empty() && authorityOf(origin) == authorityOf(host);
}

bool carriesToken(const std::string& token, const char* query, const char* authorization,
                  const char* cookie) {
  // Compares in time independent of where the first difference is.
  const auto equal = [&token](const std::string& given) {
    unsigned difference = given.size() == token.size() ? 0u : 1u;
    for (std::size_t i = 0; i < given.size() && i < token.size(); ++i) {
      difference |= static_cast<unsigned>(given[i] ^ token[i]);
    }
    return difference == 0;
  };
  std::vector<char> value(token.size() + 2);
  if (query != nullptr && mg_get_var(query, std::strlen(query), "token", value.data(), value.size()) >= 0 &&
      equal(value.data())) {
    return true;
  }
  if (cookie != nullptr && mg_get_cookie(cookie, "kav_token", value.data(), value.size()) >= 0 &&
      equal(value.data())) {
    return true;
  }
  const std::string bearer = "Bearer ";
  return authorization != nullptr && std::strncmp(authorization, bearer.c_str(), bearer.size()) == 0 &&
         equal(authorization + bearer.size());
}

// One WebSocket connection: its subscriptions, its advertised channels and
// the queue its writer thread empties.
struct Client {
  struct Frame {
    int opcode;
    std::string bytes;
  };

  mg_connection* conn = nullptr;
  ClientStats stats;
  Sender sender;

  mutable std::mutex mutex;
  std::condition_variable wake;
  std::deque<Frame> queue;
  bool closing = false;
  std::map<std::uint32_t, std::uint32_t> subscriptions;                     // subscription id -> channel
  std::map<std::uint32_t, std::pair<std::string, std::string>> advertised;  // id -> topic, encoding
  std::thread writer;

  // Queues a frame; over the bound the oldest message data is skipped (the
  // oldest text operation only when the queue holds nothing else).
  void push(int opcode, std::string bytes, std::size_t bound) {
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back({opcode, std::move(bytes)});
    while (queue.size() > bound) {
      auto oldest = queue.begin();
      while (oldest != queue.end() && oldest->opcode != MG_WEBSOCKET_OPCODE_BINARY) ++oldest;
      queue.erase(oldest != queue.end() ? oldest : queue.begin());
      ++stats.dropped;
    }
    wake.notify_one();
  }

  void text(const std::string& message, std::size_t bound) { push(MG_WEBSOCKET_OPCODE_TEXT, message, bound); }

  void write() {
    pthread_setname_np(pthread_self(), "kav-serve-tx");
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return closing || !queue.empty(); });
      if (closing) return;
      Frame frame = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      const int written = mg_websocket_write(conn, frame.opcode, frame.bytes.data(), frame.bytes.size());
      lock.lock();
      if (written <= 0) {  // the connection is gone; its reader ends it
        closing = true;
        return;
      }
      ++stats.sent;
    }
  }
};

class LiveServer::impl {
 public:
  LiveServerOptions options;
  std::vector<Channel> channels;
  ClientMessageHandler on_message;
  mg_context* context = nullptr;
  std::string index_file;

  mutable std::mutex clients_mutex;
  std::map<std::uint64_t, std::shared_ptr<Client>> clients;
  std::uint64_t next_client = 1;

  std::mutex latched_mutex;
  std::map<std::uint32_t, std::pair<std::uint64_t, std::string>> latched;  // channel -> stamp, payload
  std::map<std::uint32_t, std::atomic<int>> subscribers;

  std::mutex routes_mutex;
  std::map<std::string, std::pair<std::string, std::string>> texts;  // uri -> text, mime type
  std::vector<std::pair<std::string, FileResolver>> files;

  const Channel* channel(std::uint32_t id) const {
    for (const Channel& c : channels) {
      if (c.id == id) return &c;
    }
    return nullptr;
  }

  static impl* of(const mg_connection* conn) {
    return static_cast<impl*>(mg_get_user_data(mg_get_context(conn)));
  }

  // Every HTTP request and WebSocket upgrade passes here first.
  int beginRequest(mg_connection* conn) {
    const mg_request_info* request = mg_get_request_info(conn);
    if (!options.token.empty() &&
        !carriesToken(options.token, request->query_string, mg_get_header(conn, "Authorization"),
                      mg_get_header(conn, "Cookie"))) {
      // Written by hand: civetweb's response functions refuse WebSocket upgrades.
      const std::string text = "a token is needed: ?token=... or an Authorization: Bearer header\n";
      mg_printf(conn,
                "HTTP/1.1 401 Unauthorized\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\n"
                "WWW-Authenticate: Bearer\r\nConnection: close\r\n\r\n%s",
                text.size(), text.c_str());
      return 401;
    }
    const std::string uri = request->local_uri != nullptr ? request->local_uri : "";
    const char* upgrade = mg_get_header(conn, "Upgrade");
    if (upgrade != nullptr && strcasecmp(upgrade, "websocket") == 0) return 0;
    if (uri == "/" || uri == "/index.html") {
      // The page's own requests carry the token as a cookie from here on.
      const std::string cookie =
          options.token.empty() ? "" : "kav_token=" + options.token + "; HttpOnly; SameSite=Strict; Path=/";
      if (index_file.empty()) {
        sendText(conn, 404,
                 "The dashboard was not built (node and npm were missing when kav was built);\n"
                 "the WebSocket server works: connect Foxglove or Lichtblick to ws://this-address/\n",
                 "text/plain", cookie);
        return 404;
      }
      std::ifstream file(index_file, std::ios::binary);
      std::ostringstream page;
      page << file.rdbuf();
      sendText(conn, file ? 200 : 404, file ? page.str() : "the dashboard's index.html is missing\n",
               file ? "text/html" : "text/plain", cookie);
      return file ? 200 : 404;
    }
    std::lock_guard<std::mutex> lock(routes_mutex);
    const auto text = texts.find(uri);
    if (text != texts.end()) {
      sendText(conn, 200, text->second.first, text->second.second.c_str());
      return 200;
    }
    for (const auto& [prefix, resolve] : files) {
      if (uri.compare(0, prefix.size(), prefix) != 0) continue;
      const std::string rest = uri.substr(prefix.size());
      const std::string path = rest.find("..") == std::string::npos ? resolve(rest) : "";
      if (path.empty()) {
        sendText(conn, 404, "not found: " + uri + "\n", "text/plain");
        return 404;
      }
      mg_send_mime_file(conn, path.c_str(), nullptr);
      return 200;
    }
    return 0;  // the page's files from the document root
  }

  int connect(const mg_connection* conn) {
    auto client = std::make_shared<Client>();
    client->conn = const_cast<mg_connection*>(conn);
    const char* origin = mg_get_header(conn, "Origin");
    const char* host = mg_get_header(conn, "Host");
    client->sender.origin = origin != nullptr ? origin : "";
    // Without a token, a page counts as the server's own only when it was
    // reached by a loopback name: a name of another site that resolves to
    // this machine (DNS rebinding) must not make its page the server's own.
    const std::string reached = host != nullptr ? host : "";
    const bool loopback_host = isLoopback(hostOf(reached));
    client->sender.foreign_origin =
        origin != nullptr && (!sameOrigin(origin, reached) || (options.token.empty() && !loopback_host));
    client->stats.address = mg_get_request_info(conn)->remote_addr;
    client->stats.foreign_origin = client->sender.foreign_origin;
    std::lock_guard<std::mutex> lock(clients_mutex);
    client->stats.id = client->sender.client = next_client++;
    clients[client->stats.id] = client;
    mg_set_user_connection_data(conn, client.get());
    return 0;
  }

  std::shared_ptr<Client> clientOf(const mg_connection* conn) {
    const auto* raw = static_cast<Client*>(mg_get_user_connection_data(conn));
    std::lock_guard<std::mutex> lock(clients_mutex);
    for (const auto& [id, client] : clients) {
      if (client.get() == raw) return client;
    }
    return nullptr;
  }

  void ready(mg_connection* conn) {
    const std::shared_ptr<Client> client = clientOf(conn);
    if (!client) return;
    json metadata = json::object();
    for (const auto& [key, value] : options.metadata) metadata[key] = value;
    metadata["client_id"] = std::to_string(client->stats.id);
    metadata["foreign_origin"] = client->sender.foreign_origin ? "true" : "false";
    client->text(json{{"op", "serverInfo"},
                      {"name", options.name},
                      {"capabilities", {"clientPublish"}},
                      {"supportedEncodings", {"json"}},
                      {"metadata", metadata},
                      {"sessionId", std::to_string(client->stats.id)}}
                     .dump(),
                 options.queue_bound);
    json advertised = json::array();
    for (const Channel& c : channels) {
      advertised.push_back({{"id", c.id},
                            {"topic", c.topic},
                            {"encoding", c.encoding},
                            {"schemaName", c.schema_name},
                            {"schema", c.schema},
                            {"schemaEncoding", "jsonschema"}});
    }
    client->text(json{{"op", "advertise"}, {"channels", advertised}}.dump(), options.queue_bound);
    client->writer = std::thread([client] { client->write(); });
  }

  void subscribe(Client& client, const json& request) {
    for (const json& subscription : request.at("subscriptions")) {
      const auto id = subscription.at("id").get<std::uint32_t>();
      const auto channel_id = subscription.at("channelId").get<std::uint32_t>();
      const Channel* c = channel(channel_id);
      if (c == nullptr) {
        client.text(statusMessage(2, "subscribe: no channel " + std::to_string(channel_id)),
                    options.queue_bound);
        continue;
      }
      std::string refused;
      {
        std::lock_guard<std::mutex> lock(client.mutex);
        if (client.subscriptions.size() >= kMaxPerClient) {
          refused = "subscribe: at most " + std::to_string(kMaxPerClient) + " subscriptions per client";
        } else if (!client.subscriptions.emplace(id, channel_id).second) {
          refused = "subscribe: subscription id " + std::to_string(id) + " is in use";
        }
      }
      if (!refused.empty()) {
        client.text(statusMessage(2, refused), options.queue_bound);
        continue;
      }
      ++subscribers.at(channel_id);
      if (c->latched) {
        std::lock_guard<std::mutex> lock(latched_mutex);
        const auto last = latched.find(channel_id);
        if (last != latched.end()) {
          client.push(MG_WEBSOCKET_OPCODE_BINARY, dataFrame(id, last->second.first, last->second.second),
                      options.queue_bound);
        }
      }
    }
  }

  void unsubscribe(Client& client, const json& request) {
    for (const json& id : request.at("subscriptionIds")) {
      std::lock_guard<std::mutex> lock(client.mutex);
      const auto found = client.subscriptions.find(id.get<std::uint32_t>());
      if (found == client.subscriptions.end()) continue;
      --subscribers.at(found->second);
      client.subscriptions.erase(found);
    }
  }

  void advertise(Client& client, const json& request) {
    for (const json& c : request.at("channels")) {
      const auto id = c.at("id").get<std::uint32_t>();
      std::pair<std::string, std::string> channel{c.at("topic").get<std::string>(),
                                                  c.at("encoding").get<std::string>()};
      std::unique_lock<std::mutex> lock(client.mutex);
      if (client.advertised.size() >= kMaxPerClient && client.advertised.count(id) == 0) {
        lock.unlock();
        client.text(statusMessage(2, "advertise: at most " + std::to_string(kMaxPerClient) +
                                         " client channels per client"),
                    options.queue_bound);
        continue;
      }
      client.advertised[id] = std::move(channel);
    }
  }

  void unadvertise(Client& client, const json& request) {
    for (const json& id : request.at("channelIds")) {
      std::lock_guard<std::mutex> lock(client.mutex);
      client.advertised.erase(id.get<std::uint32_t>());
    }
  }

  void textOperation(Client& client, const char* data, std::size_t size) {
    std::string op = "?";
    try {
      const json request = json::parse(data, data + size);
      op = request.at("op").get<std::string>();
      if (op == "subscribe") {
        subscribe(client, request);
      } else if (op == "unsubscribe") {
        unsubscribe(client, request);
      } else if (op == "advertise") {
        advertise(client, request);
      } else if (op == "unadvertise") {
        unadvertise(client, request);
      } else {
        client.text(statusMessage(2, "operation " + op + " is not supported by this server"),
                    options.queue_bound);
      }
    } catch (const json::exception& error) {
      client.text(statusMessage(2, "malformed " + op + " operation: " + error.what()), options.queue_bound);
    }
  }

  void binaryMessage(Client& client, const char* data, std::size_t size) {
    if (size < 5 || static_cast<std::uint8_t>(data[0]) != kMessageData) {
      client.text(statusMessage(2,
                                "malformed binary message: expected opcode 1 (message data), a 4-byte "
                                "channel id and the payload"),
                  options.queue_bound);
      return;
    }
    const std::uint32_t id = getLe32(data + 1);
    std::pair<std::string, std::string> channel;
    {
      std::lock_guard<std::mutex> lock(client.mutex);
      const auto found = client.advertised.find(id);
      if (found != client.advertised.end()) channel = found->second;
    }
    if (channel.first.empty()) {
      client.text(statusMessage(2, "message on channel " + std::to_string(id) + ", which was not advertised"),
                  options.queue_bound);
      return;
    }
    const std::string error =
        on_message(client.sender, channel.first, channel.second, std::string(data + 5, size - 5));
    if (!error.empty()) client.text(statusMessage(2, error), options.queue_bound);
  }

  int data(mg_connection* conn, int flags, char* data, std::size_t size) {
    const int opcode = flags & 0xf;
    if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
    const std::shared_ptr<Client> client = clientOf(conn);
    if (!client) return 0;
    if (opcode == MG_WEBSOCKET_OPCODE_TEXT) textOperation(*client, data, size);
    if (opcode == MG_WEBSOCKET_OPCODE_BINARY) binaryMessage(*client, data, size);
    return 1;
  }

  void close(const mg_connection* conn) {
    std::shared_ptr<Client> client = clientOf(conn);
    if (!client) return;
    {
      std::lock_guard<std::mutex> lock(clients_mutex);
      clients.erase(client->stats.id);
    }
    {
      std::lock_guard<std::mutex> lock(client->mutex);
      client->closing = true;
      for (const auto& [id, channel_id] : client->subscriptions) --subscribers.at(channel_id);
    }
    client->wake.notify_one();
    if (client->writer.joinable()) client->writer.join();
  }

  static std::string dataFrame(std::uint32_t subscription, std::uint64_t stamp_ns,
                               const std::string& payload) {
    std::string frame;
    frame.reserve(13 + payload.size());
    frame.push_back(static_cast<char>(kMessageData));
    putLe(&frame, subscription, 4);
    putLe(&frame, stamp_ns, 8);
    frame += payload;
    return frame;
  }
};

LiveServer::LiveServer(const LiveServerOptions& options, std::vector<Channel> channels,
                       ClientMessageHandler on_message)
    : pimpl_(std::make_unique<impl>()) {
  static std::once_flag library;
  std::call_once(library, [] { mg_init_library(0); });
  pimpl_->options = options;
  pimpl_->channels = std::move(channels);
  pimpl_->on_message = std::move(on_message);
  for (const Channel& c : pimpl_->channels) pimpl_->subscribers[c.id] = 0;

  const std::string address =
      options.listen.find(':') != std::string::npos ? "[" + options.listen + "]" : options.listen;
  const std::string ports = address + ":" + std::to_string(options.port);
  std::vector<const char*> settings{
      "listening_ports",          ports.c_str(), "num_threads",          "40",
      "enable_directory_listing", "no",          "websocket_timeout_ms", "3600000",
      "request_timeout_ms",       "30000",       "tcp_nodelay",          "1"};
  if (!options.assets.empty()) {
    settings.insert(settings.end(), {"document_root", options.assets.c_str()});
    pimpl_->index_file = options.assets + "/index.html";
  }
  settings.push_back(nullptr);

  mg_callbacks callbacks{};
  callbacks.begin_request = [](mg_connection* conn) { return impl::of(conn)->beginRequest(conn); };
  callbacks.log_message = [](const mg_connection*, const char*) {
    return 1;
  };  // errors come back from mg_start2
  char error_text[256] = {};
  unsigned error_code = 0;
  mg_error_data error{&error_code, error_text, sizeof error_text};
  mg_init_data init{&callbacks, pimpl_.get(), settings.data()};
  pimpl_->context = mg_start2(&init, &error);
  if (pimpl_->context == nullptr) {
    throw std::runtime_error("cannot serve on " + ports + ": " + error_text);
  }
  mg_set_websocket_handler_with_subprotocols(
      pimpl_->context, "/", &kSubprotocols,
      [](const mg_connection* conn, void*) { return impl::of(conn)->connect(conn); },
      [](mg_connection* conn, void*) { impl::of(conn)->ready(conn); },
      [](mg_connection* conn, int flags, char* data, std::size_t size, void*) {
        return impl::of(conn)->data(conn, flags, data, size);
      },
      [](const mg_connection* conn, void*) { impl::of(conn)->close(conn); }, nullptr);
}

LiveServer::~LiveServer() { mg_stop(pimpl_->context); }

int LiveServer::port() const {
  mg_server_port ports[4] = {};
  const int count = mg_get_server_ports(pimpl_->context, 4, ports);
  return count > 0 ? ports[0].port : pimpl_->options.port;
}

void LiveServer::addText(const std::string& uri, const std::string& text, const std::string& mime_type) {
  std::lock_guard<std::mutex> lock(pimpl_->routes_mutex);
  pimpl_->texts[uri] = {text, mime_type};
}

void LiveServer::addFiles(const std::string& prefix, FileResolver resolve) {
  std::lock_guard<std::mutex> lock(pimpl_->routes_mutex);
  pimpl_->files.emplace_back(prefix, std::move(resolve));
}

void LiveServer::publish(std::uint32_t channel, std::uint64_t stamp_ns, const std::string& payload) {
  const Channel* c = pimpl_->channel(channel);
  if (c == nullptr) return;
  if (c->latched) {
    std::lock_guard<std::mutex> lock(pimpl_->latched_mutex);
    pimpl_->latched[channel] = {stamp_ns, payload};
  }
  std::lock_guard<std::mutex> lock(pimpl_->clients_mutex);
  for (const auto& [id, client] : pimpl_->clients) {
    std::vector<std::uint32_t> subscriptions;
    {
      std::lock_guard<std::mutex> client_lock(client->mutex);
      for (const auto& [subscription, channel_id] : client->subscriptions) {
        if (channel_id == channel) subscriptions.push_back(subscription);
      }
    }
    for (std::uint32_t subscription : subscriptions) {
      client->push(MG_WEBSOCKET_OPCODE_BINARY, impl::dataFrame(subscription, stamp_ns, payload),
                   pimpl_->options.queue_bound);
    }
  }
}

bool LiveServer::subscribed(std::uint32_t channel) const {
  const auto found = pimpl_->subscribers.find(channel);
  return found != pimpl_->subscribers.end() && found->second.load() > 0;
}

std::vector<ClientStats> LiveServer::clients() const {
  std::vector<ClientStats> result;
  std::lock_guard<std::mutex> lock(pimpl_->clients_mutex);
  for (const auto& [id, client] : pimpl_->clients) {
    std::lock_guard<std::mutex> client_lock(client->mutex);
    result.push_back(client->stats);
    result.back().queued = client->queue.size();
  }
  return result;
}

}  // namespace serve
}  // namespace kav
