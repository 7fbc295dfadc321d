"""Krylov exponential step of the DGTD operator: time per step for orders 1 to 4 on growing box
cavities, on all cores and on one core (a subprocess with RAYON_NUM_THREADS=1), beside the bare
operator application that dominates it.

Usage: PYTHONPATH=. python3 bench/bench_td_step.py [--quick]
"""
import json
import os
import subprocess
import sys
import time

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import expm_multiply

from vantrel._native import TdOperator

KRYLOV_DIM = 40
# (order, cells per side): the largest boxes stay below ~1e6 unknowns (~320 MB of Krylov basis).
CASES = [(p, n) for p in (1, 2, 3, 4) for n in (2, 4, 8)] + [(1, 12), (2, 12)]
QUICK = [(p, n) for p in (1, 2, 3, 4) for n in (2, 4)]


def best_of(f, repeats, min_time=0.3):
    """Best wall time of f() in seconds over `repeats` runs (more for fast calls)."""
    times = []
    start = time.perf_counter()
    while len(times) < repeats or (time.perf_counter() - start < min_time and len(times) < 50):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times)


def measure(order, n):
    op = TdOperator(n, n, n, 1.0, 1.0, 1.0, order)
    y = np.random.default_rng(0).standard_normal(op.n_dof())
    # A step of a few explicit stability limits, Δt_CFL ≈ Δx/(c·(p+1)²) for c = 1: the regime
    # where an exponential integrator pays off and 40 Krylov vectors still converge.
    h = 4.0 * (1.0 / n) / (order + 1) ** 2
    op.step(y, h, KRYLOV_DIM)  # grow the workspace once
    t_apply = best_of(lambda: op.apply(y), 3)
    t_step = best_of(lambda: op.step(y, h, KRYLOV_DIM), 3)
    # Accuracy against SciPy's expm_multiply on the exported matrix, where that is affordable.
    err = None
    if op.n_dof() <= 50_000:
        dim, row_ptr, col_idx, values = op.state_space()
        a = sp.csr_matrix((values, col_idx, row_ptr), shape=(dim, dim))
        ref = expm_multiply(h * a, y)
        err = float(np.linalg.norm(op.step(y, h, KRYLOV_DIM) - ref) / np.linalg.norm(ref))
    return {"order": order, "n": n, "n_elem": 6 * n ** 3, "n_dof": op.n_dof(), "h": h,
            "apply": t_apply, "step": t_step, "err": err}


def worker(cases):
    return [measure(p, n) for p, n in cases]


def run_one_core(cases):
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, __file__, "--worker", json.dumps(cases)], env=env,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def commit():
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
    except OSError:
        return "?"


def main():
    if "--worker" in sys.argv:
        print(json.dumps(worker(json.loads(sys.argv[sys.argv.index("--worker") + 1]))))
        return
    cases = QUICK if "--quick" in sys.argv else CASES
    many = worker(cases)
    one = run_one_core(cases)
    print(f"Krylov exponential step, krylov_dim={KRYLOV_DIM}, box 1×1×1, upwind flux")
    head = (f"{'p':>2} {'cells':>6} {'n_elem':>7} {'n_dof':>9} {'h':>8} {'rel err':>8} "
            f"{'apply ms':>9} {'step ms':>9} {'step/apply':>10} {'1-core ms':>10} {'speed-up':>8} "
            f"{'Mdof/s':>8}")
    print(head)
    print("-" * len(head))
    for a, b in zip(many, one):
        err = "-" if a["err"] is None else f"{a['err']:.1e}"
        print(f"{a['order']:>2} {a['n']:>3}^3 {a['n_elem']:>7} {a['n_dof']:>9} {a['h']:>8.4f} {err:>8} "
              f"{a['apply'] * 1e3:>9.2f} {a['step'] * 1e3:>9.2f} {a['step'] / a['apply']:>10.1f} "
              f"{b['step'] * 1e3:>10.2f} {b['step'] / a['step']:>8.2f} "
              f"{a['n_dof'] / a['step'] / 1e6:>8.2f}")
    print(f"commit {commit()}, {os.cpu_count()} hardware threads "
          f"(RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}) vs 1; "
          f"rel err = step vs SciPy expm_multiply; Mdof/s = unknowns advanced per second (all cores)")


if __name__ == "__main__":
    main()
