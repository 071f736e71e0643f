"""The hand-written stub of _ventrola agrees with the compiled module."""
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import _ventrola

REPO_STUB = pathlib.Path(__file__).resolve().parents[1] / "python" / "_ventrola.pyi"


def run_stubtest(stub_dir):
    env = dict(os.environ)
    env["MYPYPATH"] = str(stub_dir)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_ventrola"],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )


def test_stub_matches_the_extension(tmp_path):
    # mypy refuses a search path inside site-packages, so check a copy.
    shutil.copy(REPO_STUB, tmp_path / "_ventrola.pyi")
    completed = run_stubtest(tmp_path)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "no issues found in 1 module" in completed.stdout


def test_installed_extension_carries_the_stub():
    extension_dir = pathlib.Path(_ventrola.__file__).resolve().parent
    if extension_dir != pathlib.Path(sysconfig.get_paths()["platlib"]).resolve():
        pytest.skip("_ventrola is imported from a build tree, not from an installed wheel")
    installed = extension_dir / "_ventrola.pyi"
    assert installed.read_text() == REPO_STUB.read_text()
    assert (extension_dir / "ventrola" / "py.typed").is_file()
