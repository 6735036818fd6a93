// The frames a controller sends for a fixed script, against motors that
// always answer with the same feedback (every joint at rest at 0, healthy),
// so that every frame is a function of the script alone and not of timing.
// Per identifier, a run of equal frames is counted, not repeated.
// Two builds of the library that print the same trace send the same bytes.
//
//   build/frame_trace [--variant N] > trace.txt
//
// Uses only the public facade and the bus hub, so the same source builds
// against older versions of the library for a comparison.
#include <can_motor_dlc/MotorWire.h>
#include <canbase/SocketCan.h>
#include <config/ArmConfig.h>
#include <interfaces/InterfacesThread.h>
#include <sim/BusHub.h>
#include <solver/kinematic_dynamic_solver.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using kav::hw_interface::CanFrame;
using Clock = std::chrono::steady_clock;

struct Sent {
  Clock::time_point time;
  CanFrame frame;
};

// Answers every frame to a motor with constant feedback and keeps what the
// controller sent.
class Motors {
 public:
  explicit Motors(const std::string& endpoint) {
    bus_.setCallBackFunction([this](CanFrame* frame) { onFrame(*frame); });
    if (!bus_.Init(endpoint.c_str())) throw std::runtime_error("cannot join " + endpoint);
  }
  ~Motors() { bus_.setCallBackFunction(nullptr); }

  std::vector<Sent> sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }

 private:
  void onFrame(const CanFrame& frame) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sent_.push_back({Clock::now(), frame});
    }
    for (int joint = 0; joint < kav::config::kMotors; ++joint) {
      if (frame.can_id != static_cast<std::uint32_t>(kav::config::kMotorIds[joint]) || frame.can_dlc != 8)
        continue;
      const auto protocol = kav::config::kMotorProtocols[joint];
      kav::hw_interface::MotorFeedback feedback;
      feedback.code = protocol == kav::config::MotorProtocol::kType2 ? 1 : 0;
      feedback.temperature = 30;
      CanFrame reply = kav::hw_interface::encodeFeedback(protocol, kav::config::kMotorIds[joint], feedback);
      bus_.ExchangeData(&reply);
    }
  }

  kav::hw_interface::SocketCan bus_;
  std::mutex mutex_;
  std::vector<Sent> sent_;
};

std::string hex(const CanFrame& frame) {
  char text[64];
  int n = std::snprintf(text, sizeof text, "%03X#", frame.can_id);
  for (int i = 0; i < frame.can_dlc && i < 8; ++i)
    n += std::snprintf(text + n, sizeof text - n, "%02X", frame.data[i]);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  int variant = 0;
  if (argc == 3 && std::strcmp(argv[1], "--variant") == 0) variant = std::atoi(argv[2]);
  const std::string urdf = std::string(KAV_SOURCE_DIR) + "/share/urdf/vorlan_v1.1_aa.urdf";
  kav::sim::BusHub hub;
  Motors motors(hub.endpoint());
  {
    kav::t8::InterfacesThread arm(urdf, hub.endpoint(), variant);
    auto phase = [&](int state, double seconds) {
      arm.setArmStatus(state);
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    };
    phase(0, 0.3);  // SOFT
    phase(3, 0.3);  // G_COMPENSATION
    phase(2, 0.3);  // PROTECT
    phase(6, 0.3);  // a number that acts as PROTECT
    arm.setJointPositions({0.05, 0.1, 0.1, -0.05, 0.05, 0.05});
    arm.setCatch(0.5);
    phase(5, 2.5);  // POSITION_CONTROL toward a target
    arm.setCatchTorque(1.5);
    phase(5, 0.3);
    // A pose the solver reaches from the measured joints (all at 0) in the
    // cycle itself: no search on the worker, whose timing would show.
    kav::KinematicDynamicSolver solver(urdf, "base_link", "link6");
    KDL::JntArray q(6);
    for (int i = 0; i < 6; ++i) q(i) = 0.08;
    const KDL::Frame frame = solver.computeForwardKinematics(q);
    Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
    for (int r = 0; r < 3; ++r) {
      pose.translation()[r] = frame.p[r];
      for (int c = 0; c < 3; ++c) pose.linear()(r, c) = frame.M(r, c);
    }
    arm.setEndPose(pose);
    phase(4, 2.5);  // END_CONTROL toward a pose
    arm.setHomePositions({0.0, 0.1, 0.0, 0.0, 0.0, 0.0});
    phase(1, 2.5);  // GO_HOME
  }
  // Per identifier, the frames in the order sent; a run of equal frames is
  // counted, not repeated (how long a phase lasts depends on timing, what
  // is sent in it does not).
  const std::vector<Sent> sent = motors.sent();
  std::vector<std::uint32_t> ids;
  for (const Sent& s : sent) {
    if (std::find(ids.begin(), ids.end(), s.frame.can_id) == ids.end()) ids.push_back(s.frame.can_id);
  }
  for (std::uint32_t id : ids) {
    std::string last;
    std::size_t count = 0;
    auto flush = [&] {
      if (count > 0) std::printf("%zu x %s\n", count, last.c_str());
    };
    for (const Sent& s : sent) {
      if (s.frame.can_id != id) continue;
      const std::string text = hex(s.frame);
      if (text == last) {
        ++count;
        continue;
      }
      flush();
      last = text;
      count = 1;
    }
    flush();
  }
  return 0;
}
