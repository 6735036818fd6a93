#include "Description.h"

#include <solver/kinematic_dynamic_solver.h>
#include <solver/kinematic_solver.h>
#include <urdf_parser/urdf_parser.h>

#include <stdexcept>

namespace kav {
namespace tool {

std::string defaultDescription() { return defaultDescriptionPath(); }

std::string robotName(const std::string& path) {
  requireDescriptionFile(path);
  // The solver's reader first: it refuses what would overflow the parser's stack.
  KDL::Tree tree;
  if (!parseDescriptionFile(path, tree))
    throw std::runtime_error("cannot read the robot description " + path);
  const urdf::ModelInterfaceSharedPtr model = urdf::parseURDFFile(path);
  if (!model) throw std::runtime_error("cannot read the robot description " + path);
  return model->getName();
}

KDL::Chain armChain(const std::string& path) {
  try {
    const KinematicDynamicSolver solver(path, "base_link", "link6");
    return solver.chain();
  } catch (const std::runtime_error& error) {
    throw std::runtime_error("cannot use the robot description " + path + ": " + error.what());
  }
}

}  // namespace tool
}  // namespace kav
