#include "Description.h"

#include <solver/kinematic_dynamic_solver.h>

#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/tree.hpp>
#include <stdexcept>

namespace kav {
namespace bridge {

Eigen::Vector3d zeroConfigurationPosition(const std::string& urdf_path) {
  KDL::Tree tree;
  if (!parseDescriptionFile(urdf_path, tree)) {
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
