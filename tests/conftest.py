import os
import signal
import subprocess
import sys

import pytest


def run_python(code, env_extra=None, timeout=120, script_dir=None):
    """Runs `code` in a fresh interpreter with the same import path and returns
    its standard output (bytes). The pool-size variables are cleared unless
    given. With `script_dir` the code runs from a file there, so that spawned
    children can re-import it. The run gets its own process group, and on
    timeout the whole group is killed, so a hung child fails the test instead
    of outliving it."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.update(env_extra or {})
    if script_dir is None:
        argv = [sys.executable, "-c", code]
    else:
        script = script_dir / "script.py"
        script.write_text(code)
        argv = [sys.executable, str(script)]
    with subprocess.Popen(
        argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True
    ) as process:
        try:
            out, err = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            raise AssertionError(f"no answer within {timeout} s: a process hung") from None
        finally:
            try:
                os.killpg(process.pid, signal.SIGKILL)  # whatever a failed run left behind
            except ProcessLookupError:
                pass
    if process.returncode != 0:
        raise AssertionError(f"subprocess failed ({process.returncode}):\n{err.decode(errors='replace')}")
    return out


@pytest.fixture
def python_subprocess():
    return run_python
