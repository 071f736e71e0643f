"""Runs every benchmark script in this folder, one after another."""
import pathlib
import subprocess
import sys

here = pathlib.Path(__file__).resolve().parent
failed = []
for script in sorted(here.glob("bench_*.py")):
    print(f"\n=== {script.name} ===", flush=True)
    if subprocess.run([sys.executable, str(script)], check=False).returncode != 0:
        failed.append(script.name)
if failed:
    sys.exit(f"benchmarks failed: {', '.join(failed)}")
