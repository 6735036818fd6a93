"""Drive the six-joint arm with gripper from Python.

The arm:
    InterfacesPy        one arm over a SocketCAN interface or a local-socket bus;
                        a context manager whose exit stops the arm; motions run
                        inside its control cycle: follow_joint_trajectory,
                        move_joints, move_linear, motion_done, wait_motion,
                        stop_motion, set_motion_limits (docs/motion.md);
                        collisions: set_collision_thresholds,
                        get_external_torques, contact_detected, set_payload,
                        recover (docs/safety.md); load_dynamics, load_payload
                        (an identified model, docs/tools.md); your own law:
                        run_joint_impedance, run_cartesian_impedance and
                        torque_control (docs/control.md)
    TorqueControl       commands streamed from a Python loop (torque_control())
    CycleState          one control cycle's state (TorqueControl.read_once)
    TorqueControlTimeout
                        a TimeoutError: no cycle came in time, or the commands
                        stopped coming and control ended (code 194)
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
    CycleState,
    InterfacesToolsPy,
    KinematicSolver,
    IkExit,
    IkStatus,
    Interpolation,
    Isometry2Xyzrpy,
    Linearinterpolation,
    RobustIkResult,
    TorqueControlTimeout,
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

TorqueControlTimeout.__doc__ = """A TimeoutError of TorqueControl: no control cycle came within
read_once's timeout, or no new command came for 4 cycles in a row and
control ended (code 194, the arm held in damping)."""

ArmState = _enum.IntEnum("ArmState", _native._ARM_STATES, module=__name__)
ArmState.__doc__ = """The arm states of InterfacesPy.set_arm_status, by number.

SOFT 0              all motors limp
GO_HOME 1           move slowly to the home positions; gripper to its zero
PROTECT 2           damping only (as is any number outside 0-5)
G_COMPENSATION 3    the arm carries its own weight
END_CONTROL 4       follow the end-effector target of set_ee_pose
POSITION_CONTROL 5  follow the joint targets of set_joint_positions
"""

class TorqueControl:
    """Commands streamed from a plain Python loop into the control cycle (no
    Python runs in the cycle itself)::

        with arm.torque_control() as ctl:
            while working:
                state = ctl.read_once()
                ctl.write_once(k_p, k_d, position, velocity, torque)

    Entering starts a law of the library's own in arm state 6 (USER_CONTROL);
    each cycle it publishes its state and applies the newest command written.
    Until the first command the joints get their gravity torques and some
    damping. Once commands come, 4 cycles in a row without a new one end
    control (code 194, the arm held in damping) and the next call raises
    TorqueControlTimeout. Leaving
    the block holds the arm where it is in POSITION_CONTROL. A safety limit,
    a reflex or a fault ends control too: the next call raises RuntimeError
    naming the code."""

    def __init__(self, arm):
        self._arm = arm

    def __enter__(self):
        self._arm._stream_start()
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        try:
            self._arm._stream_stop()
        except Exception:
            if exc_type is None:
                raise
        return False

    def read_once(self, timeout=1.0):
        """The state of the next cycle after the one last read (a CycleState:
        time, cycle, q, dq, current, external_torque, gravity, pose, jacobian;
        numpy arrays), waiting up to timeout seconds. Raises
        TorqueControlTimeout when none came in time."""
        return self._arm._stream_read(timeout)

    def write_once(self, k_p, k_d, position, velocity, torque):
        """The command of the cycles from the next one on: six values each per
        arm joint, k_p in N·m/rad, k_d in N·m·s/rad, position in rad, velocity
        in rad/s, torque in N·m (add state.gravity to carry the arm's weight).
        Each motor applies k_p (position - q) + k_d (velocity - dq) + torque.
        Raises ValueError for a count other than six, a value that is not
        finite or a negative gain."""
        self._arm._stream_write(k_p, k_d, position, velocity, torque)

    @property
    def late_cycles(self):
        """Cycles so far that applied no new command (the loop was late)."""
        return self._arm._stream_late_cycles()


class InterfacesPy(_native.InterfacesPy):
    __doc__ = _native.InterfacesPy.__doc__

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        _signals.arm_opened(self)

    def torque_control(self):
        """A TorqueControl for a ``with`` block: commands from a Python loop,
        read_once() and write_once() (docs/control.md)."""
        return TorqueControl(self)


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
    "CycleState",
    "HAS_SIMULATOR",
    "IkExit",
    "IkStatus",
    "InterfacesPy",
    "InterfacesToolsPy",
    "Interpolation",
    "Isometry2Xyzrpy",
    "JOINT_NAMES",
    "KinematicSolver",
    "TorqueControl",
    "TorqueControlTimeout",
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
