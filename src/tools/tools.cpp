#include "tools/tools.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "solver/Exercise.h"

namespace kav {
namespace t8 {

Tools::Tools(int type) : type_(type) {}

std::vector<double> Tools::forwardKinematicsRPY(std::vector<double> joint_pos) {
  if (joint_pos.size() < 6) {
    throw std::invalid_argument("joint_pos: expected at least 6 joint angles, got " +
                                std::to_string(joint_pos.size()));
  }
  double input[6];
  for (int i = 0; i < 6; ++i) {
    if (!std::isfinite(joint_pos[i])) {
      throw std::invalid_argument("joint_pos[" + std::to_string(i) + "] is not a finite number");
    }
    input[i] = joint_pos[i];
  }
  double send_end[6];
  solve::q7_fk(input, send_end);
  return std::vector<double>(send_end, send_end + 6);
}

}  // namespace t8
}  // namespace kav
