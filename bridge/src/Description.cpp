#include "Description.h"

#include <solver/kinematic_dynamic_solver.h>

#include <fstream>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/tree.hpp>
#include <sstream>
#include <stdexcept>

namespace kav {
namespace bridge {

Eigen::Vector3d zeroConfigurationPosition(const std::string& urdf_path) {
  std::ifstream file(urdf_path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  KDL::Tree tree;
  if (!file || !parseDescriptionTree(text.str(), tree)) {
    throw std::runtime_error("cannot read the robot description " + urdf_path);
  }
  KDL::Chain chain;
  if (!tree.getChain("base_link", "link6", chain)) {
    throw std::runtime_error("the robot description " + urdf_path + " has no chain base_link to link6");
  }
  KDL::ChainFkSolverPos_recursive solver(chain);
  KDL::JntArray zero(chain.getNrOfJoints());
  KDL::Frame frame;
  if (solver.JntToCart(zero, frame) < 0) {
    throw std::runtime_error("forward kinematics of " + urdf_path + " failed");
  }
  return Eigen::Vector3d(frame.p.x(), frame.p.y(), frame.p.z());
}

}  // namespace bridge
}  // namespace kav
