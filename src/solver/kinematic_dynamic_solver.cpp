#include <solver/kinematic_dynamic_solver.h>
#include <sys/stat.h>
#include <urdf_parser/urdf_parser.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <kdl/chaindynparam.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainiksolverpos_lma.hpp>
#include <kdl_parser/kdl_parser.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>
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

namespace {

// How far the XML parser (TinyXML) is trusted: it recurses once per level of
// nesting, and so does its destructor. A robot description nests five or six
// levels and has a few hundred elements.
constexpr int kDeepestNesting = 64;
constexpr int kMostElements = 10000;
// The tree builder recurses once per link of a chain, and the parsed model
// frees a chain recursively; an arm has a dozen links in a row.
constexpr std::size_t kLongestChain = 256;
// A joint axis within this of unit length is taken as the description states
// it; the tree builder divides by the length, so a zero axis gives NaN poses.
constexpr double kAxisLengthTolerance = 1e-3;

std::size_t skipPast(const std::string& text, std::size_t from, const char* end) {
  const std::size_t at = text.find(end, from);
  return at == std::string::npos ? text.size() : at + std::strlen(end);
}

// The end of the start tag that opens at @p from, quoted attribute values
// skipped as the parser skips them; sets @p empty for "<name ... />".
std::size_t startTagEnd(const std::string& text, std::size_t from, bool& empty) {
  empty = false;
  for (std::size_t at = from; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '"' || c == '\'') {
      at = text.find(c, at + 1);
      if (at == std::string::npos) return text.size();
    } else if (c == '>') {
      empty = text[at - 1] == '/';
      return at + 1;
    }
  }
  return text.size();
}

bool startsElement(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 127 || std::isalpha(byte) || c == '_';
}

// Follows the parser's reading of markup: comments end at "-->", character
// data at "]]>", other "<!" and "<?" constructs at the first '>' (the parser
// never ends them earlier, so nothing it reads as an element is skipped
// here), and '<' starts an element only before a letter or '_'.
std::string descriptionShapeProblem(const std::string& urdf_xml) {
  int depth = 0;
  int elements = 0;
  std::size_t at = urdf_xml.find('<');
  while (at != std::string::npos && at + 1 < urdf_xml.size()) {
    const char next = urdf_xml[at + 1];
    if (urdf_xml.compare(at, 4, "<!--") == 0) {
      at = skipPast(urdf_xml, at + 4, "-->");
    } else if (urdf_xml.compare(at, 9, "<![CDATA[") == 0) {
      at = skipPast(urdf_xml, at + 9, "]]>");
    } else if (next == '/') {
      depth = std::max(0, depth - 1);  // outside any element the parser skips it
      at = skipPast(urdf_xml, at + 2, ">");
    } else if (startsElement(next)) {
      if (++elements > kMostElements) {
        return "The robot description has more than " + std::to_string(kMostElements) + " elements.";
      }
      bool empty = false;
      at = startTagEnd(urdf_xml, at + 1, empty);
      if (!empty && ++depth > kDeepestNesting) {
        return "The robot description nests elements deeper than " + std::to_string(kDeepestNesting) +
               " levels.";
      }
    } else {
      at = skipPast(urdf_xml, at + 1, ">");
    }
    at = urdf_xml.find('<', at);
  }
  return {};
}

// Empty, or why the joint above @p link cannot be built.
std::string jointProblem(const urdf::Link& link) {
  const urdf::JointConstSharedPtr joint = link.parent_joint;
  if (!joint || joint->type == urdf::Joint::FIXED || joint->type == urdf::Joint::FLOATING ||
      joint->type == urdf::Joint::PLANAR) {
    return {};
  }
  const urdf::Vector3& a = joint->axis;
  const double length = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
  if (std::isfinite(length) && std::abs(length - 1.0) <= kAxisLengthTolerance) return {};
  std::ostringstream line;
  line << "The axis of joint \"" << joint->name << "\" is not of unit length (" << a.x << " " << a.y << " "
       << a.z << ").";
  return line.str();
}

// The links of the model own their children: cut those links, so that the
// model is freed link by link rather than down a chain (recursively), and so
// that a loop does not keep itself alive.
void releaseLinks(urdf::ModelInterface& model) {
  for (auto& entry : model.links_) {
    entry.second->child_links.clear();
    entry.second->child_joints.clear();
  }
}

// Walks the parsed links without recursion; empty, or why the tree builder
// must not see them: a link reached twice (a joint's child that is also an
// ancestor, or a link with two parents), a chain longer than kLongestChain or
// a joint axis that is not of unit length.
std::string linkTreeProblem(const urdf::ModelInterface& model) {
  std::set<const urdf::Link*> reached;
  std::vector<std::pair<const urdf::Link*, std::size_t>> pending{{model.getRoot().get(), 1}};
  while (!pending.empty()) {
    const auto [link, depth] = pending.back();
    pending.pop_back();
    if (!reached.insert(link).second) {
      return "The links of the robot description form a loop at \"" + link->name + "\".";
    }
    if (depth > kLongestChain) {
      return "The robot description has a chain of more than " + std::to_string(kLongestChain) + " links.";
    }
    if (std::string problem = jointProblem(*link); !problem.empty()) return problem;
    for (const auto& child : link->child_links) pending.emplace_back(child.get(), depth + 1);
  }
  return {};
}

}  // namespace

bool parseDescriptionTree(const std::string& urdf_xml, KDL::Tree& tree) {
  if (const std::string problem = descriptionShapeProblem(urdf_xml); !problem.empty()) {
    std::cerr << problem << std::endl;
    return false;
  }
  const urdf::ModelInterfaceSharedPtr model = urdf::parseURDF(urdf_xml);
  if (!model || !model->getRoot()) return false;
  const std::string problem = linkTreeProblem(*model);
  const bool built = problem.empty() && kdl_parser::treeFromUrdfModel(*model, tree);
  releaseLinks(*model);
  if (!problem.empty()) std::cerr << problem << std::endl;
  return built;
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
