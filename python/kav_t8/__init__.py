"""Drive the six-joint arm with gripper from Python.

The arm:
    InterfacesPy        one arm over a SocketCAN interface or a local-socket bus;
                        a context manager whose exit stops the arm; motions run
                        inside its control cycle: follow_joint_trajectory,
                        move_joints, move_linear, motion_done, wait_motion,
                        stop_motion, set_motion_limits (docs/motion.md);
                        collisions: set_collision_thresholds,
                        get_external_torques, contact_detected, set_payload,
                        recover (docs/safety.md)
    ArmState            the arm states by number (an IntEnum)
    error_code_meaning  what an error code of get_error_codes() means
    reflexes_in_process collision reflexes fired by every arm of the process
    JOINT_NAMES         names of the seven entries of every joint list

Kinematics without an arm:
    KinematicSolver     forward/inverse kinematics of the embedded description;
                        solve_robust restarts from random seeds (RobustIkResult)
    InterfacesToolsPy   forward kinematics with roll-pitch-yaw output
    q7_fk, q7_fk_matrix, q7_ik_lm, q7_ik_lm_matrix, q7_get_Tau
                        the analytic model and its point-mass gravity torques
    Xyzrpy2Isometry, Isometry2Xyzrpy
                        [x, y, z, roll, pitch, yaw] <-> 4x4 numpy array
    pose_vector_to_matrix, matrix_to_pose_vector
                        [x, y, z, qw, qx, qy, qz] <-> 4x4 numpy array
    Interpolation, Linearinterpolation, TrapezoidalInterpolation
                        the joint set-point interpolation

Without hardware:
    BusHub, SimulatedArm
                        a local-socket bus and a simulated arm on it
    URDF_XML, description_path()
                        the embedded robot description, as text and as a file

Lists and numpy arrays are accepted wherever numbers go in; lists (and 4x4
numpy arrays for matrices) come out. Bad input raises ValueError, failures of
the arm or the solvers RuntimeError. Arms still open when the interpreter
exits are stopped then. While an arm is open, SIGTERM and SIGHUP stop it the
way Ctrl-C does (KeyboardInterrupt), unless the program handles them itself.
"""

import atexit as _atexit
import enum as _enum
import os as _os
import shutil as _shutil
import tempfile as _tempfile
import threading as _threading

from . import _native, _signals
from ._native import (
    InterfacesToolsPy,
    KinematicSolver,
    IkExit,
    IkStatus,
    Interpolation,
    Isometry2Xyzrpy,
    Linearinterpolation,
    RobustIkResult,
    TrapezoidalInterpolation,
    Xyzrpy2Isometry,
    error_code_meaning,
    matrix_to_pose_vector,
    pose_vector_to_matrix,
    q7_fk,
    q7_fk_matrix,
    q7_get_Tau,
    q7_ik_lm,
    q7_ik_lm_matrix,
    reflexes_in_process,
    URDF_XML,
)

__version__ = _native.__version__

ArmState = _enum.IntEnum("ArmState", _native._ARM_STATES, module=__name__)
ArmState.__doc__ = """The arm states of InterfacesPy.set_arm_status, by number.

SOFT 0              all motors limp
GO_HOME 1           move slowly to the home positions; gripper to its zero
PROTECT 2           damping only (as is any number outside 0-5)
G_COMPENSATION 3    the arm carries its own weight
END_CONTROL 4       follow the end-effector target of set_ee_pose
POSITION_CONTROL 5  follow the joint targets of set_joint_positions
"""

class InterfacesPy(_native.InterfacesPy):
    __doc__ = _native.InterfacesPy.__doc__

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        _signals.arm_opened(self)


JOINT_NAMES = ("joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper")
"""Names of the seven entries of every joint list, in order."""

HAS_SIMULATOR = hasattr(_native, "SimulatedArm")
"""True when the package was built with the simulated arm."""
if HAS_SIMULATOR:
    from ._native import BusHub, CommandKind, MotorCommand, SimulatedArm

_description_lock = _threading.Lock()
_description_file = None


def description_path():
    """Path of a file holding URDF_XML, the robot description embedded in the
    library, for the urdf_path of InterfacesPy. The file is written once per
    process into a private temporary directory and removed at exit."""
    global _description_file
    with _description_lock:
        if _description_file is None or not _os.path.exists(_description_file):
            directory = _tempfile.mkdtemp(prefix="kav_t8-")
            _atexit.register(_shutil.rmtree, directory, True)
            path = _os.path.join(directory, "arm.urdf")
            with open(path, "w", encoding="utf-8") as file:
                file.write(URDF_XML)
            _description_file = path
        return _description_file


__all__ = [
    "ArmState",
    "HAS_SIMULATOR",
    "IkExit",
    "IkStatus",
    "InterfacesPy",
    "InterfacesToolsPy",
    "Interpolation",
    "Isometry2Xyzrpy",
    "JOINT_NAMES",
    "KinematicSolver",
    "Linearinterpolation",
    "RobustIkResult",
    "TrapezoidalInterpolation",
    "URDF_XML",
    "Xyzrpy2Isometry",
    "description_path",
    "error_code_meaning",
    "matrix_to_pose_vector",
    "pose_vector_to_matrix",
    "q7_fk",
    "q7_fk_matrix",
    "q7_get_Tau",
    "q7_ik_lm",
    "q7_ik_lm_matrix",
    "reflexes_in_process",
]
if HAS_SIMULATOR:
    __all__ += ["BusHub", "CommandKind", "MotorCommand", "SimulatedArm"]
