// A complete host program: bring the arm up, move it in joint space, hold it
// in gravity compensation, use the gripper, read its state, shut it down.
//
//   move_arm URDF CAN_NAME [TYPE]
//
// CAN_NAME is "can0" for a real arm, or the address printed by kav_arm_sim
// ("unix:@kav-arm") to try it against the simulated arm.
#include <interfaces/InterfacesThread.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: move_arm URDF CAN_NAME [TYPE]\n");
    return 2;
  }
  const int type = argc > 3 ? std::atoi(argv[3]) : 0;
  try {
    // Blocks for a few seconds: clears and enables the motors and homes the arm.
    kav::t8::InterfacesThread arm(argv[1], argv[2], type);

    arm.kav_x(300, 1000, 0);  // gentler limits: acceleration 0.3, speed 1.0
    arm.setJointPositions({0.3, 0.8, 0.6, 0.0, 0.2, 0.0});
    arm.setArmStatus(5);  // POSITION_CONTROL
    std::this_thread::sleep_for(std::chrono::seconds(3));

    const std::vector<double> q = arm.getJointPositons();
    std::printf("joints:");
    for (double value : q) std::printf(" %.3f", value);
    std::printf("\n");
    const Eigen::Isometry3d pose = arm.getEndPose();
    std::printf("end effector at %.3f %.3f %.3f m\n", pose.translation().x(), pose.translation().y(),
                pose.translation().z());

    arm.setCatch(0.8);  // open the gripper (radians from its closed stop)
    std::this_thread::sleep_for(std::chrono::seconds(1));
    arm.setCatch(0.0);  // and close it again
    std::this_thread::sleep_for(std::chrono::seconds(1));

    arm.setArmStatus(3);  // G_COMPENSATION: the arm can be moved by hand
    std::this_thread::sleep_for(std::chrono::seconds(2));

    arm.setArmStatus(1);  // GO_HOME
    std::this_thread::sleep_for(std::chrono::seconds(4));

    const std::vector<int> errors = arm.getErrorCode();
    for (int code : errors) {
      if (code == 1)
        std::printf("over-current\n");
      else if (code == 2)
        std::printf("CAN link offline\n");
      else if (code % 16 == 15)
        std::printf("motor %d offline\n", code / 16);
      else
        std::printf("motor %d reported fault %d\n", code / 16, code % 16);
    }
    return errors.empty() ? 0 : 1;
  } catch (const std::exception& error) {  // description, bus or homing failure
    std::fprintf(stderr, "move_arm: %s\n", error.what());
    return 1;
  }
}  // the arm is stopped here: damping, then the bus closes
