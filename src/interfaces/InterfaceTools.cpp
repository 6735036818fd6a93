#include "interfaces/InterfaceTools.h"

#include "tools/tools.h"

namespace kav {
namespace t8 {

class InterfacesTools::impl : public Tools {
 public:
  explicit impl(int type) : Tools(type) {}
};

InterfacesTools::InterfacesTools(int flag) : pimpl(std::make_unique<impl>(flag)) {}

InterfacesTools::~InterfacesTools() = default;

std::vector<double> InterfacesTools::ForwardKinematicsRpy(std::vector<double> joint_pos) {
  return pimpl->forwardKinematicsRPY(joint_pos);
}

}  // namespace t8
}  // namespace kav
