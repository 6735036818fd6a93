#pragma once
// The server side of a ROS 2 service as ROS 2's Cyclone DDS middleware puts
// it on DDS: a reader of "rq/<name>Request" and a writer of "rr/<name>Reply",
// both marked with USER_DATA "serviceid=<id>;". Every request and reply
// sample starts with the request header {uint64 guid; int64 seq}; a reply
// echoes its request's header. Before replying, the server waits up to 100 ms
// until its reply writer has matched the reply reader of the client that sent
// the request (the reader whose USER_DATA carries the same "clientid=" as the
// request's writer), as the middleware does: a reply sent earlier would be lost.

#include <dds/dds.h>

#include <array>
#include <cstdint>
#include <string>

namespace kav {
namespace bridge {

/// The request header of the Cyclone DDS middleware's services.
struct RequestHeader {
  std::uint64_t guid = 0;  ///< the client's request writer, as the client names it
  std::int64_t seq = 0;    ///< the client's request number
};

/// "serviceid=" value for the @p counter-th service of the participant whose
/// GUID is @p participant: the GUID prefix with the counter in the last four
/// bytes (big-endian), as hexadecimal bytes joined by '.'.
std::string serviceId(const std::array<std::uint8_t, 16>& participant, std::uint32_t counter);

/// The value of @p key in a USER_DATA text "key1=value1;key2=value2;"; empty
/// when absent.
std::string userDataValue(const std::string& user_data, const std::string& key);

class ServiceServer {
 public:
  ServiceServer() = default;
  /// Creates the reader and writer of service /<ns>/<name> (reliable,
  /// volatile, keep last 10) on @p participant; requests wait until listen().
  /// @throw std::runtime_error when an entity cannot be created
  ServiceServer(dds_entity_t participant, const dds_topic_descriptor_t& request_type,
                const dds_topic_descriptor_t& reply_type, const std::string& ns, const std::string& name,
                const std::string& service_id);

  /// From now on @p on_request runs on a DDS thread with @p arg when
  /// requests arrive.
  void listen(dds_on_data_available_fn on_request, void* arg) const;

  dds_entity_t requests() const { return requests_; }
  dds_entity_t replies() const { return replies_; }

  /// Writes @p reply (whose header the caller copied from the request) once
  /// the client that wrote the request through @p request_writer can receive
  /// it; waits up to 100 ms for that.
  /// @return false when the client is gone or its reader did not match in
  /// time (said on standard error: the client waits for a reply in vain)
  bool reply(const void* reply, dds_instance_handle_t request_writer) const;

 private:
  enum class Client { kPresent, kNotYet, kGone };
  Client clientReader(dds_instance_handle_t request_writer) const;

  dds_entity_t requests_ = 0;
  dds_entity_t replies_ = 0;
  std::string name_;  // "/<ns>/<name>"
};

}  // namespace bridge
}  // namespace kav
