"""The kinematics of the package without an arm, against the figures the
C++ routines give."""

import math

import numpy as np
import pytest

import kav_t8

JOINTS = [0.2, 0.5, 0.4, -0.3, 0.6, 0.1]


def test_forward_kinematics_of_the_analytic_model():
    zero = kav_t8.q7_fk([0.0] * 6)
    assert zero[:3] == [0.0, 0.0, 0.0]
    assert zero[3] == pytest.approx(-3.6e-6, abs=2e-7)
    assert zero[4] == pytest.approx(-3.6e-6, abs=2e-7)
    assert zero[5] == pytest.approx(0.0, abs=1e-6)

    pose = kav_t8.q7_fk(JOINTS)
    tools = kav_t8.InterfacesToolsPy(0)
    assert tools.forward_kinematics_rpy(JOINTS) == pose
    assert kav_t8.InterfacesToolsPy(2).forward_kinematics_rpy(np.array(JOINTS + [9.0])) == pose

    matrix = kav_t8.q7_fk_matrix(JOINTS)
    assert isinstance(matrix, np.ndarray) and matrix.shape == (4, 4)
    assert list(matrix[3]) == [0.0, 0.0, 0.0, 1.0]
    assert list(matrix[:3, 3]) == pose[:3]
    assert np.allclose(matrix, kav_t8.Xyzrpy2Isometry(pose), atol=1e-6)


def test_inverse_kinematics_of_the_analytic_model():
    seed = [q + 0.08 for q in JOINTS]
    target = kav_t8.q7_fk(JOINTS)
    joints, status = kav_t8.q7_ik_lm(seed, target, full_output=True)
    assert status.converged and status.exit == kav_t8.IkExit.CONVERGED
    assert joints == pytest.approx(JOINTS, abs=2e-3)
    assert kav_t8.q7_ik_lm(seed, target) == joints

    by_matrix = kav_t8.q7_ik_lm_matrix(seed, kav_t8.q7_fk_matrix(JOINTS))
    assert by_matrix == pytest.approx(JOINTS, abs=2e-3)

    # A negative x is solved as 0, and the caller's list stays as it was.
    behind = [-0.1, 0.0, 0.0, 0.0, 0.0, 0.0]
    assert kav_t8.q7_ik_lm([0.0] * 6, behind) == kav_t8.q7_ik_lm([0.0] * 6, [0.0] * 6)
    assert behind[0] == -0.1

    joints, status = kav_t8.q7_ik_lm([0.0] * 6, [2.0, 0, 0, 0, 0, 0], full_output=True)
    assert not status.converged
    assert status.exit in (kav_t8.IkExit.ITERATION_LIMIT, kav_t8.IkExit.REJECTION_LIMIT)
    assert all(math.isfinite(q) for q in joints)


def test_kinematic_solver_on_the_embedded_description():
    solver = kav_t8.KinematicSolver()
    zero = solver.compute_forward_kinematics([0.0] * 6)
    assert zero[:3] == pytest.approx([0, 0, 0], abs=1e-12)
    assert zero[3] == pytest.approx(-1.4693e-5, abs=1e-8)

    near = [0.05, 0.1, 0.1, 0.0, 0.1, 0.0]
    pose = solver.compute_forward_kinematics(near)
    assert solver.compute_inverse_kinematics(pose) == pytest.approx(near, abs=1e-3)
    with pytest.raises(RuntimeError, match="Inverse kinematics computation failed"):
        solver.compute_inverse_kinematics([2.0, 0, 0, 0, 0, 0])
    assert len(kav_t8.URDF_XML) == 7407


# Joint angles of a pose that the chain solver misses from the zero seed
# (found by bench_ik).
MISSED_FROM_ZERO = [
    -2.7622955136162854,
    2.6685122342353784,
    2.2902160737938533,
    0.64560163379070312,
    0.33267728014081244,
    1.6209525409160415,
]


def test_robust_inverse_kinematics_from_any_seed():
    solver = kav_t8.KinematicSolver()
    pose = solver.compute_forward_kinematics(MISSED_FROM_ZERO)
    with pytest.raises(RuntimeError):
        solver.compute_inverse_kinematics(pose)

    joints, result = solver.solve_robust(pose, [0.0] * 6, budget=2.0, full_output=True)
    assert isinstance(result, kav_t8.RobustIkResult)
    assert result.found and result.attempts > 1 and result.solutions == 1
    assert 0.0 < result.elapsed < 2.5
    assert solver.compute_forward_kinematics(joints)[:3] == pytest.approx(pose[:3], abs=1e-5)
    assert solver.solve_robust(np.array(pose), (0,) * 6, budget=2.0) == joints  # repeats

    # Nothing within reach: None, no exception.
    assert solver.solve_robust([2.0, 0, 0, 0, 0, 0], [0.0] * 6) is None
    missed, result = solver.solve_robust([2.0, 0, 0, 0, 0, 0], [0.0] * 6, full_output=True)
    assert missed is None and not result.found and result.attempts == 0


def test_gravity_torques_of_the_point_mass_model():
    assert kav_t8.q7_get_Tau([0.0] * 6) == pytest.approx([0, 1.691, 7.655, 1.670, 0, 0], abs=1e-3)
    assert kav_t8.q7_get_Tau([0.0] * 6, 1) == pytest.approx([0, 1.444, 8.383, 1.951, 0, 0], abs=1e-3)
    assert kav_t8.q7_get_Tau([0, 1, 1, 0, 0, 0], type=0) == pytest.approx(
        [0, -2.605, 7.655, 1.670, 0, 0], abs=1e-3
    )


