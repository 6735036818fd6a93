#pragma once
// The bridge as a node on the ROS 2 graph: the ros_discovery_info sample
// (rmw_dds_common/msg/ParticipantEntitiesInfo) that names the node and the
// GUIDs of its readers and writers, in the layout of the ROS 2 distribution
// the graph runs.

#include <dds/dds.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kav {
namespace bridge {

/// Where a Gid's layout changed: Humble has char[24] (the 16-byte GUID,
/// zero-padded), Iron and later uint8[16].
enum class RosDistro { kHumble, kJazzy };

/// "humble" or "jazzy".
/// @throw std::invalid_argument for another name
RosDistro parseRosDistro(const std::string& name);

using Guid = std::array<std::uint8_t, 16>;

/// One participant with one node, as ros_discovery_info reports it.
struct ParticipantEntities {
  Guid participant{};
  std::string node_namespace;  ///< "/" or "/ns"
  std::string node_name;
  std::vector<Guid> readers;
  std::vector<Guid> writers;
};

/// The type of ros_discovery_info for @p distro; its type name is
/// rmw_dds_common::msg::dds_::ParticipantEntitiesInfo_ in both layouts.
const dds_topic_descriptor_t& discoveryInfoType(RosDistro distro);

/// Builds the sample of @p entities in @p distro's layout and hands it to
/// @p use (valid only during the call).
void withDiscoveryInfo(const ParticipantEntities& entities, RosDistro distro, void (*use)(const void*, void*),
                       void* arg);

/// Checks a node name: letters, digits and '_', not starting with a digit.
/// @throw std::invalid_argument naming it otherwise
void checkNodeName(const std::string& name);

}  // namespace bridge
}  // namespace kav
