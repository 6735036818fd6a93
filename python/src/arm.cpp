// kav_t8.InterfacesPy: the arm, driven with numbers and lists.
#include <controller/UserControl.h>
#include <interfaces/InterfacesPy.h>
#include <pybind11/eigen.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"

namespace kav_py {

namespace {

using kav::t8::InterfacesPy;
using Arm = Owner<InterfacesPy>;

// A binding of an InterfacesPy operation that runs it through the owner,
// that is with the GIL released and never on a closed arm.
template <class R, class... Args>
auto forward(R (InterfacesPy::*operation)(Args...)) {
  return [operation](Arm& self, Args... args) {
    return self.use([&](InterfacesPy& arm) { return (arm.*operation)(std::move(args)...); });
  };
}

// The points of follow_joint_trajectory, one list entry per point.
struct Points {
  std::vector<std::vector<double>> positions, velocities, accelerations;
  std::vector<double> times;
};

std::vector<double> numbersOf(const py::handle& value, const std::string& what) {
  try {
    return value.cast<std::vector<double>>();
  } catch (const py::cast_error&) {
    throw std::invalid_argument("follow_joint_trajectory: " + what + " must be a sequence of numbers");
  }
}

double timeOf(const py::handle& value, const std::string& what) {
  try {
    return value.cast<double>();
  } catch (const py::cast_error&) {
    throw std::invalid_argument("follow_joint_trajectory: " + what + " must be a number of seconds");
  }
}

// Each point is a dict with the keys positions, time_from_start and
// optionally velocities and accelerations, or a sequence (positions, t),
// (positions, velocities, t) or (positions, velocities, accelerations, t).
Points parsePoints(const py::iterable& points) {
  Points parsed;
  std::size_t index = 0;
  bool any_velocities = false, any_accelerations = false;
  for (const py::handle& item : points) {
    const std::string name = "points[" + std::to_string(index) + "]";
    std::vector<double> velocities, accelerations;
    if (py::isinstance<py::dict>(item)) {
      const py::dict point = py::reinterpret_borrow<py::dict>(item);
      for (const auto& entry : point) {
        const std::string key = py::str(entry.first);
        if (key != "positions" && key != "velocities" && key != "accelerations" && key != "time_from_start") {
          throw std::invalid_argument("follow_joint_trajectory: " + name + " has an unknown key '" + key +
                                      "' (positions, velocities, accelerations, time_from_start)");
        }
      }
      if (!point.contains("positions") || !point.contains("time_from_start")) {
        throw std::invalid_argument("follow_joint_trajectory: " + name +
                                    " needs the keys 'positions' and 'time_from_start'");
      }
      parsed.positions.push_back(numbersOf(point["positions"], name + ".positions"));
      if (point.contains("velocities")) velocities = numbersOf(point["velocities"], name + ".velocities");
      if (point.contains("accelerations")) {
        accelerations = numbersOf(point["accelerations"], name + ".accelerations");
      }
      parsed.times.push_back(timeOf(point["time_from_start"], name + ".time_from_start"));
    } else if (py::isinstance<py::sequence>(item) && !py::isinstance<py::str>(item)) {
      const py::sequence point = py::reinterpret_borrow<py::sequence>(item);
      const std::size_t size = point.size();
      if (size < 2 || size > 4) {
        throw std::invalid_argument("follow_joint_trajectory: " + name +
                                    " must be (positions, time_from_start), (positions, velocities, "
                                    "time_from_start) or (positions, velocities, accelerations, "
                                    "time_from_start), got " +
                                    std::to_string(size) + " entries");
      }
      parsed.positions.push_back(numbersOf(point[0], name + ".positions"));
      if (size >= 3) velocities = numbersOf(point[1], name + ".velocities");
      if (size == 4) accelerations = numbersOf(point[2], name + ".accelerations");
      parsed.times.push_back(timeOf(point[size - 1], name + ".time_from_start"));
    } else {
      throw std::invalid_argument("follow_joint_trajectory: " + name + " must be a dict or a sequence");
    }
    any_velocities = any_velocities || !velocities.empty();
    any_accelerations = any_accelerations || !accelerations.empty();
    parsed.velocities.push_back(std::move(velocities));
    parsed.accelerations.push_back(std::move(accelerations));
    ++index;
  }
  if (!any_velocities) parsed.velocities.clear();
  if (!any_accelerations) parsed.accelerations.clear();
  return parsed;
}

// A pose for move_linear: [x, y, z, qw, qx, qy, qz], or a 4x4 matrix (numpy
// array or nested lists), flattened row by row.
std::vector<double> poseValues(const py::object& pose) {
  const auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(pose);
  if (!array) PyErr_Clear();
  if (array && array.ndim() == 2) {
    const Eigen::Matrix4d matrix = matrixFromArray(array, "move_linear: pose");
    std::vector<double> values;
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) values.push_back(matrix(r, c));
    }
    return values;
  }
  try {
    return pose.cast<std::vector<double>>();
  } catch (const py::cast_error&) {
    throw std::invalid_argument("move_linear: pose must be [x, y, z, qw, qx, qy, qz] or a 4x4 matrix");
  }
}

