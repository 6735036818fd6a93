#include "Description.h"

#include <solver/kinematic_dynamic_solver.h>
#include <unistd.h>
#include <urdf_parser/urdf_parser.h>

#include <fstream>
#include <stdexcept>
#include <vector>

namespace kav {
namespace tool {

namespace {

std::string executableFolder() {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return ".";
  const std::string whole(path, static_cast<std::size_t>(length));
  return whole.substr(0, whole.rfind('/'));
}

}  // namespace

std::string defaultDescription() {
  const std::vector<std::string> candidates{
      executableFolder() + "/../share/kav_t8/urdf/vorlan_v1.1_aa.urdf",
      std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf",
  };
  for (const std::string& path : candidates) {
    if (std::ifstream(path)) return path;
  }
  return candidates.back();
}

std::string robotName(const std::string& path) {
  requireDescriptionFile(path);
  const urdf::ModelInterfaceSharedPtr model = urdf::parseURDFFile(path);
  if (!model) throw std::runtime_error("cannot read the robot description " + path);
  return model->getName();
}

}  // namespace tool
}  // namespace kav
