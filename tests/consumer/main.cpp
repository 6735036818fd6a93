// A host program built against the installed package: it includes the public
// headers the way a host does, packs a frame with a driver, and loads the
// installed robot description into the chain solver.
#include <can_motor_dlc/Mtp4Dlc.h>
#include <canbase/SocketCan.h>
#include <solver/kinematic_dynamic_solver.h>

#include <cmath>
#include <cstdio>

int main() {
  kav::hw_interface::MotorType4 motor(1);
  kav::hw_interface::CanFrame frame = motor.packEnableMotor();
  if (frame.can_id != 1 || frame.can_dlc != 8 || frame.data[2] != 0x99) {
    std::printf("unexpected enable frame\n");
    return 1;
  }
  kav::hw_interface::SocketCan bus;
  if (bus.IsOpen()) return 1;

  kav::KinematicDynamicSolver solver(KAV_URDF_FILE, "base_link", "link6");
  KDL::JntArray zero(6);
  KDL::Frame pose = solver.computeForwardKinematics(zero);
  if (pose.p.Norm() > 1e-12) {
    std::printf("zero pose is not at the origin\n");
    return 1;
  }
  std::printf("consumer ok\n");
  return 0;
}
