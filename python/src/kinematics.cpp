// Kinematics without an arm: InterfacesToolsPy, KinematicSolver and the
// kav::solve routines a script uses.
#include <interfaces/InterfaceToolsPy.h>
#include <pybind11/eigen.h>
#include <pybind11/stl.h>
#include <solver/Exercise.h>
#include <solver/Interpolation.h>
#include <solver/kinematic_solver.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "bindings.h"

namespace kav_py {

namespace {

using Six = std::array<double, 6>;

Six firstSix(const std::vector<double>& values) {
  Six six{};
  for (std::size_t i = 0; i < six.size(); ++i) six[i] = values[i];
  return six;
}

std::vector<double> toList(const Six& six) { return std::vector<double>(six.begin(), six.end()); }

/// The analytic routines write rows 0-2 of a plain 4x4 array.
Eigen::Matrix4d homogeneous(const double (&rows)[4][4]) {
  Eigen::Matrix4d matrix = Eigen::Matrix4d::Identity();
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) matrix(r, c) = rows[r][c];
  }
  return matrix;
}

py::object ikResult(const Six& joints, const kav::solve::IkStatus& status, bool full_output) {
  if (full_output) return py::make_tuple(toList(joints), status);
  return py::cast(toList(joints));
}

// KinematicSolver::solveRobust with the budget in seconds; None instead of
// the joints when nothing was found.
py::object solveRobust(kav::KinematicSolver& solver, const std::vector<double>& target_pose,
                       const std::vector<double>& seed, double budget, std::uint64_t random_seed,
                       int max_solutions, bool full_output) {
  requireExactly(target_pose, 6, "solve_robust: target_pose");
  requireExactly(seed, 6, "solve_robust: seed");
  if (!(budget >= 0.0 && budget <= 60.0)) {
    throw std::invalid_argument("solve_robust: budget must be a number of seconds within 0 and 60");
  }
  kav::RobustIkOptions options;
  options.budget = std::chrono::microseconds(std::llround(budget * 1e6));
  options.random_seed = random_seed;
  options.max_solutions = max_solutions;
  const Six pose = firstSix(target_pose);
  const Six start = firstSix(seed);
  Six joints{};
  const kav::RobustIkResult result = solver.solveRobust(pose.data(), start.data(), joints.data(), options);
  py::object solution = result.found ? py::cast(toList(joints)) : py::none();
  if (full_output) return py::make_tuple(solution, result);
  return solution;
}

constexpr const char* kIkOutputDoc =
    "Returns the six joints (arm convention). The search ends at convergence, after\n"
    "500 iterations or after 101 rejected steps in a row, and returns its best\n"
    "iterate in every case: pass full_output=True to get (joints, IkStatus) and\n"
    "check status.exit. Runs with the GIL released.";

}  // namespace

