#include "Protocol.h"

#include <stdexcept>

namespace kav {
namespace serve {

using nlohmann::json;

namespace {

constexpr std::uint8_t kMessageData = 1;   // binary opcode, both directions
constexpr std::size_t kMaxPerClient = 64;  // subscriptions, and channels a client advertises
constexpr int kFin = 0x80;
constexpr int kRsv = 0x70;
constexpr int kCloseProtocolError = 1002;
constexpr int kCloseTooBig = 1009;

void putLe(std::string* out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint32_t getLe32(const char* data) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(data[i]);
  return value;
}

std::string dataFrame(std::uint32_t subscription, std::uint64_t stamp_ns, const std::string& payload) {
  std::string frame;
  frame.reserve(13 + payload.size());
  frame.push_back(static_cast<char>(kMessageData));
  putLe(&frame, subscription, 4);
  putLe(&frame, stamp_ns, 8);
  frame += payload;
  return frame;
}

// An id of the protocol: an integer that fits 32 bits (a conversion of any
// other number would be undefined).
std::uint32_t idOf(const json& value) {
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xffffffffu) {
    throw std::invalid_argument("an id must be an integer from 0 to 4294967295");
  }
  return static_cast<std::uint32_t>(value.get<std::uint64_t>());
}

}  // namespace

std::string statusOperation(int level, const std::string& message) {
  return json{{"op", "status"}, {"level", level}, {"message", message}}.dump(-1, ' ', false,
                                                                             json::error_handler_t::replace);
}

void Client::push(int opcode, std::string bytes, std::size_t bound, std::size_t byte_bound) {
  std::lock_guard<std::mutex> lock(mutex);
  queued_bytes += bytes.size();
  queue.push_back({opcode, std::move(bytes)});
  while (queue.size() > bound || (queued_bytes > byte_bound && queue.size() > 1)) {
    auto oldest = queue.begin();
    while (oldest != queue.end() && oldest->opcode != kBinary) ++oldest;
    if (oldest == queue.end()) oldest = queue.begin();
    queued_bytes -= oldest->bytes.size();
    queue.erase(oldest);
    ++stats.dropped;
  }
  wake.notify_one();
}

void Client::write(const std::function<int(int, const std::string&)>& send) {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    wake.wait(lock, [this] { return closing || !queue.empty(); });
    if (closing) return;
    Frame frame = std::move(queue.front());
    queue.pop_front();
    queued_bytes -= frame.bytes.size();
    lock.unlock();
    const int written = send(frame.opcode, frame.bytes);
    lock.lock();
    if (written <= 0) {  // the connection is gone; its reader ends it
      closing = true;
      return;
    }
    ++stats.sent;
  }
}

Protocol::Protocol(LiveServerOptions options, std::vector<Channel> channels, ClientMessageHandler on_message)
    : options_(std::move(options)), channels_(std::move(channels)), on_message_(std::move(on_message)) {
  for (const Channel& c : channels_) subscribers_[c.id] = 0;
}

