#include "Dds.h"

#include <dds/ddsi/ddsi_cdrstream.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <utility>

namespace kav {
namespace bridge {

namespace {
constexpr std::array<std::uint8_t, 4> kXcdr1LittleEndian{0x00, 0x01, 0x00, 0x00};
}

Entity::Entity(dds_entity_t handle, const std::string& what) : handle_(handle) {
  if (handle < 0) {
    handle_ = 0;
    throw std::runtime_error("DDS: cannot create " + what + ": " + dds_strretcode(handle));
  }
}

Entity::~Entity() {
  if (handle_ > 0) dds_delete(handle_);
}

Entity::Entity(Entity&& other) noexcept : handle_(std::exchange(other.handle_, 0)) {}

Entity& Entity::operator=(Entity&& other) noexcept {
  if (this != &other) {
    if (handle_ > 0) dds_delete(handle_);
    handle_ = std::exchange(other.handle_, 0);
  }
  return *this;
}

dds_qos_t* makeQos(Delivery delivery, int depth, const std::string& user_data) {
  dds_qos_t* qos = dds_create_qos();
  if (delivery == Delivery::kBestEffort) {
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
  } else {
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
  }
  dds_qset_durability(
      qos, delivery == Delivery::kTransientLocal ? DDS_DURABILITY_TRANSIENT_LOCAL : DDS_DURABILITY_VOLATILE);
  dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, depth);
  if (!user_data.empty()) dds_qset_userdata(qos, user_data.data(), user_data.size());
  return qos;
}

std::string rosTopic(const std::string& ns, const std::string& name) {
  return ns.empty() ? "rt/" + name : "rt/" + ns + "/" + name;
}

std::string requestTopic(const std::string& ns, const std::string& name) {
  return "rq/" + ns + "/" + name + "Request";
}

std::string replyTopic(const std::string& ns, const std::string& name) {
  return "rr/" + ns + "/" + name + "Reply";
}

std::array<std::uint8_t, 16> guidOf(dds_entity_t entity) {
  dds_guid_t guid;
  const dds_return_t result = dds_get_guid(entity, &guid);
  if (result < 0) throw std::runtime_error(std::string("DDS: no GUID: ") + dds_strretcode(result));
  std::array<std::uint8_t, 16> bytes;
  std::memcpy(bytes.data(), guid.v, bytes.size());
  return bytes;
}

std::vector<std::uint8_t> cdrBytes(const dds_topic_descriptor_t& type, const void* sample) {
  dds_ostreamLE_t stream;
  dds_ostream_init(&stream.x, 0, 1);
  dds_stream_writeLE(&stream, static_cast<const char*>(sample), type.m_ops);
  std::vector<std::uint8_t> bytes(kXcdr1LittleEndian.size() + stream.x.m_index);
  std::copy(kXcdr1LittleEndian.begin(), kXcdr1LittleEndian.end(), bytes.begin());
  if (stream.x.m_index > 0)
    std::memcpy(bytes.data() + kXcdr1LittleEndian.size(), stream.x.m_buffer, stream.x.m_index);
  dds_ostream_fini(&stream.x);
  return bytes;
}

void fromCdrBytes(const dds_topic_descriptor_t& type, const std::vector<std::uint8_t>& bytes, void* sample) {
  if (bytes.size() < 4 || !std::equal(kXcdr1LittleEndian.begin(), kXcdr1LittleEndian.end(), bytes.begin())) {
    throw std::invalid_argument("not an XCDR1 little-endian sample");
  }
  dds_istream_t stream;
  dds_istream_init(&stream, static_cast<std::uint32_t>(bytes.size() - 4), bytes.data() + 4, 1);
  dds_stream_read(&stream, static_cast<char*>(sample), type.m_ops);
  dds_istream_fini(&stream);
}

builtin_interfaces_msg_dds__Time_ wallClockStamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return {static_cast<std::int32_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

}  // namespace bridge
}  // namespace kav
