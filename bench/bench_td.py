"""Time-domain operator throughput: `TdOperator.apply` on growing box cavities, orders 1 to 4,
with all worker threads and with one (RAYON_NUM_THREADS=1), each case in its own process so that
peak memory and the pool size belong to that case alone. A second table times the Krylov
exponential step `TdOperator.step` the same way. A third table runs the same `apply` on a
Gmsh-meshed rectangular guide (unstructured, ~100k tetrahedra, two TE10 ports) beside a box of
about as many elements, and times a port-driven `step_with_source` there.

    PYTHONPATH=$PWD python3 bench/bench_td.py [--quick] [--step-only] [--guide-only]
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


def median_time(f, reps):
    """Median wall time of reps calls of f()."""
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    times.sort()
    return times[len(times) // 2]


def run_json(args, threads):
    """Runs this script with args in a child process (RAYON_NUM_THREADS=threads when given) and
    returns the JSON record of its last line."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__, *map(str, args)], env=env, capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def worker(order, nx):
    import numpy as np

    from vantrel._native import TdOperator

    t0 = time.perf_counter()
    op = TdOperator(nx, nx, nx, 1.0, 1.0, 1.0, order)
    build = time.perf_counter() - t0
    n = op.n_dof()
    y = np.random.default_rng(0).standard_normal(n)
    op.apply(y)  # fills the scratch pool
    apply_s = median_time(lambda: op.apply(y), max(3, min(200, int(2e7 / n))))
    t0 = time.perf_counter()
    op.field_energy(y)
    energy_s = time.perf_counter() - t0
    peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(json.dumps(dict(n=n, build=build, apply=apply_s, energy=energy_s, peak=peak_mib)))


def run(order, nx, threads):
    return run_json(["--worker", order, nx], threads)


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

    step_s = median_time(lambda: op.step(y, h, STEP_KRYLOV_DIM), max(3, min(30, int(2e6 / n))))
    apply_s = median_time(lambda: op.apply(y), max(3, min(200, int(2e7 / n))))
    peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # before SciPy's share
    err = None
    if n <= 50_000:  # accuracy against SciPy on the exported matrix, where that is affordable
        dim, row_ptr, col_idx, values = op.state_space()
        a = sp.csr_matrix((values, col_idx, row_ptr), shape=(dim, dim))
        ref = expm_multiply(h * a, y)
        err = float(np.linalg.norm(op.step(y, h, STEP_KRYLOV_DIM) - ref) / np.linalg.norm(ref))
    print(json.dumps(dict(n=n, h=h, step=step_s, apply=apply_s, err=err, peak=peak_mib)))


def run_step(order, nx, threads):
    return run_json(["--step-worker", order, nx], threads)


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



# ---- unstructured guide beside the box -----------------------------------------------------------
GUIDE = dict(a=1.0, b=0.5, length=9.0, size=0.06)    # ~100k tetrahedra
GUIDE_QUICK = dict(a=1.0, b=0.5, length=2.0, size=0.1)
GUIDE_ORDERS = [1, 2, 3, 4]
GUIDE_STEP_ORDERS = [1, 2]  # the Krylov basis (41 states) of orders 3-4 would need several GB


def guide_mesh(a, b, length, size, path):
    """Rectangular guide along z, ports tagged 1 (z = 0) and 2 (z = length); returns the
    tetrahedron count and the meshing time."""
    import gmsh

    t0 = time.perf_counter()
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.occ.addBox(0, 0, 0, a, b, length)
        gmsh.model.occ.synchronize()
        for tag, z in ((1, 0.0), (2, length)):
            faces = [s for _, s in gmsh.model.getEntities(2)
                     if abs(gmsh.model.occ.getCenterOfMass(2, s)[2] - z) < 1e-9]
            gmsh.model.addPhysicalGroup(2, faces, tag)
        gmsh.model.addPhysicalGroup(3, [1], 10)
        gmsh.model.mesh.setSize(gmsh.model.getEntities(0), size)
        gmsh.option.setNumber("Mesh.Binary", 1)
        gmsh.model.mesh.generate(3)
        n_tets = sum(len(t) for t in gmsh.model.mesh.getElements(3)[1])
        gmsh.write(path)
    finally:
        gmsh.finalize()
    return n_tets, time.perf_counter() - t0


