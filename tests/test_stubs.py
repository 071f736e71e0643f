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


USER_SCRIPT = """
import numpy as np
import ventrola

choices, rts, excluded = ventrola.simulate(1.0, 1.5, 0.5, 0.3, 100, 7)
guess = ventrola.fit_ez(choices, rts)
fit = ventrola.fit_sim(choices, rts, initial_guess=guess, max_iters=10)
total: int = excluded + len(choices)
"""


def test_type_checker_sees_the_installed_types(tmp_path):
    extension_dir = pathlib.Path(_ventrola.__file__).resolve().parent
    if not (extension_dir / "_ventrola-stubs" / "__init__.pyi").is_file():
        pytest.skip("_ventrola is imported from a build tree, not from an installed wheel")
    good = tmp_path / "good.py"
    good.write_text(USER_SCRIPT)
    bad = tmp_path / "bad.py"
    bad.write_text(USER_SCRIPT + "ventrola.simulate(1.0, 1.5, 0.5, 0.3, 'many', 7)\n")
    results = {}
    for script in (good, bad):
        results[script.name] = subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(script)],
            capture_output=True, text=True, timeout=300, check=False, cwd=tmp_path,
        )
    assert results["good.py"].returncode == 0, results["good.py"].stdout
    assert results["bad.py"].returncode == 1
    assert "simulate" in results["bad.py"].stdout and "str" in results["bad.py"].stdout
