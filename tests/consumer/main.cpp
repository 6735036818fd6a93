// A host program built against the installed package: it includes the public
// headers the way a host does and packs a frame with a driver.
#include <can_motor_dlc/Mtp4Dlc.h>
#include <canbase/SocketCan.h>

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
  std::printf("consumer ok\n");
  return 0;
}
