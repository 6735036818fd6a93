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

#include "Protocol.h"
#include "Text.h"

namespace kav {
namespace serve {

using nlohmann::json;

namespace {

constexpr int kHttpWorkers = 16;  // worker threads beyond the WebSocket connections' bound

const char* kSubprotocolNames[] = {"foxglove.websocket.v1", "foxglove.sdk.v1"};
mg_websocket_subprotocols kSubprotocols{2, kSubprotocolNames};

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

// One WebSocket connection as civetweb holds it: its admission and, once
// the handshake is done, its protocol state and writer thread.
struct Connection {
  std::string key;        // the authority of its Origin, empty for programs
  bool own_page = false;  // a loopback page of the server's own origin: may use the reserve
  Sender sender;
  std::string address;
  bool trusted = false;
  std::shared_ptr<Client> client;
  std::thread writer;
};

class LiveServer::impl {
 public:
  LiveServerOptions options;
  std::unique_ptr<Protocol> protocol;
  mg_context* context = nullptr;
  std::string index_file;

  std::mutex connections_mutex;
  std::map<const Connection*, std::unique_ptr<Connection>> connections;
  std::map<std::string, int> per_key;

  std::mutex routes_mutex;
  std::map<std::string, std::pair<std::string, std::string>> texts;  // uri -> text, mime type
  std::vector<std::pair<std::string, FileResolver>> files;

  static impl* of(const mg_connection* conn) {
    return static_cast<impl*>(mg_get_user_data(mg_get_context(conn)));
  }

  // Without a token the server listens on loopback only, and a request must
  // name it so: a page of another site whose name resolves to this machine
  // (DNS rebinding) is refused. With a token, the token guards.
  bool hostAllowed(const mg_connection* conn) const {
    if (!options.token.empty()) return true;
    const char* host = mg_get_header(conn, "Host");
    return host != nullptr && isLoopback(hostOf(authorityOf(host)));
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
    if (!hostAllowed(conn)) {
      sendText(conn, 421, "this server answers to loopback addresses and localhost only\n", "text/plain");
      return 421;
    }
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
        sendText(conn, 404, "not found: " + excerpt(uri) + "\n", "text/plain");
        return 404;
      }
      mg_send_mime_file(conn, path.c_str(), nullptr);
      return 200;
    }
    return 0;  // the page's files from the document root
  }

  // Admits an upgrade, or refuses it (non-zero) when its origin or all
  // connections are at their bound; the reserve stays for the own page.
  int connect(const mg_connection* conn) {
    auto connection = std::make_unique<Connection>();
    const char* origin = mg_get_header(conn, "Origin");
    const char* host = mg_get_header(conn, "Host");
    connection->sender.origin = origin != nullptr ? origin : "";
    // Without a token, a page counts as the server's own only when it was
    // reached by a loopback name: a name of another site that resolves to
    // this machine (DNS rebinding) must not make its page the server's own.
    const std::string reached = host != nullptr ? host : "";
    const bool loopback_host = isLoopback(hostOf(authorityOf(reached)));
    connection->sender.foreign_origin =
        origin != nullptr && (!sameOrigin(origin, reached) || (options.token.empty() && !loopback_host));
    connection->address = mg_get_request_info(conn)->remote_addr;
    connection->trusted = isLoopback(connection->address) && !connection->sender.foreign_origin;
    connection->own_page = connection->trusted && origin != nullptr;
    // Pages count by their origin; programs (no Origin) only in the total.
    connection->key = origin != nullptr ? authorityOf(origin) : "";
    std::lock_guard<std::mutex> lock(connections_mutex);
    const int total = static_cast<int>(connections.size());
    const int others = options.max_connections - options.reserved_connections;
    if (total >= options.max_connections || (!connection->own_page && total >= others) ||
        (!connection->own_page && !connection->key.empty() &&
         per_key[connection->key] >= options.max_per_origin)) {
      return 1;  // civetweb answers without upgrading
    }
    ++per_key[connection->key];
    mg_set_user_connection_data(conn, connection.get());
    connections[connection.get()] = std::move(connection);
    return 0;
  }

  Connection* connectionOf(const mg_connection* conn) {
    const auto* raw = static_cast<const Connection*>(mg_get_user_connection_data(conn));
    std::lock_guard<std::mutex> lock(connections_mutex);
    const auto found = connections.find(raw);
    return found != connections.end() ? found->second.get() : nullptr;
  }

