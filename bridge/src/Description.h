#pragma once
// What the bridge needs from the robot description: the end effector's offset
// and the links' transforms for TF.

#include <Eigen/Geometry>
#include <map>
#include <string>
#include <vector>

namespace kav {
namespace bridge {

/// The position of the end effector (link6) in the base frame (base_link) of
/// the description at @p urdf_path when every joint is at zero: the offset
/// between the arm's pose coordinates and the description's base frame.
/// @throw std::runtime_error when the file cannot be read or has no such chain
Eigen::Vector3d zeroConfigurationPosition(const std::string& urdf_path);

/// The text of the description at @p urdf_path (checked as the solver reads it).
/// @throw std::runtime_error when it cannot be read
std::string descriptionText(const std::string& urdf_path);

/// One joint of the description: the transform from its parent link to its
/// child link.
struct LinkJoint {
  std::string parent;
  std::string child;
  std::string joint;
  bool fixed = false;
};

/// Every joint of a description and the transforms it gives.
class LinkTree {
 public:
  /// @throw std::runtime_error when the description cannot be read
  explicit LinkTree(const std::string& urdf_path);
  ~LinkTree();
  LinkTree(const LinkTree&) = delete;
  LinkTree& operator=(const LinkTree&) = delete;

  const std::vector<LinkJoint>& joints() const { return joints_; }
  /// The transform of joints()[@p index] at joint position @p position
  /// (ignored for a fixed joint).
  Eigen::Isometry3d transform(std::size_t index, double position) const;

 private:
  struct Segments;
  std::vector<LinkJoint> joints_;
  Segments* segments_;
};

}  // namespace bridge
}  // namespace kav
