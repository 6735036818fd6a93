#include "Dds.h"

#include <stdexcept>
#include <utility>

namespace kav {
namespace bridge {

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

dds_qos_t* makeQos(Delivery delivery, int depth) {
  dds_qos_t* qos = dds_create_qos();
  if (delivery == Delivery::kBestEffort) {
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
  } else {
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
  }
  dds_qset_durability(
      qos, delivery == Delivery::kTransientLocal ? DDS_DURABILITY_TRANSIENT_LOCAL : DDS_DURABILITY_VOLATILE);
  dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, depth);
  return qos;
}

std::string rosTopic(const std::string& ns, const std::string& name) {
  return ns.empty() ? "rt/" + name : "rt/" + ns + "/" + name;
}

}  // namespace bridge
}  // namespace kav
