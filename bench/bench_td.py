"""Time-domain operator throughput: `TdOperator.apply` on growing box cavities, orders 1 to 4,
with all worker threads and with one (RAYON_NUM_THREADS=1), each case in its own process so that
peak memory and the pool size belong to that case alone. A second table times the Krylov
exponential step `TdOperator.step` the same way.

    PYTHONPATH=$PWD python3 bench/bench_td.py [--quick] [--step-only]
"""
import json
import os
import resource
import subprocess
import sys
import time

CASES = {  # order -> cells per axis
    1: [4, 8, 16, 24],
    2: [4, 8, 12, 18],
    3: [4, 6, 10, 14],
    4: [4, 6, 8, 12],
}
QUICK = {1: [4, 8], 2: [4, 8], 3: [4, 6], 4: [4, 6]}


def worker(order, nx):
    import numpy as np

    from vantrel._native import TdOperator

    t0 = time.perf_counter()
    op = TdOperator(nx, nx, nx, 1.0, 1.0, 1.0, order)
    build = time.perf_counter() - t0
    n = op.n_dof()
    y = np.random.default_rng(0).standard_normal(n)
    op.apply(y)  # fills the scratch pool
    reps = max(3, min(200, int(2e7 / n)))
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        op.apply(y)
        times.append(time.perf_counter() - t0)
    times.sort()
    apply_s = times[len(times) // 2]
    t0 = time.perf_counter()
    op.field_energy(y)
    energy_s = time.perf_counter() - t0
    peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(json.dumps(dict(n=n, build=build, apply=apply_s, energy=energy_s, peak=peak_mib)))


def run(order, nx, threads):
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__, "--worker", str(order), str(nx)], env=env,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    cases = QUICK if "--quick" in sys.argv else CASES
    cores = os.cpu_count()
    print("DGTD apply on a PEC box (vacuum), median time per apply; Mdof/s = unknowns per second / 1e6")
    head = (f"{'N':>2} {'cells':>6} {'elements':>9} {'n_dof':>10} {'build s':>8} "
            f"{'apply ms':>9} {'Mdof/s':>8} {'1-thr ms':>9} {'1-thr Mdof/s':>12} {'speed-up':>8} "
            f"{'energy ms':>9} {'peak MiB':>9}")
    print(head)
    print("-" * len(head))
    for order, sizes in cases.items():
        for nx in sizes:
            par = run(order, nx, None)
            one = run(order, nx, 1)
            n = par["n"]
            print(f"{order:>2} {nx:>4}^3 {6 * nx ** 3:>9} {n:>10} {par['build']:>8.3f} "
                  f"{par['apply'] * 1e3:>9.2f} {n / par['apply'] / 1e6:>8.1f} "
                  f"{one['apply'] * 1e3:>9.2f} {n / one['apply'] / 1e6:>12.1f} "
                  f"{one['apply'] / par['apply']:>8.2f} {par['energy'] * 1e3:>9.2f} "
                  f"{par['peak']:>9.1f}")
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
    except OSError:
        commit = "?"
    load = os.getloadavg()[0]
    print(f"commit {commit}; threads: all = {cores} hardware threads (pool default), one = "
          f"RAYON_NUM_THREADS=1; load average at end {load:.1f}")


# ---- Krylov exponential step ---------------------------------------------------------------------
STEP_KRYLOV_DIM = 40
STEP_CASES = {1: [2, 4, 8, 12], 2: [2, 4, 8, 12], 3: [2, 4, 8], 4: [2, 4, 8]}
STEP_QUICK = {1: [2, 4], 2: [2, 4], 3: [2, 4], 4: [2, 4]}


def step_worker(order, nx):
    import numpy as np
    import scipy.sparse as sp
    from scipy.sparse.linalg import expm_multiply

    from vantrel._native import TdOperator

    op = TdOperator(nx, nx, nx, 1.0, 1.0, 1.0, order)
    n = op.n_dof()
    y = np.random.default_rng(0).standard_normal(n)
    # A step of a few explicit stability limits, dt_CFL ~ dx/(c (p+1)^2) with c = 1: the regime
    # where an exponential integrator pays off.
    h = 4.0 * (1.0 / nx) / (order + 1) ** 2
    op.step(y, h, STEP_KRYLOV_DIM)  # the Krylov workspace grows once

    def median(f, reps):
        times = []
        for _ in range(reps):
            t0 = time.perf_counter()
            f()
            times.append(time.perf_counter() - t0)
        times.sort()
        return times[len(times) // 2]

    step_s = median(lambda: op.step(y, h, STEP_KRYLOV_DIM), max(3, min(30, int(2e6 / n))))
    apply_s = median(lambda: op.apply(y), max(3, min(200, int(2e7 / n))))
    peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # before SciPy's share
    err = None
    if n <= 50_000:  # accuracy against SciPy on the exported matrix, where that is affordable
        dim, row_ptr, col_idx, values = op.state_space()
        a = sp.csr_matrix((values, col_idx, row_ptr), shape=(dim, dim))
        ref = expm_multiply(h * a, y)
        err = float(np.linalg.norm(op.step(y, h, STEP_KRYLOV_DIM) - ref) / np.linalg.norm(ref))
    print(json.dumps(dict(n=n, h=h, step=step_s, apply=apply_s, err=err, peak=peak_mib)))


def run_step(order, nx, threads):
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__, "--step-worker", str(order), str(nx)], env=env,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def step_table(cases):
    print(f"Krylov exponential step on a PEC box (vacuum, upwind), krylov_dim={STEP_KRYLOV_DIM}, "
          "median time per step; rel err = against SciPy expm_multiply")
    head = (f"{'N':>2} {'cells':>6} {'elements':>9} {'n_dof':>10} {'h':>7} {'rel err':>8} "
            f"{'step ms':>9} {'step/apply':>10} {'Mdof/s':>8} {'1-thr ms':>9} {'speed-up':>8} "
            f"{'peak MiB':>9}")
    print(head)
    print("-" * len(head))
    for order, sizes in cases.items():
        for nx in sizes:
            par = run_step(order, nx, None)
            one = run_step(order, nx, 1)
            n = par["n"]
            err = "-" if par["err"] is None else f"{par['err']:.1e}"
            print(f"{order:>2} {nx:>4}^3 {6 * nx ** 3:>9} {n:>10} {par['h']:>7.4f} {err:>8} "
                  f"{par['step'] * 1e3:>9.2f} {par['step'] / par['apply']:>10.1f} "
                  f"{n / par['step'] / 1e6:>8.2f} {one['step'] * 1e3:>9.2f} "
                  f"{one['step'] / par['step']:>8.2f} {par['peak']:>9.1f}")
    print(f"threads: all = {os.cpu_count()} hardware threads, one = RAYON_NUM_THREADS=1; "
          f"load average at end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "--worker":
        worker(int(sys.argv[2]), int(sys.argv[3]))
    elif len(sys.argv) >= 4 and sys.argv[1] == "--step-worker":
        step_worker(int(sys.argv[2]), int(sys.argv[3]))
    else:
        quick = "--quick" in sys.argv
        if "--step-only" not in sys.argv:
            main()
            print()
        step_table(STEP_QUICK if quick else STEP_CASES)
