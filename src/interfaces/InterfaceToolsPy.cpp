#include "interfaces/InterfaceToolsPy.h"

#include "tools/tools.h"

namespace kav {
namespace t8 {

class InterfacesToolsPy::impl : public Tools {
 public:
  explicit impl(int type) : Tools(type) {}
};

InterfacesToolsPy::InterfacesToolsPy(int flag) : pimpl(std::make_unique<impl>(flag)) {}

InterfacesToolsPy::~InterfacesToolsPy() = default;

std::vector<double> InterfacesToolsPy::forward_kinematics_rpy(std::vector<double> joint_pos) {
  return pimpl->forwardKinematicsRPY(joint_pos);
}

}  // namespace t8
}  // namespace kav
