#include <solver/kinematic_dynamic_solver.h>
#include <sys/stat.h>
#include <urdf_parser/urdf_parser.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <kdl/chaindynparam.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainiksolverpos_lma.hpp>
#include <kdl_parser/kdl_parser.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "console/Console.h"
#include "solver/ArmDynamics.h"

namespace kav {

namespace {

constexpr unsigned int kArmJoints = 6;
// Slack of the reach bound, far above the solver's tolerance (eps 1e-6) and
// the rounding of the bound itself.
constexpr double kReachMargin = 1e-4;

[[noreturn]] void fail(const char* line, const char* message) {
  // Through the console queue when a real-time thread or the
  // inverse-kinematics worker solves.
  console::print(console::Stream::kErr, "%s\n", line);
  throw std::runtime_error(message);
}

bool allFinite(const KDL::JntArray& q) { return q.data.allFinite(); }

bool allFinite(const KDL::Frame& f) {
  for (int i = 0; i < 3; ++i) {
    if (!std::isfinite(f.p(i))) return false;
    for (int j = 0; j < 3; ++j) {
      if (!std::isfinite(f.M(i, j))) return false;
    }
  }
  return true;
}

// Descriptions are a few kilobytes; anything near this size is not one.
constexpr off_t kLargestDescription = 1 << 20;

bool readFile(const std::string& path, std::string& contents) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  contents = text.str();
  return in.good() && !contents.empty();
}

}  // namespace

// A FIFO would block its reader for ever, a device such as /dev/zero would be
// read until memory runs out.
void requireDescriptionFile(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return;  // missing: fails as unparsable below
  if (!S_ISREG(status.st_mode)) {
    std::cerr << "Failed to parse URDF file." << std::endl;
    throw std::runtime_error("The robot description \"" + path + "\" is not a regular file");
  }
  if (status.st_size > kLargestDescription) {
    std::cerr << "Failed to parse URDF file." << std::endl;
    throw std::runtime_error("The robot description \"" + path + "\" is larger than 1 MiB");
  }
}

// The tree builder walks the links recursively, so they are walked here
// first, without recursion; a link reached twice (a joint's child that is
// also an ancestor, or a link with two parents) refuses the description.
bool parseDescriptionTree(const std::string& urdf_xml, KDL::Tree& tree) {
  const urdf::ModelInterfaceSharedPtr model = urdf::parseURDF(urdf_xml);
  if (!model || !model->getRoot()) return false;
  std::set<const urdf::Link*> reached;
  std::vector<const urdf::Link*> pending{model->getRoot().get()};
  while (!pending.empty()) {
    const urdf::Link* link = pending.back();
    pending.pop_back();
    if (!reached.insert(link).second) {
      std::cerr << "The links of the robot description form a loop at \"" << link->name << "\"." << std::endl;
      // The links of a loop own each other: let go, or the model leaks.
      for (auto& entry : model->links_) {
        entry.second->child_links.clear();
        entry.second->child_joints.clear();
      }
      return false;
    }
    for (const auto& child : link->child_links) pending.push_back(child.get());
  }
  return kdl_parser::treeFromUrdfModel(*model, tree);
}

bool parseDescriptionFile(const std::string& path, KDL::Tree& tree) {
  requireDescriptionFile(path);
  std::string urdf_xml;
  return readFile(path, urdf_xml) && parseDescriptionTree(urdf_xml, tree);
}

KinematicDynamicSolver::KinematicDynamicSolver(const std::string& urdf_path, const std::string& base_link,
                                               const std::string& end_effector_link) {
  // kdl_parser::treeFromFile dereferences a null model when the file is
  // missing or not URDF, so the file is read here and parsed as text.
  if (!parseDescriptionFile(urdf_path, tree_)) {
    fail("Failed to parse URDF file.", "URDF parsing failed");
  }
  if (!tree_.getChain(base_link, end_effector_link, chain_)) {
    std::cerr << "Failed to get chain from " << base_link << " to " << end_effector_link << "." << std::endl;
    throw std::runtime_error("Chain extraction failed");
  }
  buildSolvers();
}

KinematicDynamicSolver::KinematicDynamicSolver(const std::string& urdf_xml) {
  if (!parseDescriptionTree(urdf_xml, tree_)) {
    fail("Failed to URDF XML.", "URDF parsing failed");
  }
  if (!tree_.getChain("base_link", "link6", chain_)) {
    fail("Failed to get chain from base_link to link6.", "Chain extraction failed");
  }
  buildSolvers();
}

KinematicDynamicSolver::~KinematicDynamicSolver() = default;

void KinematicDynamicSolver::buildSolvers() {
  fk_solver_ = std::make_unique<KDL::ChainFkSolverPos_recursive>(chain_);
  ik_solver_ =
      std::make_unique<KDL::ChainIkSolverPos_LMA>(chain_, kIkTolerance, kIkMaxIterations, kIkStepTolerance);
  gravity_ = KDL::Vector(0.0, 0.0, -9.81);
  dyn_param_solver_ = std::make_unique<KDL::ChainDynParam>(chain_, gravity_);

  // init_frame_ is still the identity here, so this yields the chain's own
  // zero-configuration frame; a chain without exactly six joints fails.
  KDL::JntArray zero(kArmJoints);
  KDL::SetToZero(zero);
  init_frame_ = computeForwardKinematics(zero);
  buildReachBound();
}