  void ready(mg_connection* conn) {
    Connection* connection = connectionOf(conn);
    if (connection == nullptr) return;
    connection->client = protocol->open(connection->sender, connection->address, connection->trusted);
    connection->writer = std::thread([client = connection->client, conn] {
      pthread_setname_np(pthread_self(), "kav-serve-tx");
      client->write([conn](int opcode, const std::string& bytes) {
        return mg_websocket_write(conn, opcode, bytes.data(), bytes.size());
      });
    });
  }

  int data(mg_connection* conn, int flags, char* data, std::size_t size) {
    Connection* connection = connectionOf(conn);
    if (connection == nullptr || !connection->client) return 0;
    const int code = protocol->frame(*connection->client, flags, data, size);
    if (code == 0) return 1;
    const char reason[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xff)};
    mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, reason, sizeof reason);
    return 0;
  }

  // Ends a connection: from the WebSocket close handler, and from civetweb's
  // connection_close for an upgrade that never reached it.
  void release(const mg_connection* conn) {
    Connection* connection = connectionOf(conn);
    if (connection == nullptr) return;
    if (connection->client) protocol->close(connection->client);
    if (connection->writer.joinable()) connection->writer.join();
    std::lock_guard<std::mutex> lock(connections_mutex);
    if (--per_key[connection->key] == 0) per_key.erase(connection->key);
    connections.erase(connection);
    mg_set_user_connection_data(conn, nullptr);
  }
};

LiveServer::LiveServer(const LiveServerOptions& options, std::vector<Channel> channels,
                       ClientMessageHandler on_message)
    : pimpl_(std::make_unique<impl>()) {
  static std::once_flag library;
  std::call_once(library, [] { mg_init_library(0); });
  pimpl_->options = options;
  pimpl_->protocol = std::make_unique<Protocol>(options, std::move(channels), std::move(on_message));

  const std::string address =
      options.listen.find(':') != std::string::npos ? "[" + options.listen + "]" : options.listen;
  const std::string ports = address + ":" + std::to_string(options.port);
  constexpr unsigned kIpv6Feature = 8;  // of mg_check_feature
  if (options.listen.find(':') != std::string::npos && mg_check_feature(kIpv6Feature) == 0) {
    throw std::runtime_error(
        "cannot serve on " + ports +
        ": the civetweb library kav uses was built without IPv6 (give --listen 127.0.0.1)");
  }
  // Every connection holds a worker thread while it lasts: the WebSocket
  // connections are bounded (connect()), and the workers outnumber them so
  // that HTTP requests always find one. A request's headers must arrive
  // within the request timeout; a WebSocket client that answers no ping
  // for several timeouts is dropped.
  const std::string threads = std::to_string(options.max_connections + kHttpWorkers);
  std::vector<const char*> settings{"listening_ports",
                                    ports.c_str(),
                                    "num_threads",
                                    threads.c_str(),
                                    "enable_directory_listing",
                                    "no",
                                    "request_timeout_ms",
                                    "5000",
                                    "websocket_timeout_ms",
                                    "2000",
                                    "enable_websocket_ping_pong",
                                    "yes",
                                    "keep_alive_timeout_ms",
                                    "500",
                                    "tcp_nodelay",
                                    "1"};
  if (!options.assets.empty()) {
    settings.insert(settings.end(), {"document_root", options.assets.c_str()});
    pimpl_->index_file = options.assets + "/index.html";
  }
  settings.push_back(nullptr);

  mg_callbacks callbacks{};
  callbacks.begin_request = [](mg_connection* conn) { return impl::of(conn)->beginRequest(conn); };
  callbacks.connection_close = [](const mg_connection* conn) { impl::of(conn)->release(conn); };
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
      [](const mg_connection* conn, void*) { impl::of(conn)->release(conn); }, nullptr);
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
  pimpl_->protocol->publish(channel, stamp_ns, payload);
}

void LiveServer::publish(std::uint32_t channel, std::uint64_t stamp_ns, const std::string& payload,
                         const std::string& trusted_payload) {
  pimpl_->protocol->publish(channel, stamp_ns, payload, &trusted_payload);
}

void LiveServer::reply(std::uint64_t client, const ClientReply& reply) {
  pimpl_->protocol->reply(client, reply);
}

bool LiveServer::subscribed(std::uint32_t channel) const { return pimpl_->protocol->subscribed(channel); }

std::vector<ClientStats> LiveServer::clients() const { return pimpl_->protocol->clients(); }

}  // namespace serve
}  // namespace kav
