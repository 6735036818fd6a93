#include "Description.h"

#include <solver/kinematic_dynamic_solver.h>

#include <fstream>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/tree.hpp>
#include <sstream>
#include <stdexcept>

namespace kav {
namespace bridge {

namespace {

KDL::Tree readTree(const std::string& urdf_path) {
  KDL::Tree tree;
  if (!parseDescriptionFile(urdf_path, tree)) {
    throw std::runtime_error("cannot read the robot description " + urdf_path);
  }
  return tree;
}

}  // namespace

Eigen::Vector3d zeroConfigurationPosition(const std::string& urdf_path) {
  const KDL::Tree tree = readTree(urdf_path);
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

std::string descriptionText(const std::string& urdf_path) {
  readTree(urdf_path);  // refuses what the solver refuses (FIFOs, huge files, bad XML)
  std::ifstream file(urdf_path);
  std::ostringstream text;
  text << file.rdbuf();
  if (!file) throw std::runtime_error("cannot read the robot description " + urdf_path);
  return text.str();
}

struct LinkTree::Segments {
  std::vector<KDL::Segment> segments;
};

LinkTree::LinkTree(const std::string& urdf_path) : segments_(new Segments) {
  const KDL::Tree tree = readTree(urdf_path);
  const std::string root = tree.getRootSegment()->first;
  for (const auto& [name, element] : tree.getSegments()) {
    if (name == root) continue;
    const KDL::Segment& segment = GetTreeElementSegment(element);
    joints_.push_back({GetTreeElementParent(element)->first, name, segment.getJoint().getName(),
                       segment.getJoint().getType() == KDL::Joint::None});
    segments_->segments.push_back(segment);
  }
}

LinkTree::~LinkTree() { delete segments_; }

Eigen::Isometry3d LinkTree::transform(std::size_t index, double position) const {
  const KDL::Frame frame = segments_->segments.at(index).pose(position);
  Eigen::Isometry3d result = Eigen::Isometry3d::Identity();
  double x, y, z, w;
  frame.M.GetQuaternion(x, y, z, w);
  result.linear() = Eigen::Quaterniond(w, x, y, z).toRotationMatrix();
  result.translation() = Eigen::Vector3d(frame.p.x(), frame.p.y(), frame.p.z());
  return result;
}

}  // namespace bridge
}  // namespace kav