namespace {

// Largest distance from @p point to the circle that @p circling describes
// when it turns about the axis through @p origin along the unit @p axis.
double farthestOnCircle(const KDL::Vector& point, const KDL::Vector& origin, const KDL::Vector& axis,
                        const KDL::Vector& circling) {
  const KDL::Vector p = point - origin;
  const KDL::Vector c = circling - origin;
  const double p_along = KDL::dot(p, axis);
  const double c_along = KDL::dot(c, axis);
  const double p_across = (p - p_along * axis).Norm();
  const double c_across = (c - c_along * axis).Norm();
  return std::hypot(p_across + c_across, p_along - c_along);
}

}  // namespace

// Every revolute joint's origin lies on its axis, so it stays fixed in the
// links on both sides of the joint: from one joint origin to the next, and
// from the last one to the end effector, the distance is the same in every
// configuration, and joint origin k+2 turns on a circle about joint k+1's
// axis as seen from joint origin k. reach[k] bounds the distance from joint
// origin k to the end effector: the sum of the distances to the next origin
// and onward, or, where shorter, the farthest point of that circle plus the
// bound from origin k+2 (this catches offsets that cancel along an axis, as
// in the wrist). Joint 2's origin turns on a circle about joint 1's axis, so
// the end effector is no farther from that circle than reach[1]. A
// prismatic joint changes a distance, so such a chain gets no bound.
void KinematicDynamicSolver::buildReachBound() {
  std::vector<KDL::Vector> origins;  // joint origins, then the end effector
  std::vector<KDL::Vector> axes;
  KDL::Frame root = KDL::Frame::Identity();  // the segment's root frame, zero configuration
  for (const KDL::Segment& segment : chain_.segments) {
    const KDL::Joint& joint = segment.getJoint();
    switch (joint.getType()) {
      case KDL::Joint::Fixed:
        break;
      case KDL::Joint::RotAxis:
      case KDL::Joint::RotX:
      case KDL::Joint::RotY:
      case KDL::Joint::RotZ: {
        KDL::Vector axis = root.M * joint.JointAxis();
        axis.Normalize();
        axes.push_back(axis);
        origins.push_back(root * joint.JointOrigin());
        break;
      }
      default:
        return;  // prismatic: unbounded
    }
    root = root * segment.pose(0.0);
  }
  if (axes.empty()) return;
  origins.push_back(root.p);
  const std::size_t tip = axes.size();
  std::vector<double> reach(tip + 1, 0.0);
  for (std::size_t k = tip; k-- > 1;) {
    reach[k] = (origins[k + 1] - origins[k]).Norm() + reach[k + 1];
    if (k + 2 <= tip) {
      reach[k] = std::min(
          reach[k], farthestOnCircle(origins[k], origins[k + 1], axes[k + 1], origins[k + 2]) + reach[k + 2]);
    }
  }
  reach_axis_ = axes[0];
  reach_center_ = origins[0] + KDL::dot(origins[1] - origins[0], axes[0]) * axes[0];
  reach_radius_ = (origins[1] - reach_center_).Norm();
  reach_length_ = reach[1];
  reach_bounded_ = true;
}

bool KinematicDynamicSolver::isOutOfReach(const KDL::Vector& position) const {
  if (!reach_bounded_) return false;
  const KDL::Vector from_center = position + init_frame_.p - reach_center_;
  const double along = KDL::dot(from_center, reach_axis_);
  const double across = (from_center - along * reach_axis_).Norm();
  const double to_circle = std::hypot(across - reach_radius_, along);
  return std::isfinite(to_circle) && to_circle > reach_length_ + kReachMargin;
}

KDL::Frame KinematicDynamicSolver::computeForwardKinematics(const KDL::JntArray& joint_angles) {
  KDL::Frame frame = KDL::Frame::Identity();
  if (!allFinite(joint_angles) || fk_solver_->JntToCart(joint_angles, frame, -1) < 0) {
    fail("Forward kinematics computation failed.", "Forward kinematics computation failed");
  }
  frame.p -= init_frame_.p;
  return frame;
}

KDL::JntArray KinematicDynamicSolver::computeInverseKinematics(KDL::Frame& target_pose,
                                                               const KDL::JntArray& initial_guess) {
  KDL::JntArray result(chain_.getNrOfJoints());
  target_pose.p += init_frame_.p;
  if (!allFinite(target_pose) || !allFinite(initial_guess) ||
      ik_solver_->CartToJnt(initial_guess, target_pose, result) < 0) {
    fail("Inverse kinematics computation failed.", "Inverse kinematics computation failed");
  }
  return result;
}

KDL::JntArray KinematicDynamicSolver::computeGravityCompensationTorque(const KDL::JntArray& joint_angles) {
  KDL::JntArray torques(chain_.getNrOfJoints());
  computeGravityCompensationTorque(joint_angles, torques);
  return torques;
}

void KinematicDynamicSolver::computeGravityCompensationTorque(const KDL::JntArray& joint_angles,
                                                              KDL::JntArray& torques) {
  if (!allFinite(joint_angles) || dyn_param_solver_->JntToGravity(joint_angles, torques) < 0) {
    fail("Dynamics computation failed.", "Dynamics computation failed");
  }
  // The motors' torque commands that deliver these torques at the joints
  // (0.8 on joints 1-3, 1.32 on joints 4-6).
  for (unsigned int i = 0; i < torques.rows(); ++i)
    torques(i) = torqueCommand(static_cast<int>(i), torques(i));
}

}  // namespace kav
