#pragma once
// Small helpers over Cyclone DDS's C API: entities that delete themselves,
// the QoS profiles the bridge uses, ROS 2's topic and service naming, and the
// XCDR1 form of a sample.

#include <dds/dds.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "builtin_interfaces.h"

namespace kav {
namespace bridge {

/// Owns one DDS entity (participant, topic, reader, writer) and deletes it,
/// with its children, when destroyed.
class Entity {
 public:
  Entity() = default;
  /// Takes @p handle; a negative handle is a DDS error code.
  /// @throw std::runtime_error naming @p what when @p handle is an error
  Entity(dds_entity_t handle, const std::string& what);
  ~Entity();
  Entity(Entity&& other) noexcept;
  Entity& operator=(Entity&& other) noexcept;
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;

  dds_entity_t get() const { return handle_; }

 private:
  dds_entity_t handle_ = 0;
};

/// Reliability and durability of a reader or writer.
enum class Delivery {
  kReliable,        ///< RELIABLE, VOLATILE: ROS 2's default profile
  kBestEffort,      ///< BEST_EFFORT, VOLATILE: matches reliable and best-effort writers
  kTransientLocal,  ///< RELIABLE, TRANSIENT_LOCAL: a late joiner gets the kept samples
};

/// A QoS object for @p delivery with KEEP_LAST @p depth and, when not empty,
/// @p user_data as USER_DATA; the caller deletes it.
dds_qos_t* makeQos(Delivery delivery, int depth, const std::string& user_data = "");

/// The DDS topic of the ROS 2 topic /<ns>/<name> (ns may be empty): "rt/..." .
std::string rosTopic(const std::string& ns, const std::string& name);
/// The request topic of the ROS 2 service /<ns>/<name>: "rq/<ns>/<name>Request".
std::string requestTopic(const std::string& ns, const std::string& name);
/// The reply topic of the ROS 2 service /<ns>/<name>: "rr/<ns>/<name>Reply".
std::string replyTopic(const std::string& ns, const std::string& name);

/// The 16-byte DDS GUID of @p entity.
/// @throw std::runtime_error when the entity has none
std::array<std::uint8_t, 16> guidOf(dds_entity_t entity);

/// @p sample of type @p type as it travels: the 4-byte XCDR1 little-endian
/// encapsulation (00 01 00 00), then the CDR of the fields.
std::vector<std::uint8_t> cdrBytes(const dds_topic_descriptor_t& type, const void* sample);
/// Decodes @p bytes (as cdrBytes gives them) into @p sample, which the caller
/// frees with dds_sample_free(sample, &type, DDS_FREE_CONTENTS).
/// @throw std::invalid_argument when the encapsulation is not XCDR1 little-endian
void fromCdrBytes(const dds_topic_descriptor_t& type, const std::vector<std::uint8_t>& bytes, void* sample);

/// The present time of the real-time clock as a ROS 2 time stamp.
builtin_interfaces_msg_dds__Time_ wallClockStamp();

/// A C string field pointing at @p value (valid while @p value lives).
inline char* text(const std::string& value) { return const_cast<char*>(value.c_str()); }

/// A sequence field over @p values (valid while @p values lives, unchanged).
template <class Sequence, class T>
Sequence sequenceOf(std::vector<T>& values) {
  return {static_cast<std::uint32_t>(values.size()), static_cast<std::uint32_t>(values.size()), values.data(),
          false};
}

/// Takes every waiting sample of @p reader and hands the valid ones, with
/// their sample info, to @p handle.
template <class Sample, class Handle>
void takeAll(dds_entity_t reader, Handle handle) {
  void* samples[1] = {nullptr};
  dds_sample_info_t info;
  while (dds_take(reader, samples, &info, 1, 1) > 0) {
    if (info.valid_data) handle(*static_cast<const Sample*>(samples[0]), info);
    dds_return_loan(reader, samples, 1);
  }
}

}  // namespace bridge
}  // namespace kav