def test_pose_conversions():
    pose = [0.1, -0.2, 0.3, 0.4, -0.5, 0.6]
    matrix = kav_t8.Xyzrpy2Isometry(pose)
    assert matrix.shape == (4, 4) and list(matrix[3]) == [0, 0, 0, 1]
    assert kav_t8.Isometry2Xyzrpy(matrix) == pytest.approx(pose, abs=1e-12)
    assert kav_t8.Isometry2Xyzrpy(matrix.tolist()) == pytest.approx(pose, abs=1e-12)

    # The seven-vector of the arm facade: scalar first, half turns positive.
    assert kav_t8.matrix_to_pose_vector(np.diag([1.0, -1.0, -1.0, 1.0])) == [0, 0, 0, 0, 1, 0, 0]
    assert kav_t8.matrix_to_pose_vector(np.eye(4)) == [0, 0, 0, 1, 0, 0, 0]
    seven = kav_t8.matrix_to_pose_vector(matrix)
    assert np.allclose(kav_t8.pose_vector_to_matrix(seven), matrix, atol=1e-14)
    scaled = seven[:3] + [5.0 * q for q in seven[3:]]
    assert np.allclose(kav_t8.pose_vector_to_matrix(scaled), matrix, atol=1e-14)
    translation = kav_t8.pose_vector_to_matrix([0.4, 0.5, 0.6, 1, 0, 0, 0])
    assert np.array_equal(translation[:3, :3], np.eye(3)) and list(translation[:3, 3]) == [0.4, 0.5, 0.6]


def test_interpolation_steps():
    # Single precision: a 0.03 step comes back as 0.03f.
    assert kav_t8.Interpolation(1.0, 0.0, 0.5, 2.0) == pytest.approx((0.03, 1.0), abs=1e-7)
    assert kav_t8.Interpolation(10.0, 0.0, 0.5, 2.0) == pytest.approx((0.06, 2.0), abs=1e-7)
    setpoint, speed = kav_t8.Interpolation(-6.0, 0.0, 0.5, 2.0)
    assert speed == pytest.approx(-math.sqrt(2.0), abs=1e-6)
    assert kav_t8.Interpolation(0.1, 0.1, 0.5, 2.0) == (0.10000000149011612, 0.0)

    assert kav_t8.Linearinterpolation(0.0, 0.1, 1.0, 100.0) == 0.01
    setpoint = 0.0
    for _ in range(12):  # 0.01 per call, then onto the target exactly
        setpoint = kav_t8.Linearinterpolation(setpoint, 0.1, 1.0, 100.0)
    assert setpoint == 0.1
    assert kav_t8.TrapezoidalInterpolation(0.0, 1.0, 2.0, 0.5, 2.0) == 1.0
    assert kav_t8.TrapezoidalInterpolation(math.inf, 1.0, 2.0, 0.5, 2.0) == 2.0


def _solve_robust(*args, **kwargs):
    return kav_t8.KinematicSolver().solve_robust(*args, **kwargs)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kav_t8.q7_fk([0.0] * 5), "expected 6"),
        (lambda: kav_t8.q7_fk_matrix([0, 0, math.nan, 0, 0, 0]), "not a finite"),
        (lambda: kav_t8.q7_ik_lm([0.0] * 6, [0.0] * 7), "expected 6"),
        (lambda: kav_t8.q7_ik_lm([0.0] * 6, [0.0] * 5), "expected 6"),
        (lambda: kav_t8.q7_ik_lm_matrix([0.0] * 6, np.eye(3)), "4x4"),
        (lambda: kav_t8.q7_get_Tau([math.inf] + [0.0] * 5), "not a finite"),
        (lambda: kav_t8.Isometry2Xyzrpy(np.zeros((4, 4, 1))), "4x4"),
        (lambda: kav_t8.Isometry2Xyzrpy(np.full((4, 4), math.nan)), "finite"),
        (lambda: kav_t8.Xyzrpy2Isometry([0.0] * 7), "expected 6"),
        (lambda: kav_t8.pose_vector_to_matrix([0, 0, 0, 0, 0, 0, 0]), "quaternion"),
        (lambda: kav_t8.matrix_to_pose_vector([[1, 0], [0, 1]]), "4x4"),
        (lambda: kav_t8.KinematicSolver().compute_forward_kinematics([0.0] * 3), "expected 6"),
        (lambda: kav_t8.KinematicSolver().compute_inverse_kinematics([math.nan] * 6), "finite"),
        (lambda: _solve_robust([0.0] * 6, [0.0] * 5), "expected 6"),
        (lambda: _solve_robust([0.0] * 6, [math.inf] * 6), "finite"),
        (lambda: _solve_robust([0.0] * 6, [0.0] * 6, budget=-1.0), "budget"),
        (lambda: _solve_robust([0.0] * 6, [0.0] * 6, budget=math.nan), "budget"),
        (lambda: _solve_robust([0.0] * 6, [0.0] * 6, max_solutions=0), "max_solutions"),
        (lambda: kav_t8.InterfacesToolsPy(0).forward_kinematics_rpy([0.0] * 5), ""),
        (lambda: kav_t8.Interpolation(math.nan, 0.0, 0.5, 2.0), ""),
        (lambda: kav_t8.Linearinterpolation(0.0, 1.0, 1.0, 0.0), ""),
    ],
)
def test_bad_input_raises_value_error(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_wrong_types_raise_type_error():
    with pytest.raises(TypeError):
        kav_t8.q7_fk("abcdef")
    with pytest.raises(TypeError):
        kav_t8.Isometry2Xyzrpy("not a matrix")
