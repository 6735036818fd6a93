// The simulated arm and the local-socket bus hub, so that a script can try
// everything without hardware.
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "bindings.h"

#ifdef KAV_WITH_SIM
#include <sim/BusHub.h>
#include <sim/SimulatedArm.h>
#endif

namespace kav_py {

#ifdef KAV_WITH_SIM

namespace {

using kav::sim::BusHub;
using kav::sim::SimulatedArm;
using Hub = Owner<BusHub>;
using Sim = Owner<SimulatedArm>;

template <class R, class... Args>
auto forwardSim(R (SimulatedArm::*operation)(Args...)) {
  return [operation](Sim& self, Args... args) {
    return self.use([&](SimulatedArm& arm) { return (arm.*operation)(std::move(args)...); });
  };
}
template <class R, class... Args>
auto forwardSim(R (SimulatedArm::*operation)(Args...) const) {
  return [operation](Sim& self, Args... args) {
    return self.use([&](SimulatedArm& arm) { return (arm.*operation)(std::move(args)...); });
  };
}

/// One field of every joint's true state.
template <double kav::sim::JointState::*field>
std::vector<double> stateField(Sim& self) {
  return self.use([](SimulatedArm& arm) {
    std::vector<double> values;
    for (const auto& state : arm.jointStates()) values.push_back(state.*field);
    return values;
  });
}

constexpr const char* kHubDoc =
    R"(A local-socket bus: every frame one member writes reaches every other member,
like a CAN bus. Pass its endpoint as the can_name of InterfacesPy and to
SimulatedArm. close() (or leaving a ``with`` block) disconnects the members.)";

constexpr const char* kSimDoc = R"(Seven simulated motors on a bus, speaking the arm's two motor protocols and
driving a rigid-body model of the arm, with switchable faults.

Joints are numbered 0-5 for the arm joints from the base outwards and 6 for
the gripper. The physics runs on its own threads; every call may come from any
Python thread. close() (or leaving a ``with`` block) stops the simulation and
leaves the bus.)";

}  // namespace

