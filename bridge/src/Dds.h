#pragma once
// Small helpers over Cyclone DDS's C API: entities that delete themselves,
// the QoS profiles the bridge uses, and ROS 2's topic naming.

#include <dds/dds.h>

#include <string>

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

/// A QoS object for @p delivery with KEEP_LAST @p depth; the caller deletes it.
dds_qos_t* makeQos(Delivery delivery, int depth);

/// The DDS topic of the ROS 2 topic /<ns>/<name> (ns may be empty): "rt/..." .
std::string rosTopic(const std::string& ns, const std::string& name);

}  // namespace bridge
}  // namespace kav
