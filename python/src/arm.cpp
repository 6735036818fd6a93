// kav_t8.InterfacesPy: the arm, driven with numbers and lists.
#include <interfaces/InterfacesPy.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>

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

void bindArm(py::module_& m) {
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
      .def("set_joint_velocities", forward(&InterfacesPy::set_joint_velocities),
           "Not supported: returns False.");
  addLifecycle<Arm>(cls,
                    "Stops the arm: ends the control thread, holds the arm in damping for\n"
                    "0.4 s and closes the bus; blocks for more than a second (GIL released).\n"
                    "Waits for calls in progress in other threads. Closing again does\n"
                    "nothing; other calls raise RuntimeError afterwards.");
}

}  // namespace kav_py