void bindSimulator(py::module_& m) {
  py::class_<Hub> hub(m, "BusHub", kHubDoc);
  hub.def(py::init([](std::optional<std::string> endpoint, long long bitrate) {
            if (bitrate < 0 || bitrate > std::numeric_limits<std::uint32_t>::max()) {
              throw std::invalid_argument(
                  "BusHub: bitrate must be 0 (instant) or 1000 to 1000000 bit/s, got " +
                  std::to_string(bitrate));
            }
            kav::sim::BusHubOptions options;
            options.bitrate = static_cast<std::uint32_t>(bitrate);
            std::unique_ptr<BusHub> created;
            {
              py::gil_scoped_release release;
              created =
                  endpoint ? std::make_unique<BusHub>(*endpoint, options) : std::make_unique<BusHub>(options);
            }
            return std::make_unique<Hub>(std::move(created), "BusHub", kRankBusHub);
          }),
          py::arg("endpoint") = py::none(), py::kw_only(), py::arg("bitrate") = 0,
          "Listens on endpoint (\"unix:/path\" or \"unix:@name\"), or on a fresh private\n"
          "address when none is given.\n\n"
          "bitrate -- 0 (default) carries every frame at once; 1000 to 1000000 carries\n"
          "           them like a classic CAN bus at that many bit/s (the arm's bus:\n"
          "           1000000): one frame at a time, the lowest identifier first, and a\n"
          "           transmit queue of 10 frames per member\n\n"
          "Raises ValueError for an endpoint that is not a \"unix:\" address or a\n"
          "bitrate out of range, and RuntimeError when the address cannot be bound.")
      .def_property_readonly(
          "endpoint", [](Hub& self) { return self.use([](BusHub& h) { return h.endpoint(); }); },
          "The endpoint to pass as can_name.")
      .def_property_readonly(
          "bitrate", [](Hub& self) { return self.use([](BusHub& h) { return h.options().bitrate; }); },
          "The bit rate in bit/s; 0 for an instant bus.")
      .def(
          "bus_load", [](Hub& self) { return self.use([](BusHub& h) { return h.statistics().load(); }); },
          "Share of the time since the hub started that the bus was busy, 0 to 1\n"
          "(always 0 on an instant bus).")
      .def(
          "member_count", [](Hub& self) { return self.use([](BusHub& h) { return h.memberCount(); }); },
          "Members connected right now.")
      .def(
          "wait_for_members",
          [](Hub& self, std::size_t count, double timeout) {
            if (!std::isfinite(timeout) || timeout < 0) {
              throw std::invalid_argument(
                  "wait_for_members: timeout must be a finite number of seconds >= 0");
            }
            const auto limit = std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
            return self.use([&](BusHub& h) { return h.waitForMembers(count, limit); });
          },
          py::arg("count"), py::arg("timeout") = 5.0,
          "Waits (GIL released) until at least count members are connected; False when\n"
          "timeout seconds passed first.")
      .def(
          "frames_forwarded",
          [](Hub& self) { return self.use([](BusHub& h) { return h.framesForwarded(); }); },
          "Frames forwarded since the hub started.")
      .def(
          "drop_members", [](Hub& self) { self.use([](BusHub& h) { h.dropMembers(); }); },
          "Disconnects every member; they may connect again.");
  addLifecycle<Hub>(hub, "Disconnects every member and stops forwarding. Closing again does nothing.");

  py::enum_<kav::sim::CommandKind>(m, "CommandKind", "What a frame received by a simulated motor asked for.")
      .value("HYBRID", kav::sim::CommandKind::kHybrid)
      .value("ENABLE", kav::sim::CommandKind::kEnable)
      .value("DISABLE", kav::sim::CommandKind::kDisable)
      .value("SET_ZERO", kav::sim::CommandKind::kSetZero)
      .value("CLEAR_ERROR", kav::sim::CommandKind::kClearError);
  py::class_<kav::sim::MotorCommand>(m, "MotorCommand",
                                     "One command a simulated motor received, decoded; a hybrid command\n"
                                     "applies k_p (position - p) + k_d (velocity - v) + torque.")
      .def_readonly("kind", &kav::sim::MotorCommand::kind)
      .def_readonly("k_p", &kav::sim::MotorCommand::k_p)
      .def_readonly("k_d", &kav::sim::MotorCommand::k_d)
      .def_readonly("position", &kav::sim::MotorCommand::position)
      .def_readonly("velocity", &kav::sim::MotorCommand::velocity)
      .def_readonly("torque", &kav::sim::MotorCommand::torque)
      .def("__repr__", [](const kav::sim::MotorCommand& c) {
        return "MotorCommand(k_p=" + std::to_string(c.k_p) + ", k_d=" + std::to_string(c.k_d) +
               ", position=" + std::to_string(c.position) + ", velocity=" + std::to_string(c.velocity) +
               ", torque=" + std::to_string(c.torque) + ")";
      });

  py::class_<Sim> sim(m, "SimulatedArm", kSimDoc);
  sim.def(py::init([](const std::string& endpoint, int variant, std::optional<std::vector<double>> start_pose,
                      std::optional<std::uint64_t> noise_seed, double reply_latency) {
            kav::sim::SimulatedArmOptions options;
            options.variant = variant;
            options.noise_seed = noise_seed;
            if (start_pose) {
              requireExactly(*start_pose, options.start_pose.size(), "SimulatedArm: start_pose");
              std::copy(start_pose->begin(), start_pose->end(), options.start_pose.begin());
            }
            if (!std::isfinite(reply_latency) || reply_latency < 0 || reply_latency > 1) {
              throw std::invalid_argument("SimulatedArm: reply_latency must be 0 to 1 s");
            }
            options.reply_latency = std::chrono::microseconds(std::llround(reply_latency * 1e6));
            std::unique_ptr<SimulatedArm> created;
            {
              py::gil_scoped_release release;
              created = std::make_unique<SimulatedArm>(endpoint, std::move(options));
            }
            return std::make_unique<Sim>(std::move(created), "SimulatedArm", kRankSimulatedArm);
          }),
          py::arg("endpoint"), py::kw_only(), py::arg("variant") = 0, py::arg("start_pose") = py::none(),
          py::arg("noise_seed") = py::none(), py::arg("reply_latency") = 0.0,
          "Attaches to endpoint (a BusHub's endpoint, or a SocketCAN interface) and starts.\n\n"
          "variant       -- arm variant; 2 puts the gripper's end stop at +1 rad\n"
          "start_pose    -- seven joint positions at start (radians), default all 0\n"
          "noise_seed    -- seed of Gaussian measurement noise; None: no noise\n"
          "reply_latency -- seconds from a command to its feedback, 0 to 1\n\n"
          "Raises ValueError for unusable options and RuntimeError when the bus cannot\n"
          "be joined.")
      .def_property_readonly(
          "endpoint", [](Sim& self) { return self.use([](SimulatedArm& a) { return a.endpoint(); }); },
          "The endpoint the arm is attached to.")
      .def("joint_positions", &stateField<&kav::sim::JointState::position>,
           "True joint positions [j1..j6, gripper] in radians (no noise, no motor zero).")
      .def("joint_velocities", &stateField<&kav::sim::JointState::velocity>,
           "True joint velocities in radians per second.")
      .def("joint_torques", &stateField<&kav::sim::JointState::torque>,
           "Torques the motors applied at the joints in the last physics step, N m\n"
           "(a motor's torque command divided by 0.8 on joints 1-3, 1.32 on joints 4-6).")
      .def(
          "gravity_torques",
          [](Sim& self) {
            return self.use([](SimulatedArm& a) {
              const auto torques = a.gravityTorques();
              return std::vector<double>(torques.begin(), torques.end());
            });
          },
          "Torques of joints 1-6 (N m at the joints) that hold the arm still at its\n"
          "present pose; the torque commands that do are 0.8 and 1.32 times these.")
      .def("motor_enabled", forwardSim(&SimulatedArm::motorEnabled), py::arg("joint"),
           "Whether the motor of joint acts on hybrid commands.")
      .def("motor_zero", forwardSim(&SimulatedArm::motorZero), py::arg("joint"),
           "The joint position at which the motor reads 0.")
      .def("gripper_stop", forwardSim(&SimulatedArm::gripperStop), "The gripper's end-stop position.")
      .def(
          "received_commands",
          [](Sim& self, int joint) {
            return self.use([joint](SimulatedArm& a) {
              std::vector<kav::sim::MotorCommand> commands;
              for (const auto& received : a.receivedCommands(joint)) commands.push_back(received.command);
              return commands;
            });
          },
          py::arg("joint"), "The commands the motor of joint received, oldest first.")
      .def("clear_received_commands", forwardSim(&SimulatedArm::clearReceivedCommands),
           "Forgets every motor's received commands.")
      .def("frames_received", forwardSim(&SimulatedArm::framesReceived), "Frames the motors accepted so far.")
      .def("frames_sent", forwardSim(&SimulatedArm::framesSent), "Feedback frames sent so far.")
      .def("frames_refused", forwardSim(&SimulatedArm::framesRefused),
           "Feedback frames a full transmit queue refused (on a timed bus).")
      .def("set_motor_silent", forwardSim(&SimulatedArm::setMotorSilent), py::arg("joint"),
           py::arg("silent") = true, "The motor of joint keeps acting but sends no feedback (until False).")
      .def(
          "set_motor_error",
          [](Sim& self, int joint, int code, bool latched) {
            const auto persistence = latched ? kav::sim::ErrorPersistence::kUntilClearError
                                             : kav::sim::ErrorPersistence::kUntilSwitchedOff;
            self.use([&](SimulatedArm& a) { a.setMotorError(joint, code, persistence); });
          },
          py::arg("joint"), py::arg("code"), py::arg("latched") = false,
          "The motor of joint reports error code (type 4 joints 0-2: 1-31; type 2\n"
          "joints 3-6: 2-15); 0 switches it off. latched (type 2 only): a clear-error\n"
          "command also resets it.")
      .def("set_motor_current", forwardSim(&SimulatedArm::setMotorCurrent), py::arg("joint"),
           py::arg("current"),
           "The motor of joint reports current instead of its torque command; None\n"
           "switches this off.")
      .def("set_external_torque", forwardSim(&SimulatedArm::setExternalTorque), py::arg("joint"),
           py::arg("torque"),
           "A torque from outside (a hand pushing the link, N m) acts on joint until set\n"
           "to 0: added to the motor's torque, not reported as its current.")
      .def("set_bus_silent", forwardSim(&SimulatedArm::setBusSilent), py::arg("silent") = true,
           "No frame reaches the motors and none is sent (until False).")
      .def("set_drop_share", forwardSim(&SimulatedArm::setDropShare), py::arg("share"),
           "Each frame to or from the motors is lost with probability share (0 to 1).")
      .def("clear_faults", forwardSim(&SimulatedArm::clearFaults), "Switches every fault off.");
  addLifecycle<Sim>(sim, "Stops the simulation and leaves the bus. Closing again does nothing.");
}

#else

void bindSimulator(py::module_&) {}

#endif

}  // namespace kav_py
