#pragma once
// A host on the arm's bus for tests: the transport and the seven real motor
// drivers, wired the way the controller wires them (every received frame is
// offered to every driver; refresh() publishes under the transport's lock).

#include <can_motor_dlc/Mtp2Dlc.h>
#include <can_motor_dlc/Mtp4Dlc.h>
#include <canbase/SocketCan.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kav {
namespace testing {

class ArmBusHost {
 public:
  using CanFrame = hw_interface::CanFrame;
  using Status = hw_interface::HybridJointStatus;
  static constexpr int kJoints = 7;

  explicit ArmBusHost(const std::string& endpoint)
      : drivers_{std::make_shared<hw_interface::MotorType4>(1), std::make_shared<hw_interface::MotorType4>(2),
                 std::make_shared<hw_interface::MotorType4>(4), std::make_shared<hw_interface::MotorType2>(5),
                 std::make_shared<hw_interface::MotorType2>(6), std::make_shared<hw_interface::MotorType2>(7),
                 std::make_shared<hw_interface::MotorType2>(8)} {
    bus_.setCallBackFunction([this](CanFrame* frame) { onFrame(*frame); });
    bus_.setGetMsgContentFunction([this] {
      for (auto& driver : drivers_) driver->ExchangeMotorMsg();
    });
    if (!bus_.Init(endpoint.c_str())) throw std::runtime_error("cannot open " + endpoint);
  }

  ~ArmBusHost() {
    bus_.setCallBackFunction(nullptr);
    bus_.setGetMsgContentFunction(nullptr);
  }

  hw_interface::MotorDlcBase& driver(int joint) { return *drivers_.at(joint); }
  hw_interface::SocketCan& bus() { return bus_; }

  void send(CanFrame frame) { bus_.ExchangeData(&frame); }

  // One hybrid command to one motor, packed by its driver.
  void command(int joint, double k_p, double k_d, double position, double velocity, double torque) {
    send(driver(joint).packMotorMsg(k_p, k_d, position, velocity, torque));
  }

  // Sends and waits until at least `replies` more frames arrived (or 1 s passed).
  void exchange(const std::vector<CanFrame>& frames, int replies) {
    const long target = received_.load() + replies;
    for (const CanFrame& frame : frames) send(frame);
    waitForFrames(target, std::chrono::seconds(1));
  }

  // The same frame kind for all seven motors, e.g. [](auto& d) { return d.packEnableMotor(); }.
  template <class Pack>
  void toAll(Pack pack) {
    std::vector<CanFrame> frames;
    for (auto& driver : drivers_) frames.push_back(pack(*driver));
    exchange(frames, kJoints);
    refresh();
  }

  // Publishes the drivers' decoded feedback.
  void refresh() { bus_.LoadMutexMsg(); }

  Status status(int joint) { return driver(joint).GetMotorMsg(); }
  int errorCode(int joint) { return driver(joint).getErrorCode(); }
  bool online(int joint) { return driver(joint).online(); }

  long framesReceived() const { return received_.load(); }
  // Frames received on the bus, raw, in arrival order.
  std::vector<CanFrame> rawFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
  }

  bool waitForFrames(long total, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return received_.load() >= total; });
  }

  // Runs `cycle` every 5 ms for `duration` (like a control thread), then
  // lets the last replies arrive and publishes them.
  template <class Cycle>
  void runFor(std::chrono::milliseconds duration, Cycle cycle) {
    const auto period = std::chrono::microseconds(5000);
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    while (std::chrono::steady_clock::now() - start < duration) {
      refresh();
      cycle();
      next += period;
      std::this_thread::sleep_until(next);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    refresh();
  }

 private:
  void onFrame(const CanFrame& frame) {
    CanFrame copy = frame;
    for (auto& driver : drivers_) driver->CanAnalyze(&copy);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      raw_.push_back(frame);
      received_.fetch_add(1);
    }
    arrived_.notify_all();
  }

  std::array<std::shared_ptr<hw_interface::MotorDlcBase>, kJoints> drivers_;
  hw_interface::SocketCan bus_;
  std::atomic<long> received_{0};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<CanFrame> raw_;
};

}  // namespace testing
}  // namespace kav
