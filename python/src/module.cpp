// The module kav_t8._native; the package kav_t8 re-exports it.
#include <controller/ControllerBase.h>
#include <controller/ControllerThread.h>
#include <controller/ErrorCode.h>
#include <interfaces/PoseVector.h>
#include <pybind11/eigen.h>
#include <pybind11/stl.h>
#include <solver/kinematic_solver.h>

#include <algorithm>
#include <cmath>

#include "bindings.h"

namespace kav_py {

namespace {

struct Registered {
  std::weak_ptr<Slot> slot;
  int rank;
};

// Guarded by its own lock, never held while waiting for anything else, so
// it may be taken with or without the GIL.
std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<Registered>& registry() {
  static std::vector<Registered> slots;
  return slots;
}

}  // namespace

void registerSlot(const std::weak_ptr<Slot>& slot, int rank) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto& slots = registry();
  slots.erase(
      std::remove_if(slots.begin(), slots.end(), [](const Registered& r) { return r.slot.expired(); }),
      slots.end());
  slots.push_back({slot, rank});
}

void closeAll() {
  std::vector<std::pair<int, std::shared_ptr<Slot>>> alive;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    for (const Registered& r : registry()) {
      if (auto slot = r.slot.lock()) alive.emplace_back(r.rank, std::move(slot));
    }
    registry().clear();
  }
  std::stable_sort(alive.begin(), alive.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  py::gil_scoped_release release;
  for (auto& entry : alive) entry.second->destroy();
  alive.clear();
}

void requireValues(const std::vector<double>& values, std::size_t count, const char* what) {
  if (values.size() < count) {
    throw std::invalid_argument(std::string(what) + ": expected " + std::to_string(count) + " values, got " +
                                std::to_string(values.size()));
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(values[i])) {
      throw std::invalid_argument(std::string(what) + ": value " + std::to_string(i) +
                                  " is not a finite number");
    }
  }
}

void requireExactly(const std::vector<double>& values, std::size_t count, const char* what) {
  if (values.size() > count) {
    throw std::invalid_argument(std::string(what) + ": expected " + std::to_string(count) + " values, got " +
                                std::to_string(values.size()));
  }
  requireValues(values, count, what);
}

Eigen::Matrix4d matrixFromArray(const Array4x4& array, const char* what) {
  if (array.ndim() != 2 || array.shape(0) != 4 || array.shape(1) != 4) {
    std::string shape;
    for (py::ssize_t i = 0; i < array.ndim(); ++i) shape += (i ? "x" : "") + std::to_string(array.shape(i));
    throw std::invalid_argument(std::string(what) + ": expected a 4x4 matrix, got shape " +
                                (shape.empty() ? "()" : shape));
  }
  Eigen::Matrix4d matrix;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) matrix(r, c) = array.at(r, c);
  }
  if (!matrix.topRows<3>().allFinite()) {
    throw std::invalid_argument(std::string(what) + ": rows 0-2 must hold finite numbers only");
  }
  return matrix;
}

}  // namespace kav_py

PYBIND11_MODULE(_native, m) {
  using namespace kav_py;
  m.doc() = "Compiled part of the kav_t8 package; use the package, not this module.";
  m.attr("__version__") = KAV_VERSION;

  // The arm states by number, from the controller's own enumeration; the
  // package turns them into the IntEnum ArmState.
  using kav::t8::ControllerBase;
  std::vector<std::pair<std::string, int>> states;
  for (int state = ControllerBase::SOFT; state <= ControllerBase::POSITION_CONTROL; ++state) {
    states.emplace_back(ControllerBase::stateName(state), state);
  }
  m.attr("_ARM_STATES") = states;
  m.attr("URDF_XML") = kav::urdf_xml_g;

  m.def(
      "pose_vector_to_matrix",
      [](const std::vector<double>& pose) -> Eigen::Matrix4d {
        requireExactly(pose, 7, "pose_vector_to_matrix");
        return kav::t8::isometryFromPoseVector(pose).matrix();
      },
      py::arg("pose"),
      "The 4x4 homogeneous matrix of a pose seven-vector (x, y, z, qw, qx, qy, qz),\n"
      "the conversion InterfacesPy.set_ee_pose uses: the quaternion is scaled to\n"
      "unit length first.\n\n"
      "Raises ValueError unless pose holds seven finite numbers with a quaternion\n"
      "that is not zero.");
  m.def(
      "matrix_to_pose_vector",
      [](const Array4x4& matrix) {
        Eigen::Isometry3d pose(matrixFromArray(matrix, "matrix_to_pose_vector"));
        return kav::t8::poseVectorFromIsometry(pose);
      },
      py::arg("matrix"),
      "The pose seven-vector [x, y, z, qw, qx, qy, qz] of a 4x4 homogeneous matrix,\n"
      "the conversion InterfacesPy.get_ee_pose uses. Rows 0-2 are read. The\n"
      "quaternion is that of the rotation block as it stands (not normalised); when\n"
      "the trace is not positive the component of the largest diagonal element is\n"
      "taken positive, so a half turn about X gives qx = +1.\n\n"
      "Raises ValueError unless matrix is 4x4 with finite numbers in rows 0-2.");

  m.def(
      "error_code_meaning", [](int code) { return kav::t8::ErrorCode(code).meaning(); }, py::arg("code"),
      "What an error code of get_error_codes() means, in words: 1 over-current,\n"
      "2 CAN link offline, 3 a failed control cycle, 16 x motor + fault (15: the\n"
      "motor offline), 128 + motor implausible readings, 144 + motor a wrist motor\n"
      "that reported itself disabled, 160 + joint a collision reflex, 176 a\n"
      "recovery by recover(); any other number is named unknown.");

  m.def("reflexes_in_process", &kav::t8::ControllerThread::reflexesInProcess,
        "How many collision reflexes every arm of this process has fired since it\n"
        "started (the test suites report those no test provoked).");

  m.def("_close_all", &closeAll,
        "Closes every arm, simulated arm and bus hub still open (arms first).\n"
        "Registered with atexit, so that an interpreter that exits stops its arms.");
  py::module_::import("atexit").attr("register")(m.attr("_close_all"));

  bindArm(m);
  bindKinematics(m);
  bindSimulator(m);
}
