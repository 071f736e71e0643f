import os
import subprocess
import sys

import pytest


def run_python(code, env_extra=None, timeout=120):
    """Runs `code` in a fresh interpreter with the same import path; returns stdout bytes."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.update(env_extra or {})
    completed = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, timeout=timeout, check=False
    )
    if completed.returncode != 0:
        raise AssertionError(
            f"subprocess failed ({completed.returncode}):\n{completed.stderr.decode(errors='replace')}"
        )
    return completed.stdout


@pytest.fixture
def python_subprocess():
    return run_python
