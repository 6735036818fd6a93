// A joint trajectory through three points, interpolated by a cubic spline
// and sampled inside the control cycle; the arm holds the last point.
//
//   trajectory URDF CAN_NAME      (CAN_NAME: "can0", or "unix:@kav-arm" from kav_arm_sim)
#include <interfaces/InterfacesThread.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: trajectory URDF CAN_NAME\n");
    return 2;
  }
  try {
    kav::t8::InterfacesThread arm(argv[1], argv[2], 0);
    std::vector<kav::t8::TrajectoryPoint> points(3);
    points[0].positions = {0.3, 0.8, 0.6, 0.0, 0.2, 0.0};
    points[0].time_from_start = 3.0;  // seconds after the start
    points[1].positions = {0.6, 1.1, 0.9, 0.3, 0.0, 0.3};
    points[1].time_from_start = 6.0;
    points[2].positions = {0.2, 0.9, 0.7, 0.0, 0.1, 0.0};
    points[2].time_from_start = 9.0;
    // Give velocities (and accelerations) per point for Hermite (quintic) segments.
    arm.followJointTrajectory(points);
    arm.waitMotion(30.0);
    for (double q : arm.getJointPositons()) std::printf("%.3f ", q);
    std::printf("\n");
    return 0;
  } catch (const std::invalid_argument& error) {  // the message names the point and the joint
    std::fprintf(stderr, "trajectory refused: %s\n", error.what());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "trajectory: %s\n", error.what());
    return 1;
  }
}