void bindKinematics(py::module_& m) {
  using kav::t8::InterfacesToolsPy;
  py::class_<InterfacesToolsPy>(m, "InterfacesToolsPy",
                                "Forward kinematics with roll-pitch-yaw output, without an arm (the\n"
                                "analytic model of q7_fk).")
      .def(py::init<int>(), py::arg("flag"),
           "flag -- arm variant number (the kinematics do not depend on it).")
      .def("forward_kinematics_rpy", &InterfacesToolsPy::forward_kinematics_rpy, py::arg("joint_pos"),
           "End-effector pose [x, y, z, roll, pitch, yaw] of joints 1-6 (radians; values\n"
           "beyond the sixth are ignored), exactly as q7_fk.\n\n"
           "Raises ValueError for fewer than six values or one that is not finite.");

  // The solver's inverse kinematics starts from one seed shared by every
  // KinematicSolver of the process, unlocked: its calls keep the GIL, which
  // serialises them.
  py::class_<kav::KinematicSolver>(
      m, "KinematicSolver",
      "Forward and inverse kinematics of the embedded robot description (URDF_XML),\n"
      "chain base_link to link6.\n\n"
      "Poses are [x, y, z, roll, pitch, yaw]: metres relative to the end-effector\n"
      "position with all joints at zero, radians with rotation Rz(yaw) Ry(pitch)\n"
      "Rx(roll). Joints are six angles in radians, joint 1 first.\n\n"
      "Every inverse kinematics of every KinematicSolver in the process starts from\n"
      "the last solution found by any of them; constructing one resets it to zero.")
      .def(py::init<>(), "Builds the solver (and resets the shared seed to zero).")
      .def(
          "compute_forward_kinematics",
          [](kav::KinematicSolver& solver, const std::vector<double>& joint_angles) {
            requireValues(joint_angles, 6, "compute_forward_kinematics");
            const Six joints = firstSix(joint_angles);
            Six pose{};
            solver.computeForwardKinematics(joints.data(), pose.data());
            return toList(pose);
          },
          py::arg("joint_angles"),
          "End-effector pose [x, y, z, roll, pitch, yaw] of six joint angles (values\n"
          "beyond the sixth are ignored).\n\n"
          "Raises ValueError for fewer than six values or one that is not finite.")
      .def(
          "compute_inverse_kinematics",
          [](kav::KinematicSolver& solver, const std::vector<double>& target_pose) {
            requireExactly(target_pose, 6, "compute_inverse_kinematics");
            const Six pose = firstSix(target_pose);
            Six joints{};
            solver.computeInverseKinematics(pose.data(), joints.data());
            return toList(joints);
          },
          py::arg("target_pose"),
          "Six joint angles that reach target_pose [x, y, z, roll, pitch, yaw], searched\n"
          "from the last solution; they become the next seed.\n\n"
          "Raises ValueError unless target_pose holds six finite numbers, and\n"
          "RuntimeError('Inverse kinematics computation failed') when no solution is\n"
          "found (the seed stays).")
      .def("solve_robust", &solveRobust, py::arg("target_pose"), py::arg("seed"), py::kw_only(),
           py::arg("budget") = std::chrono::duration<double>(kav::RobustIkOptions().budget).count(),
           py::arg("random_seed") = kav::RobustIkOptions().random_seed,
           py::arg("max_solutions") = kav::RobustIkOptions().max_solutions, py::arg("full_output") = false,
           "Six joint angles within the joint limits that reach target_pose [x, y, z,\n"
           "roll, pitch, yaw], searched from seed (six joint angles) first, then from\n"
           "random joint angles within the limits until a solution is found or budget\n"
           "(seconds, 0 to 60) is spent. The restarts are drawn from random_seed, so a\n"
           "call repeats its result. The search ends after max_solutions solutions and\n"
           "returns the one nearest seed. Returns None when no solution was found (no\n"
           "exception, nothing printed); full_output=True returns (joints or None,\n"
           "RobustIkResult). Neither reads nor changes the seed of\n"
           "compute_inverse_kinematics.\n\n"
           "Raises ValueError unless target_pose and seed hold six finite numbers each,\n"
           "or for a budget or max_solutions out of range.");

  py::class_<kav::RobustIkResult>(m, "RobustIkResult", "What KinematicSolver.solve_robust did.")
      .def_readonly("found", &kav::RobustIkResult::found, "True when a solution was returned.")
      .def_readonly("attempts", &kav::RobustIkResult::attempts,
                    "Solves run: the given seed, then the restarts.")
      .def_readonly("solutions", &kav::RobustIkResult::solutions, "Solutions found within the joint limits.")
      .def_property_readonly(
          "elapsed",
          [](const kav::RobustIkResult& r) { return std::chrono::duration<double>(r.elapsed).count(); },
          "Seconds the call took.")
      .def("__repr__", [](const kav::RobustIkResult& r) {
        return std::string("RobustIkResult(found=") + (r.found ? "True" : "False") +
               ", attempts=" + std::to_string(r.attempts) + ", solutions=" + std::to_string(r.solutions) +
               ", elapsed=" + std::to_string(std::chrono::duration<double>(r.elapsed).count()) + ")";
      });

  m.def(
      "q7_fk",
      [](const std::vector<double>& q) {
        requireValues(q, 6, "q7_fk");
        Six joints = firstSix(q);
        Six pose{};
        kav::solve::q7_fk(joints.data(), pose.data());
        return toList(pose);
      },
      py::arg("q"),
      "End-effector pose [x, y, z, roll, pitch, yaw] of the analytic model for six\n"
      "arm-convention joint positions (values beyond the sixth are ignored): metres\n"
      "from the end point of the zero configuration, radians of the tool frame\n"
      "whose x axis is the approach direction.\n\n"
      "Raises ValueError for fewer than six values or one that is not finite.");
  m.def(
      "q7_fk_matrix",
      [](const std::vector<double>& q) {
        requireValues(q, 6, "q7_fk_matrix");
        Six joints = firstSix(q);
        double rows[4][4] = {};
        kav::solve::q7_fk_matrix(joints.data(), rows);
        return homogeneous(rows);
      },
      py::arg("q"), "As q7_fk, as a 4x4 homogeneous numpy array (bottom row 0, 0, 0, 1).");
  m.def(
      "q7_ik_lm",
      [](const std::vector<double>& q0, const std::vector<double>& target, bool full_output) {
        requireValues(q0, 6, "q7_ik_lm: q0");
        requireExactly(target, 6, "q7_ik_lm: target");
        Six seed = firstSix(q0);
        Six pose = firstSix(target);
        Six joints{};
        kav::solve::IkStatus status;
        {
          py::gil_scoped_release release;
          kav::solve::q7_ik_lm(seed.data(), pose.data(), joints.data(), &status);
        }
        return ikResult(joints, status, full_output);
      },
      py::arg("q0"), py::arg("target"), py::kw_only(), py::arg("full_output") = false,
      (std::string("Inverse kinematics of the analytic model for target [x, y, z, roll, pitch,\n"
                   "yaw] in the pose convention of q7_fk, from the seed q0 (six arm-convention\n"
                   "joints; joint 3 above 2.7 and joint 4 above 1.1 start from those values).\n"
                   "A negative x is solved as 0; the caller's list is not changed.\n") +
       kIkOutputDoc + "\n\nRaises ValueError for missing or non-finite values.")
          .c_str());
  m.def(
      "q7_ik_lm_matrix",
      [](const std::vector<double>& q0, const Array4x4& target, bool full_output) {
        requireValues(q0, 6, "q7_ik_lm_matrix: q0");
        const Eigen::Matrix4d matrix = matrixFromArray(target, "q7_ik_lm_matrix: target");
        Six seed = firstSix(q0);
        double rows[4][4];
        for (int r = 0; r < 4; ++r) {
          for (int c = 0; c < 4; ++c) rows[r][c] = matrix(r, c);
        }
        Six joints{};
        kav::solve::IkStatus status;
        {
          py::gil_scoped_release release;
          kav::solve::q7_ik_lm_matrix(seed.data(), rows, joints.data(), &status);
        }
        return ikResult(joints, status, full_output);
      },
      py::arg("q0"), py::arg("target"), py::kw_only(), py::arg("full_output") = false,
      (std::string("As q7_ik_lm with the target as a 4x4 matrix in the frame of q7_fk_matrix\n"
                   "(rows 0-2 are read; a negative x is kept).\n") +
       kIkOutputDoc + "\n\nRaises ValueError for a matrix that is not 4x4 or values that are not finite.")
          .c_str());

  py::enum_<kav::solve::IkExit>(m, "IkExit", "How an inverse-kinematics search ended.")
      .value("CONVERGED", kav::solve::IkExit::kConverged, "the pose error fell below the tolerance")
      .value("ITERATION_LIMIT", kav::solve::IkExit::kIterationLimit, "500 iterations without convergence")
      .value("REJECTION_LIMIT", kav::solve::IkExit::kRejectionLimit, "101 rejected steps in a row");
  py::class_<kav::solve::IkStatus>(m, "IkStatus",
                                   "Outcome of q7_ik_lm / q7_ik_lm_matrix with full_output=True.")
      .def_readonly("exit", &kav::solve::IkStatus::exit, "IkExit: why the search ended.")
      .def_readonly("iterations", &kav::solve::IkStatus::iterations, "Jacobians evaluated.")
      .def_readonly("singular_steps", &kav::solve::IkStatus::singular_steps,
                    "Steps rejected for a singular normal matrix.")
      .def_readonly("error_norm", &kav::solve::IkStatus::error_norm,
                    "Pose error norm of the returned joints.")
      .def_property_readonly(
          "converged", [](const kav::solve::IkStatus& s) { return s.exit == kav::solve::IkExit::kConverged; },
          "True when the returned joints reach the target.")
      .def("__repr__", [](const kav::solve::IkStatus& s) {
        const char* exits[] = {"CONVERGED", "ITERATION_LIMIT", "REJECTION_LIMIT"};
        return std::string("IkStatus(exit=") + exits[static_cast<int>(s.exit)] +
               ", iterations=" + std::to_string(s.iterations) +
               ", error_norm=" + std::to_string(s.error_norm) + ")";
      });

  m.def(
      "q7_get_Tau",
      [](const std::vector<double>& q, int type) {
        requireValues(q, 6, "q7_get_Tau");
        Six joints = firstSix(q);
        return kav::solve::q7_get_Tau(joints.data(), type);
      },
      py::arg("q"), py::arg("type") = 0,
      "Joint torques (N m) that hold the arm still at six arm-convention joint\n"
      "positions, from the point-mass gravity model (not the robot description),\n"
      "scaled by 1.24. type 1 selects the 0.75 kg end mass, any other the 0.6 kg one.\n\n"
      "Raises ValueError for fewer than six values or one that is not finite.");

  m.def(
      "Xyzrpy2Isometry",
      [](const std::vector<double>& pose) -> Eigen::Matrix4d {
        requireExactly(pose, 6, "Xyzrpy2Isometry");
        return kav::solve::Xyzrpy2Isometry(pose.data()).matrix();
      },
      py::arg("pose"),
      "The 4x4 homogeneous matrix of [x, y, z, roll, pitch, yaw]: rotation\n"
      "Rz(yaw) Ry(pitch) Rx(roll), translation (x, y, z).\n\n"
      "Raises ValueError unless pose holds six finite numbers.");
  m.def(
      "Isometry2Xyzrpy",
      [](const Array4x4& matrix) {
        return kav::solve::Isometry2Xyzrpy(Eigen::Isometry3d(matrixFromArray(matrix, "Isometry2Xyzrpy")));
      },
      py::arg("matrix"),
      "[x, y, z, roll, pitch, yaw] of a 4x4 homogeneous matrix (rows 0-2 are read;\n"
      "the rotation block is taken as it stands): roll = atan2(R21, R22),\n"
      "pitch = asin(-R20), yaw = atan2(R10, R00).\n\n"
      "Raises ValueError for a matrix that is not 4x4 or values that are not finite.");

  m.def(
      "Interpolation",
      [](double get_pos, double temp_pos, double max_acc, double max_vel, double frequency) {
        double send_vel = 0.0;
        kav::solve::Interpolation(&get_pos, &temp_pos, &send_vel, max_acc, max_vel, frequency);
        return std::make_pair(temp_pos, send_vel);
      },
      py::arg("get_pos"), py::arg("temp_pos"), py::arg("max_acc"), py::arg("max_vel"),
      py::arg("frequency") = 200.0,
      "One step of the controller's joint interpolation: moves the running setpoint\n"
      "temp_pos towards the target get_pos within the acceleration limit max_acc and\n"
      "the speed limit max_vel. Returns (new temp_pos, speed of the step). The step\n"
      "is speed * 0.03 whatever frequency says (it is not used); computed in single\n"
      "precision.\n\n"
      "Raises ValueError when a value is not finite.");
  m.def(
      "Linearinterpolation",
      [](double temp_pos, double target, double ramp_k, double frequency) {
        kav::solve::Linearinterpolation(&temp_pos, target, ramp_k, frequency);
        return temp_pos;
      },
      py::arg("temp_pos"), py::arg("target"), py::arg("ramp_k"), py::arg("frequency"),
      "Moves the setpoint temp_pos by |ramp_k| / frequency towards target, or onto it\n"
      "when that step would reach it. Returns the new setpoint.\n\n"
      "Raises ValueError for a value that is not finite or a frequency that is not\n"
      "positive.");
  m.def("TrapezoidalInterpolation", &kav::solve::TrapezoidalInterpolation, py::arg("now"), py::arg("start"),
        py::arg("target"), py::arg("max_acc"), py::arg("max_vec"), py::arg("frequency") = 200.0,
        "Position at time now (s) of a trapezoidal velocity profile from start to\n"
        "target with acceleration limit max_acc and speed limit max_vec (triangular\n"
        "when the distance is short). frequency is not used.\n\n"
        "Raises ValueError when now is NaN or another value is not finite.");
}

}  // namespace kav_py
