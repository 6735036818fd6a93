"""The package as a user meets it: names, documentation, the installed copy."""

import inspect
import os
import pathlib
import subprocess
import sys

import kav_t8

BINARY_DIR = os.environ.get("KAV_BINARY_DIR")
SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]


def public_callables():
    for name in kav_t8.__all__:
        value = getattr(kav_t8, name)
        if callable(value):
            yield name, value
        if inspect.isclass(value):
            for member, attribute in vars(value).items():
                if not member.startswith("_") and callable(attribute):
                    yield f"{name}.{member}", attribute


def test_every_public_function_is_documented():
    undocumented = [name for name, value in public_callables() if not (value.__doc__ or "").strip()]
    assert undocumented == []
    text = inspect.getdoc(kav_t8.InterfacesPy.set_ee_pose)
    assert text.startswith("set_ee_pose(self: kav_t8._native.InterfacesPy, pose: List[float]) -> bool")
    assert "ValueError" in text


def test_arm_states_and_constants():
    assert kav_t8.__version__ == os.environ["KAV_VERSION"]
    assert issubclass(kav_t8.ArmState, int)
    assert [(s.name, int(s)) for s in kav_t8.ArmState] == [
        ("SOFT", 0), ("GO_HOME", 1), ("PROTECT", 2),
        ("G_COMPENSATION", 3), ("END_CONTROL", 4), ("POSITION_CONTROL", 5),
    ]
    assert kav_t8.JOINT_NAMES == ("joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper")


def test_error_codes_are_decoded_by_the_library():
    meaning = kav_t8.error_code_meaning
    assert meaning(1).startswith("over-current")
    assert meaning(2 * 16 + 15) == "motor 2 offline: silent too long"
    assert meaning(7 * 16 + 15).startswith("motor 7 (the gripper) offline")
    assert meaning(1 * 16 + 3) == "motor 1 reported fault 3"
    assert meaning(128 + 5) == "motor 5 sent ten implausible readings in a row"
    assert meaning(144 + 4) == "motor 4 reported itself disabled while the arm was driven"
    for unknown in (0, 16, 128, 152, -1):
        assert meaning(unknown) == f"unknown error code {unknown}"
    shipped = (SOURCE_DIR / "share" / "urdf" / "vorlan_v1.1_aa.urdf").read_text(encoding="utf-8")
    assert kav_t8.URDF_XML == shipped
    assert pathlib.Path(kav_t8.description_path()).read_text(encoding="utf-8") == shipped


def test_the_installed_package_imports_without_the_build_tree(tmp_path):
    assert BINARY_DIR, "KAV_BINARY_DIR names the build directory"
    prefix = tmp_path / "prefix"
    subprocess.run(
        [os.environ.get("KAV_CMAKE", "cmake"), "--install", BINARY_DIR, "--prefix", str(prefix)],
        check=True, capture_output=True, timeout=300,
    )
    modules = list(prefix.glob("lib/python3*/dist-packages/kav_t8/_native*.so"))
    assert len(modules) == 1, list(prefix.rglob("kav_t8"))
    environment = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    environment["PYTHONPATH"] = str(modules[0].parent.parent)
    result = subprocess.run(
        [sys.executable, "-c", "import kav_t8; print(kav_t8.__file__); print(kav_t8.q7_fk([0] * 6)[0])"],
        env=environment, capture_output=True, text=True, timeout=60, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [str(modules[0].parent / "__init__.py"), "0.0"]
