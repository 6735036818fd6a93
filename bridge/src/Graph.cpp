#include "Graph.h"

#include <algorithm>
#include <regex>
#include <stdexcept>

#include "Dds.h"
#include "rmw_dds_common.h"

namespace kav {
namespace bridge {

namespace {

// The Humble layout lives in its own IDL module for a C type of its own; on
// the wire it carries the common type name.
const dds_topic_descriptor_t kHumbleType = [] {
  dds_topic_descriptor_t type = rmw_dds_common_humble_msg_dds__ParticipantEntitiesInfo__desc;
  type.m_typename = rmw_dds_common_msg_dds__ParticipantEntitiesInfo__desc.m_typename;
  return type;
}();

template <class Info, class Node, class Gid>
void build(const ParticipantEntities& entities, void (*use)(const void*, void*), void* arg) {
  auto gid = [](const Guid& guid) {
    Gid result{};
    std::copy(guid.begin(), guid.end(), std::begin(result.data));
    return result;
  };
  std::vector<Gid> readers, writers;
  for (const Guid& guid : entities.readers) readers.push_back(gid(guid));
  for (const Guid& guid : entities.writers) writers.push_back(gid(guid));
  Node node{};
  node.node_namespace = text(entities.node_namespace);
  node.node_name = text(entities.node_name);
  node.reader_gid_seq = sequenceOf<decltype(node.reader_gid_seq)>(readers);
  node.writer_gid_seq = sequenceOf<decltype(node.writer_gid_seq)>(writers);
  Info info{};
  info.gid = gid(entities.participant);
  info.node_entities_info_seq = {1, 1, &node, false};
  use(&info, arg);
}

}  // namespace

RosDistro parseRosDistro(const std::string& name) {
  if (name == "humble") return RosDistro::kHumble;
  if (name == "jazzy") return RosDistro::kJazzy;
  throw std::invalid_argument("ROS 2 distribution '" + name + "' is not humble or jazzy");
}

const dds_topic_descriptor_t& discoveryInfoType(RosDistro distro) {
  return distro == RosDistro::kHumble ? kHumbleType : rmw_dds_common_msg_dds__ParticipantEntitiesInfo__desc;
}

void withDiscoveryInfo(const ParticipantEntities& entities, RosDistro distro, void (*use)(const void*, void*),
                       void* arg) {
  if (distro == RosDistro::kHumble) {
    build<rmw_dds_common_humble_msg_dds__ParticipantEntitiesInfo_,
          rmw_dds_common_humble_msg_dds__NodeEntitiesInfo_, rmw_dds_common_humble_msg_dds__Gid_>(entities,
                                                                                                 use, arg);
  } else {
    build<rmw_dds_common_msg_dds__ParticipantEntitiesInfo_, rmw_dds_common_msg_dds__NodeEntitiesInfo_,
          rmw_dds_common_msg_dds__Gid_>(entities, use, arg);
  }
}

void checkNodeName(const std::string& name) {
  static const std::regex valid("[A-Za-z_][A-Za-z0-9_]*");
  if (!std::regex_match(name, valid)) {
    throw std::invalid_argument("node name '" + name +
                                "' is not a ROS 2 node name (letters, digits, '_', "
                                "not starting with a digit)");
  }
}

}  // namespace bridge
}  // namespace kav