constexpr const char* kClassDoc = R"(One arm, driven with numbers and lists.

InterfacesPy(urdf_path, can_name, type) brings the arm up and starts its
200 Hz control thread; it returns when the arm is home, after at least 3.55 s.
close() -- or leaving a ``with`` block -- stops the control thread, holds the
arm in damping and closes the bus, which takes more than a second. Every call
releases the GIL, so other Python threads run meanwhile.

Joint lists have seven entries: joints 1-6 in radians, then the gripper
relative to its zero. Poses are [x, y, z, qw, qx, qy, qz] (metres, unit
quaternion, scalar first) or [x, y, z, roll, pitch, yaw] (radians, rotation
Rz(yaw) Ry(pitch) Rx(roll)), relative to the end-effector position with all
joints at zero. Joint names: kav_t8.JOINT_NAMES; arm states: kav_t8.ArmState.

Bad input raises ValueError and changes nothing; a failed start raises
RuntimeError; any call after close() raises RuntimeError.

Example::

    with kav_t8.InterfacesPy(kav_t8.description_path(), "can0", 0) as arm:
        arm.set_joint_positions([0.3, 0.6, 0.5, 0.0, 0.0, 0.0])
        arm.set_arm_status(kav_t8.ArmState.POSITION_CONTROL)
)";

}  // namespace

namespace {

// One cycle's state as torque_control().read_once() returns it: the
// attributes of kav::t8::CycleState, numpy arrays (copies).
void bindCycleState(py::module_& m) {
  using kav::t8::CycleState;
  const auto array = [](const double* values, py::ssize_t count) {
    return py::array_t<double>(count, values);
  };
  py::class_<CycleState>(m, "CycleState",
                         "One control cycle's state (kav_t8.InterfacesPy.torque_control().read_once()).")
      .def_readonly("time", &CycleState::time, "s since the torque control began")
      .def_readonly("cycle", &CycleState::cycle, "cycles since the torque control began")
      .def_property_readonly(
          "q", [=](const CycleState& s) { return array(s.q.data(), 7); },
          "rad, joints 1-6 and the gripper (relative to its zero)")
      .def_property_readonly(
          "dq", [=](const CycleState& s) { return array(s.dq.data(), 7); },
          "rad/s, joints 1-6 and the gripper")
      .def_property_readonly(
          "current", [=](const CycleState& s) { return array(s.current.data(), 7); },
          "the motors' reported currents, their own units")
      .def_property_readonly(
          "external_torque", [=](const CycleState& s) { return array(s.external_torque.data(), 6); },
          "N·m per arm joint, the collision observer's estimate")
      .def_property_readonly(
          "gravity", [=](const CycleState& s) { return array(s.gravity.data(), 6); },
          "N·m per arm joint, the model's gravity torques (payload included)")
      .def_property_readonly(
          "pose", [](const CycleState& s) -> Eigen::Matrix4d { return s.pose.matrix(); },
          "the end effector as a 4x4 matrix, in the library's pose convention")
      .def_property_readonly(
          "jacobian", [](const CycleState& s) -> Eigen::Matrix<double, 6, 6> { return s.jacobian; },
          "6x6 geometric Jacobian of that pose: rows vx, vy, vz, wx, wy, wz, base frame");
}

}  // namespace

