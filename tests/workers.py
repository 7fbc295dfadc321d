"""Runs Python code in a child interpreter with a given number of workers: the pool is sized once
per process, from RAYON_NUM_THREADS."""
import os
import subprocess
import sys


def run_with_workers(code, workers, timeout=None, **env):
    """Runs `code` with RAYON_NUM_THREADS=workers (None: the machine's default) and the extra
    environment `env`; asserts that it succeeds and returns the finished process."""
    env = dict(os.environ, **env)
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if workers is not None:
        env["RAYON_NUM_THREADS"] = str(workers)
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=timeout)
    assert run.returncode == 0, run.stderr
    return run
