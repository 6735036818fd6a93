// A straight line of the end effector: 4 cm up and back at 3 cm/s, the
// joints solved every control cycle.
//
//   straight_line URDF CAN_NAME   (CAN_NAME: "can0", or "unix:@kav-arm" from kav_arm_sim)
#include <interfaces/InterfacesThread.h>

#include <cstdio>
#include <stdexcept>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: straight_line URDF CAN_NAME\n");
    return 2;
  }
  try {
    kav::t8::InterfacesThread arm(argv[1], argv[2], 0);
    arm.moveJoints({0.3, 0.8, 0.6, 0.0, 0.2, 0.0});
    arm.waitMotion(30.0);
    const Eigen::Isometry3d start = arm.getEndPose();
    Eigen::Isometry3d up = start;
    up.translation().z() += 0.04;
    arm.moveLinear(up, 0.03);  // checks the whole line first; throws if it cannot be followed
    arm.waitMotion(30.0);
    arm.moveLinear(start, 0.03);
    arm.waitMotion(30.0);
    const Eigen::Vector3d p = arm.getEndPose().translation();
    std::printf("end effector at %.4f %.4f %.4f m\n", p.x(), p.y(), p.z());
    return 0;
  } catch (const std::invalid_argument& error) {  // says at which fraction of the line it fails
    std::fprintf(stderr, "line refused: %s\n", error.what());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "straight_line: %s\n", error.what());
    return 1;
  }
}