void bindArm(py::module_& m) {
  py::register_exception<kav::t8::StreamTimeout>(m, "TorqueControlTimeout", PyExc_TimeoutError);
  bindCycleState(m);
  py::class_<Arm> cls(m, "InterfacesPy", kClassDoc);
  cls.def(py::init([](const std::filesystem::path& urdf_path, const std::string& can_name, int type) {
            std::unique_ptr<InterfacesPy> arm;
            {
              py::gil_scoped_release release;
              arm = std::make_unique<InterfacesPy>(urdf_path.string(), can_name, type);
            }
            return std::make_unique<Arm>(std::move(arm), "InterfacesPy", kRankArm);
          }),
          py::arg("urdf_path"), py::arg("can_name"), py::arg("type"),
          R"(Brings the arm up; blocks for at least 3.55 s (GIL released).

urdf_path -- robot description file (chain base_link to link6), for example
             kav_t8.description_path()
can_name  -- SocketCAN interface ("can0"), or a local-socket bus
             ("unix:/path", "unix:@name") such as BusHub().endpoint
type      -- arm variant; 2 drives the gripper by position, others by torque

Raises RuntimeError when the description cannot be used, the bus cannot be
opened, or the arm is not home within 30 s.)")
      .def("set_arm_status", forward(&InterfacesPy::set_arm_status), py::arg("state"),
           "Selects the arm state (a kav_t8.ArmState or its number; any other number\n"
           "means damping). Takes effect at the next control cycle. Returns True.")
      .def("set_joint_positions", forward(&InterfacesPy::set_joint_positions), py::arg("positions"),
           "Targets of joints 1-6 in radians (a list or numpy array; the first six\n"
           "values are read, so get_joint_positions() may be passed back). Followed in\n"
           "POSITION_CONTROL within the interpolation limits (see kav_x). Returns True.\n\n"
           "Raises ValueError for fewer than six values or one that is not finite.")
      .def("set_ee_pose", forward(&InterfacesPy::set_ee_pose), py::arg("pose"),
           "End-effector target [x, y, z, qw, qx, qy, qz], followed in END_CONTROL. The\n"
           "quaternion is scaled to unit length, so set_ee_pose(get_ee_pose()) holds\n"
           "the arm where it is. Returns True.\n\n"
           "Raises ValueError for fewer than seven values, a value that is not finite,\n"
           "or a zero quaternion.")
      .def("set_catch", forward(&InterfacesPy::set_catch), py::arg("position"),
           "Gripper target in radians relative to its zero (position mode). Returns True.\n\n"
           "Raises ValueError when position is not finite.")
      .def("get_joint_positions", forward(&InterfacesPy::get_joint_positions),
           "Joint positions [j1, ..., j6, gripper] in radians, at most one cycle old;\n"
           "the gripper relative to its zero.")
      .def("get_joint_velocities", forward(&InterfacesPy::get_joint_velocities),
           "Joint velocities [j1, ..., j6, gripper] in radians per second.")
      .def("get_joint_currents", forward(&InterfacesPy::get_joint_currents),
           "Motor currents [j1, ..., j6, gripper] in the motors' own units.")
      .def("get_ee_pose", forward(&InterfacesPy::get_ee_pose),
           "End-effector pose [x, y, z, qw, qx, qy, qz] (see matrix_to_pose_vector).")
      .def("get_ee_pose_xyzrpy", forward(&InterfacesPy::get_ee_pose_xyzrpy),
           "End-effector pose [x, y, z, roll, pitch, yaw] (see Isometry2Xyzrpy).")
      .def("kav_x", forward(&InterfacesPy::kav_x), py::arg("a"), py::arg("b"), py::arg("c") = 0.0,
           "Interpolation limits of POSITION_CONTROL and END_CONTROL in thousandths:\n"
           "acceleration a / 1000 (clamped to 0..0.5) and speed b / 1000 (clamped to\n"
           "0..2.0); c is not used. kav_x(500, 2000) restores the defaults.\n\n"
           "Raises ValueError when a or b is not finite.")
      .def("get_joint_names", forward(&InterfacesPy::get_joint_names),
           "Not supported: returns False. The names are kav_t8.JOINT_NAMES.")
      .def("go_home", forward(&InterfacesPy::go_home),
           "Selects ArmState.GO_HOME: the arm moves slowly to its home positions and\n"
           "the gripper to its zero. Returns True.")
      .def("gravity_compensation", forward(&InterfacesPy::gravity_compensation),
           "Selects ArmState.G_COMPENSATION: the arm carries its own weight and can be\n"
           "moved by hand. Returns True.")
      .def("control_active", forward(&InterfacesPy::control_active),
           "False once control ended on a fault; setters then raise RuntimeError naming it.")
      .def("get_error_codes", forward(&InterfacesPy::get_error_codes),
           "Error codes since construction, oldest first (the first 1000 and the newest 9000).")
      .def("get_dropped_frames", forward(&InterfacesPy::get_dropped_frames),
           "Feedback frames each motor's driver dropped as malformed or implausible (7 counts).")
      .def("get_arm_status", forward(&InterfacesPy::get_arm_status),
           "The number of the arm state in force (see kav_t8.ArmState): the last one\n"
           "selected, GO_HOME after construction, POSITION_CONTROL after recover(). A\n"
           "reflex leaves it as it was.")
      .def("set_collision_thresholds", forward(&InterfacesPy::set_collision_thresholds), py::arg("lower"),
           py::arg("upper"),
           "Collision thresholds of joints 1-6 in N m, six values each, from the next\n"
           "control cycle on. An estimated external torque above a joint's lower\n"
           "threshold sets contact_detected(); above its upper one, in GO_HOME,\n"
           "POSITION_CONTROL or END_CONTROL, the reflex fires: the running motion ends,\n"
           "the arm goes compliant (gravity compensation with damping), code 160 +\n"
           "joint is recorded, and position and pose targets are not followed until\n"
           "recover(). Control stays active.\n\n"
           "Raises ValueError for a count other than six, a value that is not finite or\n"
           "is negative, or a lower value above its upper one; nothing changes then.")
      .def("get_collision_thresholds", forward(&InterfacesPy::get_collision_thresholds),
           "The thresholds in force as a tuple (lower, upper) of six values each, N m.")
      .def("get_external_torques", forward(&InterfacesPy::get_external_torques),
           "External torques of joints 1-6 in N m, estimated by the control cycle from\n"
           "the measured motion and motor currents, positive in each joint's positive\n"
           "direction; at most one cycle old.")
      .def("contact_detected", forward(&InterfacesPy::contact_detected),
           "True when the last control cycle found a joint's external torque above its\n"
           "lower threshold.")
      .def("set_payload", forward(&InterfacesPy::set_payload), py::arg("mass"), py::arg("centre_of_mass"),
           "The payload held at the flange, so that its weight is neither taken for a\n"
           "collision nor left to sag: mass in kg (0 to 5), centre_of_mass [x, y, z] in\n"
           "metres in the flange frame (within 1 m of it). Used from a later cycle on;\n"
           "set_payload(0, [0, 0, 0]) removes it.\n\n"
           "Raises ValueError for a centre that is not three values, or a value that is\n"
           "not finite or out of range; nothing changes then.")
      .def("load_dynamics", forward(&InterfacesPy::load_dynamics), py::arg("path"),
           "Loads the arm's identified model from a dynamics file of `kav identify`\n"
           "(docs/tools.md): the gravity feed-forward and the collision observer use it\n"
           "from a later cycle on.\n\n"
           "Raises ValueError naming the file and the field for a malformed or\n"
           "implausible file; nothing changes then.")
      .def("load_payload", forward(&InterfacesPy::load_payload), py::arg("path"),
           "set_payload from a payload file of `kav identify --payload-only`.\n\n"
           "Raises ValueError as load_dynamics; nothing changes then.")
      .def("recover", forward(&InterfacesPy::recover),
           "Brings control back after a reflex or a fault that is not permanent: clears\n"
           "the motors' errors, enables them, checks their answers for about 0.2 s\n"
           "(GIL released) and returns to POSITION_CONTROL holding the present pose.\n"
           "control_active() is then True and code 176 is recorded.\n\n"
           "Raises RuntimeError naming the motors still silent or the fault they still\n"
           "report; the arm is then held in damping and control stays ended.")
      .def("run_joint_impedance", forward(&InterfacesPy::run_joint_impedance), py::arg("stiffness"),
           py::arg("damping"), py::arg("target"), py::arg("seconds"),
           "Makes the arm a spring in joint space for seconds (GIL released): each\n"
           "joint's motor applies stiffness (target - q) - damping dq plus the model's\n"
           "gravity, in the control cycle, inside the safety limits. Six values each:\n"
           "N·m/rad, N·m·s/rad, rad. Afterwards POSITION_CONTROL holds where the arm is.\n\n"
           "Raises ValueError for a count other than six, a value that is not finite,\n"
           "a negative gain or a bad duration; RuntimeError naming the code when the\n"
           "law is ended (a safety limit, a reflex, a fault); docs/control.md.")
      .def("run_cartesian_impedance", forward(&InterfacesPy::run_cartesian_impedance), py::arg("stiffness"),
           py::arg("damping"), py::arg("pose"), py::arg("seconds"),
           "Makes the end effector a spring toward pose [x, y, z, qw, qx, qy, qz] (as\n"
           "get_ee_pose) for seconds (GIL released): the wrench stiffness e - damping v\n"
           "through the Jacobian's transpose plus the model's gravity. Six values each:\n"
           "N/m then N·m/rad, N·s/m then N·m·s/rad. Raises as run_joint_impedance.")
      .def("_stream_start", forward(&InterfacesPy::stream_start))
      .def(
          "_stream_read",
          [](Arm& self, double timeout) {
            auto state = std::make_unique<kav::t8::CycleState>();
            self.use([&](InterfacesPy& arm) { arm.stream_read(timeout, *state); });
            return state;
          },
          py::arg("timeout"))
      .def("_stream_write", forward(&InterfacesPy::stream_write))
      .def("_stream_stop", forward(&InterfacesPy::stream_stop))
      .def("_stream_late_cycles", forward(&InterfacesPy::stream_late_cycles))
      .def("set_joint_velocities", forward(&InterfacesPy::set_joint_velocities),
           "Not supported: returns False.")
      .def(
          "follow_joint_trajectory",
          [](Arm& self, const py::iterable& points) {
            Points parsed = parsePoints(points);
            self.use([&](InterfacesPy& arm) {
              arm.follow_joint_trajectory(parsed.positions, parsed.velocities, parsed.accelerations,
                                          parsed.times);
            });
          },
          py::arg("points"),
          "Follows a joint trajectory in POSITION_CONTROL, sampled inside the control\n"
          "cycle; returns once it runs (see motion_done, wait_motion).\n\n"
          "points -- each (positions, time_from_start), (positions, velocities,\n"
          "          time_from_start), (positions, velocities, accelerations,\n"
          "          time_from_start), or a dict with those keys; six values per list,\n"
          "          times in seconds after the start, each at least 1 ms after the one\n"
          "          before (the first at least 1 ms after the start), at most 3600 s.\n"
          "          Positions only: a cubic spline; with velocities: cubic\n"
          "          Hermite segments; with accelerations too: quintic segments. The\n"
          "          last point must be at rest; it is held afterwards.\n\n"
          "Raises ValueError naming the point and the joint for bad values, times,\n"
          "positions outside the joint limits, or a sampled velocity or acceleration\n"
          "above the motion limits; nothing moves then.")
      .def("move_joints", forward(&InterfacesPy::move_joints), py::arg("target"),
           py::arg("speed_scale") = 1.0,
           "Moves the six joints to target (radians) in the shortest time the motion\n"
           "limits allow for the slowest joint; all joints start and arrive together.\n"
           "speed_scale in [0.001, 1] runs the move that many times as fast. Returns once\n"
           "the move runs.\n\n"
           "Raises ValueError for a target that is not six finite numbers within the\n"
           "joint limits, or a bad speed_scale.")
      .def(
          "move_linear",
          [](Arm& self, const py::object& pose, double speed) {
            const std::vector<double> values = poseValues(pose);
            self.use([&](InterfacesPy& arm) { arm.move_linear(values, speed); });
          },
          py::arg("pose"), py::arg("speed"),
          "Moves the end effector on a straight line from the present commanded pose\n"
          "to pose ([x, y, z, qw, qx, qy, qz] or a 4x4 matrix, as get_ee_pose), the\n"
          "orientation turning by slerp, at speed m/s (at least 0.0001) with a smooth\n"
          "start and stop. Returns once the line runs.\n\n"
          "Raises ValueError for a bad pose or speed, a line that would last more\n"
          "than 120 s, or a line that cannot be followed (the message says at which\n"
          "fraction of the line); nothing moves then.")
      .def("motion_done", forward(&InterfacesPy::motion_done),
           "True when no motion moves the arm (none started, it came to rest, it was\n"
           "ended by another command, or the control loop stopped).")
      .def(
          "wait_motion",
          [](Arm& self, std::optional<double> timeout) {
            if (timeout && (std::isnan(*timeout) || *timeout < 0.0)) {
              throw std::invalid_argument(
                  "wait_motion: timeout must be None or a number of seconds, at least 0");
            }
            // Waits in slices with the GIL released, so that Ctrl-C still works.
            const auto start = std::chrono::steady_clock::now();
            while (true) {
              double slice = 0.1;
              if (timeout) {
                const double left =
                    *timeout -
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                slice = std::max(0.0, std::min(slice, left));
              }
              if (self.use([&](InterfacesPy& arm) { return arm.wait_motion(slice); })) return true;
              if (timeout && slice <= 0.0) return false;
              if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            }
          },
          py::arg("timeout") = py::none(),
          "Waits until motion_done(), at most timeout seconds (None: no limit), with\n"
          "the GIL released. Returns True when done, False on time-out.")
      .def("stop_motion", forward(&InterfacesPy::stop_motion),
           "Decelerates every joint within the acceleration limits, all coming to rest\n"
           "together, and holds there. Does nothing when no motion moves.")
      .def("set_motion_limits", forward(&InterfacesPy::set_motion_limits), py::arg("max_velocity"),
           py::arg("max_acceleration"),
           "Per-joint limits (six values each) of the motions planned from now on:\n"
           "velocity in (0, 2.0] rad/s, acceleration in (0, 0.5] rad/s^2 (the defaults\n"
           "are the ceilings).\n\n"
           "Raises ValueError naming the joint for a value outside its range.");
  addLifecycle<Arm>(cls,
                    "Stops the arm: ends the control thread, holds the arm in damping for\n"
                    "0.4 s and closes the bus; blocks for more than a second (GIL released).\n"
                    "Waits for calls in progress in other threads. Closing again does\n"
                    "nothing; other calls raise RuntimeError afterwards.");
}

}  // namespace kav_py
