// Synchronised point-to-point moves: all six joints start and arrive
// together, as fast as the motion limits allow for the slowest joint.
//
//   sync_move URDF CAN_NAME       (CAN_NAME: "can0", or "unix:@kav-arm" from kav_arm_sim)
#include <interfaces/InterfacesThread.h>

#include <cstdio>
#include <stdexcept>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: sync_move URDF CAN_NAME\n");
    return 2;
  }
  try {
    kav::t8::InterfacesThread arm(argv[1], argv[2], 0);
    arm.moveJoints({0.3, 0.8, 0.6, 0.0, 0.2, 0.0});  // full speed
    arm.waitMotion(30.0);
    arm.moveJoints({-0.3, 1.0, 0.8, 0.3, -0.2, 0.5}, 0.5);  // half speed: twice as long
    if (!arm.waitMotion(30.0)) std::printf("the move did not finish in 30 s\n");
    for (double q : arm.getJointPositons()) std::printf("%.3f ", q);
    std::printf("\n");
    return 0;
  } catch (const std::exception& error) {  // bad target, or the arm could not start
    std::fprintf(stderr, "sync_move: %s\n", error.what());
    return 1;
  }
}
