// Opens a bus and shows the frames on it.
//
//   kav_demo                 starts a local-socket bus, sends the arm's start-up
//                            frames (clear error, enable) from a second member
//                            and shows them as the library receives them
//   kav_demo IFACE [SECONDS] listens on a real interface ("can0") or a
//                            "unix:" bus and shows every frame for a while
#include <can_motor_dlc/Mtp2Dlc.h>
#include <can_motor_dlc/Mtp4Dlc.h>
#include <canbase/SocketCan.h>
#include <sim/BusHub.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using kav::hw_interface::CanFrame;
using kav::hw_interface::MotorDlcBase;
using kav::hw_interface::SocketCan;

namespace {

void showFrame(const CanFrame& frame) {
  std::printf("  id 0x%03X  len %u  data", frame.can_id, frame.can_dlc);
  for (int i = 0; i < 8; ++i) std::printf(" %02X", frame.data[i]);
  std::printf("\n");
  std::fflush(stdout);
}

std::vector<std::shared_ptr<MotorDlcBase>> armMotors() {
  using kav::hw_interface::MotorType2;
  using kav::hw_interface::MotorType4;
  return {std::make_shared<MotorType4>(1), std::make_shared<MotorType4>(2),
          std::make_shared<MotorType4>(4), std::make_shared<MotorType2>(5),
          std::make_shared<MotorType2>(6), std::make_shared<MotorType2>(7),
          std::make_shared<MotorType2>(8)};
}

int listen(const std::string& name, int seconds) {
  std::atomic<int> count{0};
  SocketCan bus;
  bus.setCallBackFunction([&](CanFrame* frame) {
    ++count;
    showFrame(*frame);
  });
  if (!bus.Init(name.c_str())) {
    std::fprintf(stderr, "kav_demo: cannot open %s\n", name.c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  bus.setCallBackFunction(nullptr);
  std::printf("%d frames received on %s\n", count.load(), name.c_str());
  return 0;
}

int demo() {
  kav::sim::BusHub hub;
  std::printf("Local-socket bus at %s\n", hub.endpoint().c_str());

  std::atomic<int> count{0};
  SocketCan monitor;
  monitor.setCallBackFunction([&](CanFrame* frame) {
    ++count;
    showFrame(*frame);
  });
  SocketCan host;
  if (!monitor.Init(hub.endpoint().c_str()) || !host.Init(hub.endpoint().c_str()) ||
      !hub.waitForMembers(2)) {
    std::fprintf(stderr, "kav_demo: cannot open the local bus\n");
    return 1;
  }

  auto motors = armMotors();
  std::printf("Clear-error frames of the seven motors:\n");
  for (auto& motor : motors) {
    CanFrame frame = motor->packClearError();
    host.ExchangeData(&frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("Enable frames of the seven motors:\n");
  for (auto& motor : motors) {
    CanFrame frame = motor->packEnableMotor();
    host.ExchangeData(&frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("A damping command to each motor (k_d 1):\n");
  for (auto& motor : motors) {
    CanFrame frame = motor->packMotorMsg(0.0, 1.0, 0.0, 0.0, 0.0);
    host.ExchangeData(&frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  monitor.setCallBackFunction(nullptr);
  std::printf("%d frames seen by the monitor\n", count.load());
  return count.load() == 21 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const std::string arg = argv[1];
    if (arg == "-h" || arg == "--help") {
      std::printf("usage: kav_demo [IFACE [SECONDS]]\n");
      return 0;
    }
    return listen(arg, argc > 2 ? std::atoi(argv[2]) : 5);
  }
  return demo();
}
