#include "Service.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Dds.h"

namespace kav {
namespace bridge {

namespace {

constexpr int kServiceDepth = 10;
constexpr std::chrono::milliseconds kReplyWait{100};
constexpr std::chrono::milliseconds kReplyPoll{5};

std::string userData(const dds_qos_t* qos) {
  void* value = nullptr;
  size_t size = 0;
  if (qos == nullptr || !dds_qget_userdata(qos, &value, &size) || value == nullptr) return "";
  std::string text(static_cast<const char*>(value), size);
  dds_free(value);
  return text;
}

void freeEndpoint(dds_builtintopic_endpoint_t* endpoint) {
  dds_delete_qos(endpoint->qos);
  dds_free(endpoint->topic_name);
  dds_free(endpoint->type_name);
  dds_free(endpoint);
}

dds_entity_t topic(dds_entity_t participant, const dds_topic_descriptor_t& type, const std::string& name) {
  const dds_entity_t handle = dds_create_topic(participant, &type, name.c_str(), nullptr, nullptr);
  if (handle < 0)
    throw std::runtime_error("DDS: cannot create the topic " + name + ": " + dds_strretcode(handle));
  return handle;
}

}  // namespace

std::string serviceId(const std::array<std::uint8_t, 16>& participant, std::uint32_t counter) {
  std::array<std::uint8_t, 16> id = participant;
  for (int i = 0; i < 4; ++i) id[12 + i] = static_cast<std::uint8_t>(counter >> (24 - 8 * i));
  std::string text;
  char byte[4];
  for (std::size_t i = 0; i < id.size(); ++i) {
    std::snprintf(byte, sizeof byte, i == 0 ? "%2x" : "%x", id[i]);
    if (i > 0) text += '.';
    text += byte;
  }
  return text;
}

std::string userDataValue(const std::string& user_data, const std::string& key) {
  std::size_t start = 0;
  while (start < user_data.size()) {
    std::size_t end = user_data.find(';', start);
    if (end == std::string::npos) end = user_data.size();
    const std::string pair = user_data.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos && pair.substr(0, equals) == key) return pair.substr(equals + 1);
    start = end + 1;
  }
  return "";
}

ServiceServer::ServiceServer(dds_entity_t participant, const dds_topic_descriptor_t& request_type,
                             const dds_topic_descriptor_t& reply_type, const std::string& ns,
                             const std::string& name, const std::string& service_id)
    : name_("/" + ns + "/" + name) {
  dds_qos_t* qos = makeQos(Delivery::kReliable, kServiceDepth, "serviceid=" + service_id + ";");
  replies_ =
      dds_create_writer(participant, topic(participant, reply_type, replyTopic(ns, name)), qos, nullptr);
  requests_ =
      dds_create_reader(participant, topic(participant, request_type, requestTopic(ns, name)), qos, nullptr);
  dds_delete_qos(qos);
  if (replies_ < 0 || requests_ < 0) {
    throw std::runtime_error("DDS: cannot create the endpoints of the service /" + ns + "/" + name);
  }
}

void ServiceServer::listen(dds_on_data_available_fn on_request, void* arg) const {
  dds_listener_t* listener = dds_create_listener(arg);
  dds_lset_data_available(listener, on_request);
  dds_set_listener(requests_, listener);
  dds_delete_listener(listener);
}

ServiceServer::Client ServiceServer::clientReader(dds_instance_handle_t request_writer) const {
  dds_builtintopic_endpoint_t* writer = dds_get_matched_publication_data(requests_, request_writer);
  if (writer == nullptr) return Client::kGone;
  const std::string client = userDataValue(userData(writer->qos), "clientid");
  freeEndpoint(writer);
  // A client without an id cannot be told apart: reply at once.
  if (client.empty()) return Client::kPresent;
  std::vector<dds_instance_handle_t> readers(16);
  dds_return_t count = dds_get_matched_subscriptions(replies_, readers.data(), readers.size());
  if (count > static_cast<dds_return_t>(readers.size())) {
    readers.resize(static_cast<std::size_t>(count));
    count = dds_get_matched_subscriptions(replies_, readers.data(), readers.size());
  }
  for (dds_return_t i = 0; i < count && i < static_cast<dds_return_t>(readers.size()); ++i) {
    dds_builtintopic_endpoint_t* reader = dds_get_matched_subscription_data(replies_, readers[i]);
    if (reader == nullptr) continue;
    const bool same = userDataValue(userData(reader->qos), "clientid") == client;
    freeEndpoint(reader);
    if (same) return Client::kPresent;
  }
  return Client::kNotYet;
}

bool ServiceServer::reply(const void* reply, dds_instance_handle_t request_writer) const {
  const auto end = std::chrono::steady_clock::now() + kReplyWait;
  Client client = clientReader(request_writer);
  while (client == Client::kNotYet && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(kReplyPoll);
    client = clientReader(request_writer);
  }
  if (client != Client::kPresent) {
    std::fprintf(stderr, "kav_bridge: no reply to a request of %s: %s\n", name_.c_str(),
                 client == Client::kGone ? "its client is gone"
                                         : "its client's reply reader was not discovered within 100 ms");
    return false;
  }
  const dds_return_t written = dds_write(replies_, reply);
  if (written < 0) {
    std::fprintf(stderr, "kav_bridge: no reply to a request of %s: %s\n", name_.c_str(),
                 dds_strretcode(written));
  }
  return written >= 0;
}

}  // namespace bridge
}  // namespace kav