const Channel* Protocol::channel(std::uint32_t id) const {
  for (const Channel& c : channels_) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

void Protocol::message(Client& client, int opcode, const std::string& bytes) {
  client.push(opcode, bytes, options_.queue_bound, options_.queue_bytes);
}

void Protocol::status(Client& client, const std::string& text) {
  message(client, kText, statusOperation(2, text));
}

std::shared_ptr<Client> Protocol::open(const Sender& sender, const std::string& address, bool trusted) {
  auto client = std::make_shared<Client>();
  client->sender = sender;
  client->trusted = trusted;
  client->stats.address = address;
  client->stats.foreign_origin = sender.foreign_origin;
  {
    std::lock_guard<std::mutex> lock(clients_mutex_);
    client->stats.id = client->sender.client = next_client_++;
    clients_[client->stats.id] = client;
  }
  json metadata = json::object();
  for (const auto& [key, value] : options_.metadata) metadata[key] = value;
  metadata["client_id"] = std::to_string(client->stats.id);
  metadata["foreign_origin"] = client->sender.foreign_origin ? "true" : "false";
  message(*client, kText,
          json{{"op", "serverInfo"},
               {"name", options_.name},
               {"capabilities", {"clientPublish"}},
               {"supportedEncodings", {"json"}},
               {"metadata", metadata},
               {"sessionId", std::to_string(client->stats.id)}}
              .dump(-1, ' ', false, json::error_handler_t::replace));
  json advertised = json::array();
  for (const Channel& c : channels_) {
    advertised.push_back({{"id", c.id},
                          {"topic", c.topic},
                          {"encoding", c.encoding},
                          {"schemaName", c.schema_name},
                          {"schema", c.schema},
                          {"schemaEncoding", "jsonschema"}});
  }
  message(*client, kText, json{{"op", "advertise"}, {"channels", advertised}}.dump());
  return client;
}

void Protocol::close(const std::shared_ptr<Client>& client) {
  {
    std::lock_guard<std::mutex> lock(clients_mutex_);
    clients_.erase(client->stats.id);
  }
  std::lock_guard<std::mutex> lock(client->mutex);
  client->closing = true;
  for (const auto& [id, channel_id] : client->subscriptions) --subscribers_.at(channel_id);
  client->subscriptions.clear();
  client->wake.notify_one();
}

void Protocol::subscribe(Client& client, const json& request) {
  for (const json& subscription : request.at("subscriptions")) {
    const auto id = idOf(subscription.at("id"));
    const auto channel_id = idOf(subscription.at("channelId"));
    const Channel* c = channel(channel_id);
    if (c == nullptr) {
      status(client, "subscribe: no channel " + std::to_string(channel_id));
      continue;
    }
    std::string refused;
    {
      std::lock_guard<std::mutex> lock(client.mutex);
      if (client.closing) return;
      if (client.subscriptions.size() >= kMaxPerClient) {
        refused = "subscribe: at most " + std::to_string(kMaxPerClient) + " subscriptions per client";
      } else if (!client.subscriptions.emplace(id, channel_id).second) {
        refused = "subscribe: subscription id " + std::to_string(id) + " is in use";
      } else {
        ++subscribers_.at(channel_id);
      }
    }
    if (!refused.empty()) {
      status(client, refused);
      continue;
    }
    if (c->latched) {
      std::lock_guard<std::mutex> lock(latched_mutex_);
      const auto last = latched_.find(channel_id);
      if (last != latched_.end())
        message(client, kBinary, dataFrame(id, last->second.first, last->second.second));
    }
  }
}

void Protocol::unsubscribe(Client& client, const json& request) {
  for (const json& id : request.at("subscriptionIds")) {
    std::lock_guard<std::mutex> lock(client.mutex);
    const auto found = client.subscriptions.find(idOf(id));
    if (found == client.subscriptions.end()) continue;
    --subscribers_.at(found->second);
    client.subscriptions.erase(found);
  }
}

void Protocol::advertise(Client& client, const json& request) {
  for (const json& c : request.at("channels")) {
    const auto id = idOf(c.at("id"));
    std::pair<std::string, std::string> channel{c.at("topic").get<std::string>(),
                                                c.at("encoding").get<std::string>()};
    std::unique_lock<std::mutex> lock(client.mutex);
    if (client.advertised.size() >= kMaxPerClient && client.advertised.count(id) == 0) {
      lock.unlock();
      status(client, "advertise: at most " + std::to_string(kMaxPerClient) + " client channels per client");
      continue;
    }
    client.advertised[id] = std::move(channel);
  }
}

void Protocol::textOperation(Client& client, const std::string& text) {
  std::string op = "?";
  try {
    const json request = parseStrictJson(text.data(), text.data() + text.size());
    op = excerpt(request.at("op").get<std::string>());
    if (op == "subscribe") {
      subscribe(client, request);
    } else if (op == "unsubscribe") {
      unsubscribe(client, request);
    } else if (op == "advertise") {
      advertise(client, request);
    } else if (op == "unadvertise") {
      for (const json& id : request.at("channelIds")) {
        std::lock_guard<std::mutex> lock(client.mutex);
        client.advertised.erase(idOf(id));
      }
    } else {
      status(client, "operation \"" + op + "\" is not supported by this server");
    }
  } catch (const std::exception& error) {  // json::exception, or a duplicate key
    status(client, "malformed " + op + " operation: " + excerpt(error.what(), 2 * kExcerptBytes));
  }
}

void Protocol::binaryMessage(Client& client, const std::string& bytes) {
  if (bytes.size() < 5 || static_cast<std::uint8_t>(bytes[0]) != kMessageData) {
    status(client,
           "malformed binary message: expected opcode 1 (message data), a 4-byte channel id and the payload");
    return;
  }
  const std::uint32_t id = getLe32(bytes.data() + 1);
  std::pair<std::string, std::string> channel;
  {
    std::lock_guard<std::mutex> lock(client.mutex);
    const auto found = client.advertised.find(id);
    if (found != client.advertised.end()) channel = found->second;
  }
  if (channel.first.empty()) {
    status(client, "message on channel " + std::to_string(id) + ", which was not advertised");
    return;
  }
  const ClientReply reply = on_message_(client.sender, channel.first, channel.second, bytes.substr(5));
  if (!reply.message.empty()) message(client, kText, statusOperation(reply.level, reply.message));
}

int Protocol::frame(Client& client, int flags, const char* data, std::size_t size) noexcept {
  try {
    const int opcode = flags & 0xf;
    if ((flags & kRsv) != 0) return kCloseProtocolError;  // no extension was negotiated
    if (opcode == kClose) return 1000;
    if (opcode == kPing || opcode == kPong) return 0;  // civetweb answers pings
    if (opcode != kText && opcode != kBinary && opcode != kContinuation) return kCloseProtocolError;
    // A new message while another is being reassembled, or a continuation of
    // none, breaks the framing rules.
    if ((opcode == kContinuation) != (client.message_opcode >= 0)) return kCloseProtocolError;
    if (client.fragments.size() + size > options_.max_message) {
      status(client, "message larger than " + std::to_string(options_.max_message) + " bytes");
      return kCloseTooBig;
    }
    if (opcode != kContinuation) client.message_opcode = opcode;
    if ((flags & kFin) == 0) {
      client.fragments.append(data, size);
      return 0;
    }
    std::string whole = std::move(client.fragments);
    whole.append(data, size);
    client.fragments.clear();
    const int message_opcode = client.message_opcode;
    client.message_opcode = -1;
    if (message_opcode == kText) textOperation(client, whole);
    if (message_opcode == kBinary) binaryMessage(client, whole);
    return 0;
  } catch (...) {  // out of memory, or a handler's failure: end this connection only
    return 1011;
  }
}

void Protocol::publish(std::uint32_t channel_id, std::uint64_t stamp_ns, const std::string& payload,
                       const std::string* trusted_payload) {
  const Channel* c = channel(channel_id);
  if (c == nullptr) return;
  if (c->latched) {
    std::lock_guard<std::mutex> lock(latched_mutex_);
    latched_[channel_id] = {stamp_ns, payload};
  }
  std::lock_guard<std::mutex> lock(clients_mutex_);
  for (const auto& [id, client] : clients_) {
    std::vector<std::uint32_t> subscriptions;
    {
      std::lock_guard<std::mutex> client_lock(client->mutex);
      for (const auto& [subscription, subscribed_channel] : client->subscriptions) {
        if (subscribed_channel == channel_id) subscriptions.push_back(subscription);
      }
    }
    const std::string& text = trusted_payload != nullptr && client->trusted ? *trusted_payload : payload;
    for (std::uint32_t subscription : subscriptions)
      message(*client, kBinary, dataFrame(subscription, stamp_ns, text));
  }
}

void Protocol::reply(std::uint64_t id, const ClientReply& reply) {
  std::shared_ptr<Client> client;
  {
    std::lock_guard<std::mutex> lock(clients_mutex_);
    const auto found = clients_.find(id);
    if (found == clients_.end()) return;
    client = found->second;
  }
  message(*client, kText, statusOperation(reply.level, reply.message));
}

bool Protocol::subscribed(std::uint32_t channel_id) const {
  const auto found = subscribers_.find(channel_id);
  return found != subscribers_.end() && found->second.load() > 0;
}

std::vector<ClientStats> Protocol::clients() const {
  std::vector<ClientStats> result;
  std::lock_guard<std::mutex> lock(clients_mutex_);
  for (const auto& [id, client] : clients_) {
    std::lock_guard<std::mutex> client_lock(client->mutex);
    result.push_back(client->stats);
    result.back().queued = client->queue.size();
  }
  return result;
}

}  // namespace serve
}  // namespace kav
