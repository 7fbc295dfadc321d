"""Sparse direct solver back ends on a 3-D complex Helmholtz-like system.

The matrix is assembled element by element (repeated triplets, both triangles) from trilinear
hexahedra with three unknowns per node, A = K (x) C - k^2 (1 - 0.05j) M (x) I3, e^{+jwt} losses
giving the negative imaginary shift: complex symmetric and indefinite, ~81 entries per row,
a sparsity close to that of second-order vector elements. Each back end runs in its own
process so that its peak memory is its own: factorize, refactorize (same pattern, new numeric
factorisation) and one solve, then the relative residual |A x - b| / |b|.

Usage: python3 bench/bench_solvers.py [--sizes 50000 200000] [--backends faer accelerate pardiso]
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))


def helmholtz_triplets(n_target, k2=None, shape="cube"):
    """Triplets of the vector Q1 Helmholtz-like operator on a box of hexahedra of side h: a cube,
    or a guide (cross-section of s x s nodes, 8 s nodes long), whose separators are far smaller."""
    aspect = 8 if shape == "guide" else 1
    nodes_per_side = max(3, round((n_target / 3 / aspect) ** (1 / 3)))
    nodes_long = aspect * nodes_per_side
    m = nodes_per_side - 1
    h = 1.0 / m
    # Q1 reference matrices on [0,1]^3 from the 1-D ones: K = Kx Mx Mx + ..., M = Mx Mx Mx.
    k1 = np.array([[1.0, -1.0], [-1.0, 1.0]]) / h
    m1 = np.array([[2.0, 1.0], [1.0, 2.0]]) * h / 6
    ke = (np.kron(np.kron(k1, m1), m1) + np.kron(np.kron(m1, k1), m1) + np.kron(np.kron(m1, m1), k1))
    me = np.kron(np.kron(m1, m1), m1)
    coupling = np.eye(3) + 0.3 * (np.ones((3, 3)) - np.eye(3))
    if k2 is None:
        k2 = (6.0 * np.pi) ** 2  # a few wavelengths across the box: strongly indefinite
    ae = np.kron(ke, coupling) - k2 * (1 - 0.05j) * np.kron(me, np.eye(3))
    # Element node numbers, local order matching the Kronecker order (z fastest).
    idx = np.arange(m)
    ex, ey, ez = np.meshgrid(idx, idx, np.arange(nodes_long - 1), indexing="ij")
    base = (ex * nodes_per_side + ey) * nodes_long + ez
    offs = np.array([(a * nodes_per_side + b) * nodes_long + c
                     for a in (0, 1) for b in (0, 1) for c in (0, 1)])
    enodes = base.reshape(-1, 1) + offs.reshape(1, -1)  # (n_el, 8)
    edofs = (3 * enodes[:, :, None] + np.arange(3)).reshape(len(enodes), 24)
    rows = np.repeat(edofs, 24, axis=1).ravel().astype(np.int64)
    cols = np.tile(edofs, (1, 24)).ravel().astype(np.int64)
    vals = np.tile(ae.ravel(), len(enodes)).astype(np.complex128)
    n = 3 * nodes_per_side ** 2 * nodes_long
    return n, rows, cols, vals


def run_one(backend, n_target, shape):
    from vantrel import _testing as T
    n, rows, cols, vals = helmholtz_triplets(n_target, shape=shape)
    rng = np.random.default_rng(7)
    b = rng.standard_normal(n) + 1j * rng.standard_normal(n)
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t0 = time.perf_counter()
    r = T.time_sparse(backend, n, rows, cols, vals, b)
    wall = time.perf_counter() - t0
    rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    import scipy.sparse as sp
    a = sp.csr_matrix((vals, (rows, cols)), shape=(n, n))
    res = np.linalg.norm(a @ r["x"] - b) / np.linalg.norm(b)
    return dict(backend=backend, name=r["name"], n=n, shape=shape, triplets=len(rows), nnz=a.nnz,
                factorize_s=r["factorize_s"], refactorize_s=r["refactorize_s"],
                solve_s=r["solve_s"], wall_s=wall, residual=res,
                peak_mb=rss_after / 1024, solver_mb=max(0, rss_after - rss_before) / 1024)


def run_scipy(n_target, shape):
    import scipy.sparse as sp
    import scipy.sparse.linalg as spl
    n, rows, cols, vals = helmholtz_triplets(n_target, shape=shape)
    rng = np.random.default_rng(7)
    b = rng.standard_normal(n) + 1j * rng.standard_normal(n)
    a = sp.csc_matrix((vals, (rows, cols)), shape=(n, n))
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t0 = time.perf_counter()
    lu = spl.splu(a, permc_spec="COLAMD")
    tf = time.perf_counter() - t0
    t0 = time.perf_counter()
    x = lu.solve(b)
    ts = time.perf_counter() - t0
    rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    res = np.linalg.norm(a @ x - b) / np.linalg.norm(b)
    return dict(backend="scipy", name="scipy SuperLU (reference)", n=n, shape=shape, triplets=len(rows),
                nnz=a.nnz, factorize_s=tf, refactorize_s=float("nan"), solve_s=ts, wall_s=tf + ts,
                residual=res, peak_mb=rss_after / 1024, solver_mb=max(0, rss_after - rss_before) / 1024)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=int, nargs="+", default=[50000, 200000])
    ap.add_argument("--backends", nargs="+", default=["pardiso", "accelerate", "faer"])
    ap.add_argument("--shapes", nargs="+", default=["cube", "guide"], choices=["cube", "guide"])
    ap.add_argument("--scipy-max", type=int, default=20000,
                    help="largest size for the SuperLU reference (it is slow beyond)")
    ap.add_argument("--mem-limit-gb", type=float, default=12.0,
                    help="address-space limit of each run: a back end that needs more fails "
                         "with its out-of-memory message instead of starving the machine")
    ap.add_argument("--timeout", type=float, default=900.0, help="seconds allowed to one run")
    ap.add_argument("--worker", nargs=3, metavar=("BACKEND", "SIZE", "SHAPE"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        backend, size, shape = args.worker[0], int(args.worker[1]), args.worker[2]
        limit = int(args.mem_limit_gb * 2**30)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        out = run_scipy(size, shape) if backend == "scipy" else run_one(backend, size, shape)
        print("RESULT " + json.dumps(out))
        return

    hdr = (f"{'back end':<34} {'shape':<6} {'unknowns':>9} {'nnz':>10} {'factor s':>9} "
           f"{'refact s':>9} {'solve s':>8} {'residual':>9} {'peak MB':>8} {'solver MB':>9}")
    print(hdr)
    print("-" * len(hdr), flush=True)
    for shape in args.shapes:
        for size in args.sizes:
            plan = list(args.backends) + (["scipy"] if size <= args.scipy_max else [])
            for backend in plan:
                try:
                    p = subprocess.run([sys.executable, __file__, "--mem-limit-gb",
                                        str(args.mem_limit_gb), "--worker", backend, str(size), shape],
                                       capture_output=True, text=True, timeout=args.timeout)
                except subprocess.TimeoutExpired:
                    print(f"{backend:<34} {shape:<6} {size:>9}  timed out after {args.timeout:.0f} s",
                          flush=True)
                    continue
                line = [l for l in p.stdout.splitlines() if l.startswith("RESULT ")]
                if p.returncode != 0 or not line:
                    err = p.stderr.strip().splitlines()
                    print(f"{backend:<34} {shape:<6} {size:>9}  failed ({p.returncode}): "
                          f"{err[-1] if err else ''}", flush=True)
                    continue
                r = json.loads(line[0][7:])
                print(f"{r['name']:<34} {r['shape']:<6} {r['n']:>9} {r['nnz']:>10} "
                      f"{r['factorize_s']:>9.2f} {r['refactorize_s']:>9.2f} {r['solve_s']:>8.3f} "
                      f"{r['residual']:>9.1e} {r['peak_mb']:>8.0f} {r['solver_mb']:>9.0f}", flush=True)
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                            cwd=HERE).stdout.strip()
    threads = os.environ.get("RAYON_NUM_THREADS") or str(os.cpu_count())
    print(f"commit {commit}, {threads} threads, matrix: vector Q1 Helmholtz, k = 6*pi, 5% loss")


if __name__ == "__main__":
    main()