def guide_worker(order, path, step, size):
    import numpy as np

    from vantrel._native import TdOperator

    with open(path, "rb") as f:
        data = f.read()
    t0 = time.perf_counter()
    op = TdOperator.from_mesh_bytes(data, order, ports=[(1, 1, 0, None), (2, 1, 0, None)])
    build = time.perf_counter() - t0
    n = op.n_dof()
    y = np.random.default_rng(0).standard_normal(n)
    op.apply(y)
    apply_s = median_time(lambda: op.apply(y), max(3, min(100, int(2e7 / n))))
    out = dict(n=n, elements=n // (order + 1) // (order + 2) // (order + 3), build=build,
               apply=apply_s)
    if step:
        # A driven step with ports: b = port_source(0) times the waveform's value, h a few
        # explicit stability limits of the smallest elements (edge ~ size/2).
        b = op.port_source(0) * 0.7
        h = 4.0 * (size / 2) / (order + 1) ** 2
        op.step_with_source(y, b, h)
        out["step"] = median_time(lambda: op.step_with_source(y, b, h), 3)
        out["proj"] = median_time(lambda: op.port_projections(y, 1), 5)
        out["h"] = h
    out["peak"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(json.dumps(out))


def guide_table(quick):
    import tempfile

    g = GUIDE_QUICK if quick else GUIDE
    fd, path = tempfile.mkstemp(suffix=".msh")
    os.close(fd)
    try:
        n_tets, mesh_s = guide_mesh(g["a"], g["b"], g["length"], g["size"], path)
        nx = max(2, round((n_tets / 6) ** (1 / 3)))  # a box of about as many elements
        print(f"DGTD apply on a Gmsh guide {g['a']} x {g['b']} x {g['length']} (mesh size "
              f"{g['size']}, {n_tets} tets, meshed in {mesh_s:.1f} s, two TE10 ports) beside a "
              f"PEC box of {nx}^3 cells ({6 * nx ** 3} tets); build = from_mesh_bytes incl. the "
              "MSH read; Mdof/s = unknowns per second / 1e6")
        head = (f"{'N':>2} {'mesh':>6} {'elements':>9} {'n_dof':>10} {'build s':>8} "
                f"{'apply ms':>9} {'Mdof/s':>8} {'1-thr Mdof/s':>12} {'speed-up':>8} "
                f"{'box/guide':>9} {'peak MiB':>9}")
        print(head)
        print("-" * len(head))
        steps = []
        for order in GUIDE_ORDERS:
            box = run(order, nx, None)
            box1 = run(order, nx, 1)
            step = order in GUIDE_STEP_ORDERS
            gd = run_json(["--guide-worker", order, path, int(step), g["size"]], None)
            gd1 = run_json(["--guide-worker", order, path, 0, g["size"]], 1)
            rate = lambda r: r["n"] / r["apply"] / 1e6  # noqa: E731
            print(f"{order:>2} {'box':>6} {6 * nx ** 3:>9} {box['n']:>10} {box['build']:>8.3f} "
                  f"{box['apply'] * 1e3:>9.2f} {rate(box):>8.1f} {rate(box1):>12.1f} "
                  f"{box1['apply'] / box['apply']:>8.2f} {'':>9} {'':>9}")
            print(f"{order:>2} {'guide':>6} {gd['elements']:>9} {gd['n']:>10} {gd['build']:>8.3f} "
                  f"{gd['apply'] * 1e3:>9.2f} {rate(gd):>8.1f} {rate(gd1):>12.1f} "
                  f"{gd1['apply'] / gd['apply']:>8.2f} {rate(box) / rate(gd):>9.2f} "
                  f"{gd['peak']:>9.1f}")
            if step:
                steps.append((order, gd))
        print()
        print("Port-driven step_with_source on the guide (krylov_dim=40, upwind), all threads")
        head = (f"{'N':>2} {'n_dof':>10} {'h':>7} {'step ms':>9} {'step/apply':>10} "
                f"{'projection ms':>13}")
        print(head)
        print("-" * len(head))
        for order, gd in steps:
            print(f"{order:>2} {gd['n']:>10} {gd['h']:>7.4f} {gd['step'] * 1e3:>9.1f} "
                  f"{gd['step'] / gd['apply']:>10.1f} {gd['proj'] * 1e3:>13.2f}")
    finally:
        os.unlink(path)
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
    except OSError:
        commit = "?"
    print(f"commit {commit}; threads: all = {os.cpu_count()} hardware threads, one = "
          f"RAYON_NUM_THREADS=1; load average at end {os.getloadavg()[0]:.1f}")

if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "--worker":
        worker(int(sys.argv[2]), int(sys.argv[3]))
    elif len(sys.argv) >= 4 and sys.argv[1] == "--step-worker":
        step_worker(int(sys.argv[2]), int(sys.argv[3]))
    elif len(sys.argv) >= 6 and sys.argv[1] == "--guide-worker":
        guide_worker(int(sys.argv[2]), sys.argv[3], bool(int(sys.argv[4])), float(sys.argv[5]))
    elif "--guide-only" in sys.argv:
        guide_table("--quick" in sys.argv)
    else:
        quick = "--quick" in sys.argv
        if "--step-only" not in sys.argv:
            main()
            print()
        step_table(STEP_QUICK if quick else STEP_CASES)
        if "--step-only" not in sys.argv:
            print()
            guide_table(quick)
